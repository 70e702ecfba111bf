// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/listener_audio.h"

#include <opus/opus.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace marvane::web {

bool openListenerAudio(ListenerAudio& audio, int frameMs) {
    closeListenerAudio(audio);
    if (!frameLengthAllowed(frameMs)) return false;
    audio.frameSamples = kListenerRate / 1000 * frameMs;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    // Low quality is flat to 4 kHz, above a receiver's audio, and holds
    // about 2 ms of it; the better ones hold some 45 ms (up to 85) of small
    // pieces before they give anything out.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_error_t error = nullptr;
    audio.resampler = soxr_create(11025, kListenerRate, 1, &error, &io, &quality, nullptr);
    int opusError = OPUS_OK;
    // Restricted low delay is Opus's transform mode alone: it looks 2.5 ms
    // ahead instead of 6.5, and carries a receiver's audio as well.
    audio.encoder = opus_encoder_create(kListenerRate, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &opusError);
    if (error != nullptr || audio.resampler == nullptr || opusError != OPUS_OK) {
        closeListenerAudio(audio);
        return false;
    }
    opus_encoder_ctl(audio.encoder, OPUS_SET_BITRATE(kOpusBitrate));
    opus_encoder_ctl(audio.encoder, OPUS_SET_VBR_CONSTRAINT(1));
    opus_encoder_ctl(audio.encoder, OPUS_SET_COMPLEXITY(5));
    audio.pendingCount = 0;
    return true;
}

void closeListenerAudio(ListenerAudio& audio) {
    if (audio.resampler) soxr_delete(audio.resampler);
    if (audio.encoder) opus_encoder_destroy(audio.encoder);
    audio.resampler = nullptr;
    audio.encoder = nullptr;
    audio.pendingCount = 0;
}

void resetListenerAudio(ListenerAudio& audio) {
    if (audio.resampler) soxr_clear(audio.resampler);
    if (audio.encoder) opus_encoder_ctl(audio.encoder, OPUS_RESET_STATE);
    audio.pendingCount = 0;
}

void addListenerSamples(ListenerAudio& audio, const std::int16_t* samples, int count, bool transmit,
                        FrameSink sink, void* user) {
    if (!audio.resampler || !audio.encoder) return;
    count = std::clamp(count, 0, kMaxBlockSamples);
    std::size_t produced = 0;
    soxr_process(audio.resampler, samples, static_cast<std::size_t>(count), nullptr,
                 audio.resampled, static_cast<std::size_t>(kMaxBlockSamples * 2), &produced);
    std::memcpy(audio.pending + audio.pendingCount, audio.resampled,
                produced * sizeof(std::int16_t));
    audio.pendingCount += static_cast<int>(produced);
    int used = 0;
    ListenerFrame frame;
    frame.transmit = transmit;
    frame.samples = audio.frameSamples;
    const auto frameBytes = static_cast<std::size_t>(frame.samples) * sizeof(std::int16_t);
    while (audio.pendingCount - used >= frame.samples) {
        std::memcpy(frame.pcm, audio.pending + used, frameBytes);
        used += frame.samples;
        const int bytes = opus_encode(audio.encoder, frame.pcm, frame.samples, frame.opus, kMaxOpusBytes);
        frame.opusBytes = bytes > 0 ? bytes : 0;
        sink(frame, user);
    }
    audio.pendingCount -= used;
    std::memmove(audio.pending, audio.pending + used,
                 static_cast<std::size_t>(audio.pendingCount) * sizeof(std::int16_t));
}

void packSpectrum(const double* bins, int count, unsigned char* out) {
    std::memset(out, 0, static_cast<std::size_t>(packedBinBytes(count)));
    for (int i = 0; i < count; ++i) {
        const double v = bins[i];
        // NaN and negatives are 0, as the waterfall shows them.
        const unsigned value = v >= 1023.0 ? 1023u : v >= 1.0 ? static_cast<unsigned>(v) : 0u;
        const int bit = i * kPackedBinBits;
        const unsigned shifted = value << (bit % 8);
        out[bit / 8] |= static_cast<unsigned char>(shifted & 0xff);
        out[bit / 8 + 1] |= static_cast<unsigned char>(shifted >> 8);  // bit % 8 is at most 6
    }
}

void unpackSpectrum(const unsigned char* in, int count, int* bins) {
    for (int i = 0; i < count; ++i) {
        const int bit = i * kPackedBinBits;
        const unsigned word = in[bit / 8] | (in[bit / 8 + 1] << 8);
        bins[i] = static_cast<int>((word >> (bit % 8)) & 0x3ff);
    }
}

}  // namespace marvane::web
