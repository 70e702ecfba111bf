// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The station's audio for listeners on threads of their own (the web
// station's encoder, a stream source): every levelled receive block and every
// block played to the transmitter, in order, as 16-bit samples at 11025 per
// second. One thread publishes into a feed and never waits for a reader; any
// number of readers each keep their own place. A reader that falls more than
// the feed holds behind loses the oldest blocks (counted) and goes on with
// the newest it can still read.

#include "link/link_protocol.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace marvane::audio {

enum class FeedKind : std::uint8_t { receive, transmit };

inline constexpr int kFeedRate = link::kSampleRate;
inline constexpr int kFeedMaxSamples = link::kBlockSamples;
// About six seconds of 1024-sample blocks.
inline constexpr int kFeedSlots = 64;

struct FeedBlock {
    std::uint64_t number = 0; // 1, 2, 3, ... in publishing order
    FeedKind kind = FeedKind::receive;
    int count = 0;            // samples, at most kFeedMaxSamples
    std::int16_t samples[kFeedMaxSamples] = {};
};

struct Feed {
    struct Slot {
        std::mutex guard; // the writer only tries it: never waits
        FeedBlock block;
    };
    Slot slots[kFeedSlots];
    std::atomic<std::uint64_t> published{0};
    // The low bits of published, for readers that sleep until the next block.
    std::atomic<std::uint32_t> wakeWord{0};
    // Blocks the writer could not store because a reader was copying that
    // very slot (a reader a whole feed behind).
    std::atomic<std::uint64_t> skipped{0};
};

// The pump's receive and transmit audio.
extern Feed stationFeed;

// The capture as it arrives, levelled: the capture device's pieces (a few
// hundred samples each, FeedKind::receive), published by the device's own
// thread, for listeners whose delay should not hold the pump's whole
// blocks. Pieces keep coming while the station transmits (the pump then
// reads none) and stop while the capture device is lost.
extern Feed captureFeed;

// Has the sound layer hand every captured piece to levelCapturePiece. Once,
// at start-up.
void startCaptureFeed();
// Levels a piece with the gain the level control holds (never more than
// puts the piece's peak at the level control's ceiling: the control itself
// brings the gain down only at the end of its block) and publishes it into
// captureFeed. Never blocks. The capture device's thread only.
void levelCapturePiece(const std::int16_t* samples, std::size_t count);

// One producer per feed. Copies count samples (at most kFeedMaxSamples) and
// wakes sleeping readers; never blocks.
void publishFeedBlock(Feed& feed, FeedKind kind, const std::int16_t* samples, int count);
// The same from levelled, unclipped doubles: each truncated toward zero and
// held at the ends of the 16-bit range.
void publishLevelledBlock(Feed& feed, const double* levelled, int count);

// A reader's place in a feed; one per reader thread.
struct FeedCursor {
    std::uint64_t next = 0; // 0: not started, begins with the next block published
    std::uint64_t lost = 0; // blocks this reader never got
};

// The next block for this reader; false when it has read everything published.
bool readFeed(Feed& feed, FeedCursor& cursor, FeedBlock& out);
// Sleeps until a block this reader has not read is published, or ms pass;
// true when one is waiting.
bool waitForFeed(Feed& feed, const FeedCursor& cursor, int ms);

} // namespace marvane::audio
