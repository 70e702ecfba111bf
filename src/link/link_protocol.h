// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The link protocol's wire format: the 6-byte frame header, the command
// letters, the payload limits and the receive-audio byte encoding.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace marvane::link {

inline constexpr int kDefaultPort = 3020;

// The station's audio: blocks of 1024 16-bit samples at 11025 per second, on
// the sound card and (as one byte a sample) on the link.
inline constexpr int kBlockSamples = 1024;
inline constexpr int kSampleRate = 11025;

// LinkFrame: mark bytes 0x01 0x02 0x03, command letter, 16-bit big-endian argument.
inline constexpr int kFrameSize = 6;
inline constexpr uint8_t kMark1 = 0x01;
inline constexpr uint8_t kMark2 = 0x02;
inline constexpr uint8_t kMark3 = 0x03;

inline constexpr uint8_t kCmdPing = 'P';
inline constexpr uint8_t kCmdVersion = 'V';
inline constexpr uint8_t kCmdRates = 'F';
inline constexpr uint8_t kCmdInfo = 'I';
inline constexpr uint8_t kCmdTransmit = 'T';
inline constexpr uint8_t kCmdSamples = 'S';
inline constexpr uint8_t kCmdLastSamples = 'R';
inline constexpr uint8_t kCmdFill = 'N';

// payloadBuffer holds 10240 bytes; a payload is read at most 10239 at a time.
inline constexpr int kPayloadBufferSize = 10240;
inline constexpr int kMaxPayload = 10239;
// Bytes read and thrown away after a short header or an unknown command.
inline constexpr int kDiscardLength = 1024;
inline constexpr int kRxBlockBytes = kBlockSamples;
inline constexpr int kMaxReportedFill = 65535;
inline constexpr int kInfoWordLength = 19;

// A levelled (unclipped) sample as a 16-bit one: truncated toward zero and
// held at the ends of the range, so that a loud stretch stays loud.
inline int16_t saturateSample(double value) {
    if (std::isnan(value)) return 0;
    if (value <= -32768.0) return -32768;
    if (value >= 32767.0) return 32767;
    return static_cast<int16_t>(value);
}

// A receive sample as a link byte: the saturated 16-bit sample's high byte
// (arithmetic shift) plus 128, so 0 and 255 at the ends of the range.
inline uint8_t encodeRxSample(double sample) {
    return static_cast<uint8_t>((saturateSample(sample) >> 8) + 128);
}

// ---- frames and samples as a client builds and reads them ----

using FrameBytes = std::array<uint8_t, kFrameSize>;

// A frame with a 16-bit argument (a payload length, or 0).
inline FrameBytes makeFrame(uint8_t command, int argument = 0) {
    return {kMark1, kMark2, kMark3, command, static_cast<uint8_t>((argument >> 8) & 0xFF),
            static_cast<uint8_t>(argument & 0xFF)};
}

// "F": byte 4 the receive rate, byte 5 the transmit rate (1 = half rate).
inline FrameBytes makeRatesFrame(int rxRate, int txRate) {
    return {kMark1, kMark2, kMark3, kCmdRates, static_cast<uint8_t>(rxRate),
            static_cast<uint8_t>(txRate)};
}

inline int frameArgument(const uint8_t* header) { return header[4] * 256 + header[5]; }

// Audio rates on the link: one byte per sample at full rate, every second
// sample at half rate. A station block is 1024 samples, sent as 1024 bytes
// or 512; a transmit block needs 1024 bytes waiting at either rate.
inline constexpr double kFullRate = kSampleRate;
inline constexpr double kHalfRate = kSampleRate / 2.0;
inline constexpr uint8_t kSilenceByte = 128;

inline double linkRate(bool halfRate) { return halfRate ? kHalfRate : kFullRate; }
inline int blockBytes(bool halfRate) { return halfRate ? kBlockSamples / 2 : kBlockSamples; }

// A link byte as a 16-bit sample, in both directions: (b - 128) x 256.
inline int16_t decodeLinkByte(uint8_t b) { return static_cast<int16_t>((b - 128) * 256); }

// A 16-bit transmit sample as a link byte: its high byte plus 128, so that a
// multiple of 256 comes out of the station unchanged.
inline uint8_t encodeTxSample(int16_t sample) {
    return static_cast<uint8_t>((sample >> 8) + 128);
}

// What the station sends a client: receive audio as raw bytes, with 6-byte
// "P" and "N" frames between the runs. A frame is recognised by its marks and
// its letter; anything else is audio. Bytes that may begin a frame are held
// back until they prove to be one or not, so a frame split over two reads is
// still found.
struct ServerStreamSplitter {
    uint8_t pending[kFrameSize] = {};
    int pendingLength = 0;

    bool pendingMayBeFrame() const {
        static constexpr uint8_t marks[3] = {kMark1, kMark2, kMark3};
        for (int i = 0; i < pendingLength && i < 3; ++i)
            if (pending[i] != marks[i])
                return false;
        return pendingLength < 4 || pending[3] == kCmdPing || pending[3] == kCmdFill;
    }

    // audio(const uint8_t* bytes, size_t count) gets the receive audio in
    // order; frame(uint8_t letter, int argument) each frame, after the audio
    // that came before it.
    template <class Audio, class Frame>
    void feed(const uint8_t* data, size_t length, Audio&& audio, Frame&& frame) {
        uint8_t run[512];
        size_t runLength = 0;
        auto emit = [&](uint8_t b) {
            run[runLength++] = b;
            if (runLength == sizeof run) {
                audio(static_cast<const uint8_t*>(run), runLength);
                runLength = 0;
            }
        };
        for (size_t i = 0; i < length; ++i) {
            pending[pendingLength++] = data[i];
            while (pendingLength > 0 && !pendingMayBeFrame()) {
                emit(pending[0]);
                for (int k = 1; k < pendingLength; ++k)
                    pending[k - 1] = pending[k];
                --pendingLength;
            }
            if (pendingLength == kFrameSize) {
                if (runLength > 0)
                    audio(static_cast<const uint8_t*>(run), runLength);
                runLength = 0;
                pendingLength = 0;
                frame(pending[3], frameArgument(pending));
            }
        }
        if (runLength > 0)
            audio(static_cast<const uint8_t*>(run), runLength);
    }

    // At the end of the stream the bytes held back were audio after all.
    template <class Audio>
    void finish(Audio&& audio) {
        if (pendingLength > 0)
            audio(static_cast<const uint8_t*>(pending), static_cast<size_t>(pendingLength));
        pendingLength = 0;
    }
};

} // namespace marvane::link
