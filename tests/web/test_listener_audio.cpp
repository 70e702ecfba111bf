// SPDX-License-Identifier: GPL-3.0-or-later
// The listeners' audio: blocks and pieces of any length come out as 10 or
// 20 ms frames at 16 kHz, about as many as the time they cover, Opus packets
// of about 24 kbit/s that decode (with libopus) to the tone that went in;
// the spectrum message keeps every bin's truncated magnitude up to 1023.

#include "web/listener_audio.h"

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace marvane::web;

struct Collected {
    std::vector<std::int16_t> pcm;
    std::vector<std::vector<unsigned char>> packets;
    bool transmit = false;
};

void collect(const ListenerFrame& frame, void* user) {
    Collected& c = *static_cast<Collected*>(user);
    c.pcm.insert(c.pcm.end(), frame.pcm, frame.pcm + frame.samples);
    c.packets.emplace_back(frame.opus, frame.opus + frame.opusBytes);
    c.transmit = frame.transmit;
}

// Amplitude of the frequency in the samples (a single-bin correlation).
double amplitudeAt(const std::vector<std::int16_t>& s, std::size_t from, double hz, int rate) {
    double re = 0, im = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        re += s[i] * std::cos(2 * M_PI * hz * static_cast<double>(i) / rate);
        im += s[i] * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(s.size() - from);
}

void framesDecodeToTheTone(int frameMs) {
    const int frameSamples = kListenerRate / 1000 * frameMs;
    const std::size_t frames = 2000 / static_cast<std::size_t>(frameMs);
    auto state = std::make_unique<ListenerAudio>();
    ListenerAudio& audio = *state;
    ASSERT_TRUE(openListenerAudio(audio, frameMs));
    Collected c;
    std::vector<std::int16_t> tone(11025 * 2);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 11025));
    // Whole blocks, then the smaller pieces a lower-delay feed would give.
    std::size_t at = 0;
    for (; at + 1024 <= 11025; at += 1024) addListenerSamples(audio, &tone[at], 1024, false, collect, &c);
    for (; at + 256 <= tone.size(); at += 256) addListenerSamples(audio, &tone[at], 256, true, collect, &c);
    // Two seconds in: as many frames, less what the resampler still holds.
    EXPECT_GE(c.packets.size(), frames - 5);
    EXPECT_LE(c.packets.size(), frames);
    EXPECT_TRUE(c.transmit);
    std::size_t bytes = 0;
    for (const auto& p : c.packets) {
        ASSERT_GT(p.size(), 0u);
        bytes += p.size();
    }
    const double bitsPerSecond = 8.0 * static_cast<double>(bytes) / (frameMs / 1000.0 * static_cast<double>(c.packets.size()));
    EXPECT_GT(bitsPerSecond, 16000);
    EXPECT_LT(bitsPerSecond, 32000);
    EXPECT_GT(amplitudeAt(c.pcm, 1600, 1000, kListenerRate), 7000);

    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kListenerRate, 1, &error);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<std::int16_t> decoded;
    std::int16_t frame[kMaxFrameSamples];
    for (const auto& p : c.packets) {
        const int n = opus_decode(decoder, p.data(), static_cast<opus_int32>(p.size()), frame, kMaxFrameSamples, 0);
        ASSERT_EQ(n, frameSamples);
        decoded.insert(decoded.end(), frame, frame + n);
    }
    opus_decoder_destroy(decoder);
    EXPECT_GT(amplitudeAt(decoded, 1600, 1000, kListenerRate), 6000);
    EXPECT_LT(amplitudeAt(decoded, 1600, 2000, kListenerRate), 500);
    closeListenerAudio(audio);
}

TEST(ListenerAudio, BlocksAndPiecesOfAnyLengthBecomeFramesThatDecodeToTheTone) {
    EXPECT_FALSE(openListenerAudio(*std::make_unique<ListenerAudio>(), 5));
    for (const int frameMs : {10, 20}) {
        SCOPED_TRACE(frameMs);
        framesDecodeToTheTone(frameMs);
    }
}

TEST(ListenerAudio, SpectrumBinsPackIntoTenBitsEach) {
    double bins[366];
    for (int i = 0; i < 366; ++i) bins[i] = i * 2.9 + 0.99;  // 0.99 .. 1059.5
    bins[7] = -5;
    bins[8] = NAN;
    bins[9] = 1023.99;
    bins[365] = 765.5;
    unsigned char packed[packedBinBytes(366)];
    ASSERT_EQ(sizeof packed, 458u);
    packSpectrum(bins, 366, packed);
    int back[366];
    unpackSpectrum(packed, 366, back);
    for (int i = 0; i < 366; ++i) {
        int expected = bins[i] >= 1023 ? 1023 : bins[i] >= 1 ? static_cast<int>(bins[i]) : 0;
        if (std::isnan(bins[i])) expected = 0;
        ASSERT_EQ(back[i], expected) << "bin " << i;
    }
    EXPECT_EQ(back[365], 765);
}

}  // namespace
