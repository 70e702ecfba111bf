// SPDX-License-Identifier: GPL-3.0-or-later
// What the station sends, split into receive audio and frames; and the keys
// the live client reads from the terminal.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "link/link_protocol.h"
#include "terminal.h"

namespace marvane::client {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Split {
    Bytes audio;
    std::vector<std::pair<char, int>> frames;
    std::vector<std::size_t> audioBeforeFrame;
};

Split split(const Bytes& stream, std::size_t cut) {
    link::ServerStreamSplitter s;
    Split r;
    auto audio = [&](const std::uint8_t* b, std::size_t n) { r.audio.insert(r.audio.end(), b, b + n); };
    auto frame = [&](std::uint8_t letter, int argument) {
        r.frames.emplace_back(static_cast<char>(letter), argument);
        r.audioBeforeFrame.push_back(r.audio.size());
    };
    s.feed(stream.data(), cut, audio, frame);
    s.feed(stream.data() + cut, stream.size() - cut, audio, frame);
    s.finish(audio);
    return r;
}

TEST(ServerStreamSplitter, FindsFramesBetweenAudioRunsWhereverTheReadsEnd) {
    // Audio that holds the first marks but no frame, a pong, more audio, a
    // fill report, and audio ending on what could begin a frame.
    Bytes first = {128, 1, 2, 200, 1, 2, 3, 'Q', 60};
    Bytes second(700, 130);
    Bytes tail = {5, 1, 2};
    Bytes stream = first;
    auto pong = link::makeFrame(link::kCmdPing);
    auto fill = link::makeFrame(link::kCmdFill, 0x1234);
    stream.insert(stream.end(), pong.begin(), pong.end());
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), fill.begin(), fill.end());
    stream.insert(stream.end(), tail.begin(), tail.end());
    // Room made first: GCC 12 warns wrongly (-Warray-bounds) about the
    // growing insert into the 9 bytes of a copy of `first` at -O2.
    Bytes audio;
    audio.reserve(first.size() + second.size() + tail.size());
    for (const Bytes* part : {&first, &second, &tail})
        audio.insert(audio.end(), part->begin(), part->end());

    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Split r = split(stream, cut);
        ASSERT_EQ(r.audio, audio) << cut;
        ASSERT_EQ(r.frames, (std::vector<std::pair<char, int>>{{'P', 0}, {'N', 0x1234}})) << cut;
        ASSERT_EQ(r.audioBeforeFrame, (std::vector<std::size_t>{first.size(), first.size() + second.size()}))
            << cut;
    }
}

TEST(LinkSamples, TransmitEncodingIsUndoneByTheStationsDecoding) {
    for (int s = -32768; s <= 32767; ++s) {
        auto sample = static_cast<std::int16_t>(s);
        std::uint8_t b = link::encodeTxSample(sample);
        ASSERT_EQ(link::decodeLinkByte(b), static_cast<std::int16_t>(s & ~0xFF)) << s;
        ASSERT_EQ(b, link::encodeRxSample(s)) << s;
    }
}

Key firstKey(const std::string& typed, std::size_t* used = nullptr) {
    Key key;
    std::size_t n = decodeKey(reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size(), key);
    if (used)
        *used = n;
    return key;
}

TEST(Keys, SpaceTransmitsEscapeAndCtrlCQuitCursorKeysDoNothing) {
    EXPECT_EQ(firstKey(" "), Key::transmit);
    EXPECT_EQ(firstKey("\x03"), Key::quit);
    EXPECT_EQ(firstKey("\x1b"), Key::quit);
    EXPECT_EQ(firstKey("x"), Key::none);
    // Cursor up, F5 and Alt+x come as Escape sequences in one read.
    for (const char* sequence : {"\x1b[A", "\x1b[15~", "\x1bOP", "\x1bx"}) {
        std::size_t used = 0;
        EXPECT_EQ(firstKey(sequence, &used), Key::none) << sequence + 1;
        EXPECT_EQ(used, std::string(sequence).size()) << sequence + 1;
        EXPECT_EQ(firstKey(std::string(sequence) + " "), Key::transmit) << sequence + 1;
    }
}

}  // namespace
}  // namespace marvane::client
