// SPDX-License-Identifier: GPL-3.0-or-later
// The station feed: readers get every block in order at their own pace, a
// reader that falls a whole feed behind loses the oldest (counted) and goes on
// with the newest, and levelled samples are held at the ends of the range.

#include "audio/level_control.h"
#include "audio/station_feed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace marvane::audio;

namespace {

void publishNumbered(Feed& feed, int value) {
    std::int16_t samples[4] = {static_cast<std::int16_t>(value), 0, 0, 0};
    publishFeedBlock(feed, FeedKind::transmit, samples, 4);
}

TEST(StationFeed, ReadersKeepTheirOwnPlaceAndALaggardLosesTheOldest) {
    static Feed feed;
    FeedCursor early, late;
    FeedBlock block;
    EXPECT_FALSE(readFeed(feed, early, block)); // starts with the next block published
    for (int i = 1; i <= 10; ++i) publishNumbered(feed, i);
    ASSERT_TRUE(readFeed(feed, early, block));
    EXPECT_EQ(block.samples[0], 1);
    EXPECT_EQ(block.kind, FeedKind::transmit);
    EXPECT_EQ(block.count, 4);
    EXPECT_FALSE(readFeed(feed, late, block)); // joins now: nothing old
    for (int i = 11; i <= 10 + 2 * kFeedSlots; ++i) publishNumbered(feed, i);
    // The early reader is far behind: it goes on near the newest, and counts
    // what it never got.
    ASSERT_TRUE(readFeed(feed, early, block));
    const int newest = 10 + 2 * kFeedSlots;
    EXPECT_GT(block.samples[0], newest - kFeedSlots);
    EXPECT_EQ(early.lost + 1, static_cast<std::uint64_t>(block.samples[0] - 1));
    int previous = block.samples[0];
    while (readFeed(feed, early, block)) {
        EXPECT_EQ(block.samples[0], previous + 1);
        previous = block.samples[0];
    }
    EXPECT_EQ(previous, newest);
}

TEST(StationFeed, LevelledSamplesSaturateAndAWaitingReaderWakes) {
    static Feed feed;
    FeedCursor cursor;
    FeedBlock block;
    readFeed(feed, cursor, block);
    std::atomic<bool> woke{false};
    std::thread reader([&] {
        FeedCursor own = cursor;
        while (!waitForFeed(feed, own, 50)) {}
        woke = true;
    });
    const double levelled[6] = {40000.0, -40000.0, 32767.9, -32768.5, -1.9, 255.9};
    publishLevelledBlock(feed, levelled, 6);
    reader.join();
    EXPECT_TRUE(woke);
    ASSERT_TRUE(readFeed(feed, cursor, block));
    EXPECT_EQ(block.kind, FeedKind::receive);
    const std::vector<std::int16_t> got(block.samples, block.samples + block.count);
    EXPECT_EQ(got, (std::vector<std::int16_t>{32767, -32768, 32767, -32768, -1, 255}));
}

// The capture's pieces take the level control's gain, ramped from the
// gain the piece before ended with, and never one that would put the
// piece's peak above the ceiling; a long piece goes in blocks.
TEST(CaptureFeed, PiecesTakeTheLevelControlsGainHeldBelowTheCeiling) {
    FeedCursor cursor;
    FeedBlock block;
    readFeed(captureFeed, cursor, block);
    const double gainBefore = currentGain.load();
    currentGain.store(2.0);
    const std::int16_t first[3] = {100, -200, 300};
    levelCapturePiece(first, 3);
    currentGain.store(4.0);
    const std::int16_t second[4] = {1000, 1000, 1000, 1000};
    levelCapturePiece(second, 4);
    const std::vector<std::int16_t> loud(1500, 20000);
    levelCapturePiece(loud.data(), loud.size());
    currentGain.store(gainBefore);

    std::vector<std::vector<std::int16_t>> got;
    while (readFeed(captureFeed, cursor, block)) {
        EXPECT_EQ(block.kind, FeedKind::receive);
        got.emplace_back(block.samples, block.samples + block.count);
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (std::vector<std::int16_t>{200, -400, 600}));
    EXPECT_EQ(got[1], (std::vector<std::int16_t>{2000, 2500, 3000, 3500}));
    // Gain 4 would put 20000 at 80000: held at 30000 / 20000 from the start.
    EXPECT_EQ(got[2].size(), static_cast<std::size_t>(kFeedMaxSamples));
    EXPECT_EQ(got[3].size(), 1500u - kFeedMaxSamples);
    for (const auto& piece : {got[2], got[3]})
        for (const std::int16_t s : piece) ASSERT_EQ(s, 30000);
}

} // namespace
