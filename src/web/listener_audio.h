// SPDX-License-Identifier: GPL-3.0-or-later
// The listeners' audio: the station's 16-bit samples at 11025 per second,
// resampled once (libsoxr) to 16000 and cut into frames of 10 or 20 ms, each
// encoded once with Opus (about 24 kbit/s) and kept as 16-bit PCM too, for
// browsers without an Opus decoder. Pieces of any length go in: frames come
// out whenever a frame's worth is there.
#pragma once

#include <cstdint>

typedef struct soxr* soxr_t;
struct OpusEncoder;

namespace marvane::web {

inline constexpr int kListenerRate = 16000;
inline constexpr int kMaxFrameSamples = kListenerRate / 50;  // 20 ms
inline constexpr int kOpusBitrate = 24000;
inline constexpr int kMaxOpusBytes = 400;
inline constexpr int kMaxBlockSamples = 4096;

// The frame lengths a listener's frames may have, in milliseconds.
inline constexpr bool frameLengthAllowed(int ms) { return ms == 10 || ms == 20; }

struct ListenerFrame {
    std::int16_t pcm[kMaxFrameSamples];
    int samples = 0;        // of pcm
    unsigned char opus[kMaxOpusBytes];
    int opusBytes = 0;
    bool transmit = false;  // taken from the transmitted audio
};

struct ListenerAudio {
    soxr_t resampler = nullptr;
    OpusEncoder* encoder = nullptr;
    int frameSamples = kMaxFrameSamples;
    std::int16_t pending[kMaxFrameSamples + kMaxBlockSamples * 2] = {};
    int pendingCount = 0;
    std::int16_t resampled[kMaxBlockSamples * 2] = {};
};

// Makes the resampler and the encoder for frames of frameMs (10 or 20);
// false when either cannot be had.
bool openListenerAudio(ListenerAudio& audio, int frameMs);
void closeListenerAudio(ListenerAudio& audio);
// Forgets what is under way (after a pause with no listener).
void resetListenerAudio(ListenerAudio& audio);

// Adds count samples (at most kMaxBlockSamples) at 11025 per second; calls
// sink(frame, user) for every whole frame. Nothing is allocated.
using FrameSink = void (*)(const ListenerFrame& frame, void* user);
void addListenerSamples(ListenerAudio& audio, const std::int16_t* samples, int count, bool transmit,
                        FrameSink sink, void* user);

// The spectrum message's bins: each magnitude truncated and held at 1023
// (white in the waterfall from 765, above the spectrum's top from 867),
// packed ten bits a bin, least significant first: 458 bytes for 366 bins.
inline constexpr int kPackedBinBits = 10;
inline constexpr int packedBinBytes(int bins) { return (bins * kPackedBinBits + 7) / 8; }
void packSpectrum(const double* bins, int count, unsigned char* out);
// The reverse, for tests and the load client.
void unpackSpectrum(const unsigned char* in, int count, int* bins);

}  // namespace marvane::web
