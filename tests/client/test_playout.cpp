// SPDX-License-Identifier: GPL-3.0-or-later
// The jitter buffer on simulated clocks: the station's blocks come on one
// clock, over a link whose delay may vary, and the output device takes
// samples on another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "playout.h"

namespace marvane::client {
namespace {

constexpr double kLinkRate = 11025.0;
constexpr double kDeviceRate = 48000.0;
constexpr std::size_t kChunk = 480;  // 10 ms of output
constexpr int kBlock = 1024;

// A station sending a 1 kHz tone (in its own time) block by block, a link
// that delays each block (in order), and a device rendering, interleaved by
// their times.
struct Simulation {
    Playout playout;
    double stationClock;  // its samples per second of real time
    double nextSend = 0;
    double lastArrival = 0;
    double arrival = -1;  // of the next block, once drawn
    double nextRender = 0;
    long sent = 0;
    std::function<double()> delay = [] { return 0.0; };
    std::vector<float> out = std::vector<float>(kChunk);
    std::vector<float> heard;  // what the device played, kept while `keep`
    bool keep = false;
    std::vector<int> depths;   // averaged depth in ms after each render

    explicit Simulation(double ppm) : stationClock(kLinkRate * (1 + ppm * 1e-6)) {
        EXPECT_TRUE(playout.open(kLinkRate, kDeviceRate, kBlock));
    }

    void block(double at) {
        std::uint8_t bytes[kBlock];
        for (int i = 0; i < kBlock; ++i, ++sent)
            bytes[i] = static_cast<std::uint8_t>(
                128 + std::lround(100 * std::sin(2 * M_PI * 1000 * static_cast<double>(sent) / kLinkRate)));
        // Two reads, as a socket may split a block.
        playout.push(bytes, 300, at);
        playout.push(bytes + 300, kBlock - 300, at);
    }

    // Runs until `until` seconds; blocks are sent only while `sending`; a
    // backlog of `burst` seconds of blocks comes at once at the start.
    void run(double until, bool sending = true, double burst = 0) {
        for (int b = 0; b < static_cast<int>(burst * kLinkRate / kBlock); ++b)
            block(nextRender);
        while (nextRender < until) {
            if (sending && arrival < 0)
                arrival = std::max(lastArrival, nextSend + delay());
            if (sending && arrival <= nextRender) {
                block(arrival);
                lastArrival = arrival;
                arrival = -1;
                nextSend += kBlock / stationClock;
                continue;
            }
            if (!sending) {
                nextSend = lastArrival = nextRender;
                arrival = -1;
            }
            playout.render(out.data(), kChunk, nextRender);
            if (keep)
                heard.insert(heard.end(), out.begin(), out.end());
            depths.push_back(playout.depthMilliseconds.load());
            nextRender += kChunk / kDeviceRate;
        }
    }

    double aim() const { return playout.aimSamples.load() / kLinkRate; }
};

// Each block delayed by 0 to 2 x jitter, drawn once per block.
std::function<double()> jittery(double jitter, unsigned seed) {
    auto rng = std::make_shared<std::mt19937>(seed);
    return [=] { return std::uniform_real_distribution<double>(0, 2 * jitter)(*rng); };
}

TEST(Playout, FollowsAStationClockThatIsOffWithoutDroppingOrRunningDry) {
    // A few hundred ppm either way on a link without jitter: the buffer
    // stays at its floor, neither grows nor empties, nothing is dropped,
    // and the tone comes out at the station's pace.
    for (double ppm : {-600.0, 0.0, 600.0}) {
        Simulation s(ppm);
        s.run(40.0);  // settled
        s.depths.clear();
        s.keep = true;
        auto before = s.playout.taken.load();
        s.run(100.0);
        auto played = static_cast<double>(s.playout.taken.load() - before);
        EXPECT_EQ(s.playout.lateRuns.load(), 0) << ppm;
        EXPECT_EQ(s.playout.lostRuns.load(), 0) << ppm;
        EXPECT_EQ(s.aim(), Playout::kFloorSeconds) << ppm;
        // The average over the saw tooth: the floor and half a block.
        double middle = 1000 * (Playout::kFloorSeconds + kBlock / kLinkRate / 2);
        for (int depth : s.depths) {
            ASSERT_GT(depth, middle - 15) << ppm;
            ASSERT_LT(depth, middle + 15) << ppm;
        }
        EXPECT_NEAR(s.playout.correctionPpm.load(), ppm, 100) << ppm;
        // The station's samples taken in those 60 s are about 60 s of its
        // clock, and come out whole: every period of the tone they hold is
        // heard, none twice.
        EXPECT_NEAR(played, 60 * s.stationClock, 0.02 * kLinkRate) << ppm;
        long crossings = 0;
        for (std::size_t i = 1; i < s.heard.size(); ++i)
            crossings += s.heard[i - 1] < 0 && s.heard[i] >= 0;
        // (The resampler holds a few ms of input of its own.)
        EXPECT_NEAR(static_cast<double>(crossings), played / kLinkRate * 1000, 8.0) << ppm;
    }
}

TEST(Playout, GrowsForLateBlocksShrinksAfterACalmMinuteWithinFloorAndCeiling) {
    Simulation s(300);
    s.run(20.0);
    EXPECT_EQ(s.aim(), Playout::kFloorSeconds);

    // 30 ms of jitter: the aim grows to what the link shows and a margin;
    // after the first few late runs the buffer is deep enough, and nothing
    // is dropped for it.
    s.delay = jittery(0.03, 1);
    s.run(80.0);
    int lateWhileLearning = s.playout.lateRuns.load();
    EXPECT_LE(lateWhileLearning, 6);
    EXPECT_GT(s.aim(), 0.075);
    EXPECT_LE(s.aim(), 0.06 + Playout::kMarginSeconds + 1e-9);
    s.run(200.0);
    EXPECT_EQ(s.playout.lateRuns.load(), lateWhileLearning);
    EXPECT_EQ(s.playout.lostRuns.load(), 0);

    // Calm again: the aim holds for a minute, then falls back to the floor,
    // and the buffer follows by playing faster, dropping nothing.
    s.delay = [] { return 0.0; };
    s.run(255.0);
    EXPECT_GT(s.aim(), 0.075);
    int deep = s.depths.back();
    s.run(280.0);
    EXPECT_EQ(s.aim(), Playout::kFloorSeconds);
    s.run(320.0);
    EXPECT_LT(s.depths.back(), deep - 45);
    EXPECT_EQ(s.playout.lateRuns.load(), lateWhileLearning);
    EXPECT_EQ(s.playout.lostRuns.load(), 0);

    // One block held up by 0.7 s: the buffer runs dry once and comes back
    // 0.7 s deep at once; a stall beyond the ceiling leaves the aim at the
    // ceiling at most (the beat starts afresh after it).
    int delayed = 0;
    s.delay = [&] { return delayed++ == 0 ? 0.7 : 0.0; };
    s.run(330.0);
    EXPECT_EQ(s.playout.lateRuns.load(), lateWhileLearning + 1);
    EXPECT_NEAR(s.aim(), 0.7 + Playout::kMarginSeconds, 0.01);
    EXPECT_GT(s.depths.back(), 700);
    s.run(332.0, false);
    s.run(340.0, true, 1.5);
    EXPECT_LE(s.aim(), Playout::kCeilingSeconds);
    EXPECT_EQ(s.playout.lateRuns.load(), lateWhileLearning + 2);
}

TEST(Playout, CountsLateAndLostRunsAndComesBackToItsDepth) {
    Simulation s(0);
    s.run(5.0);
    double middle = 1000 * (Playout::kFloorSeconds + kBlock / kLinkRate / 2);
    // A stall beyond the ceiling: it runs dry once; the blocks that were
    // held up come all at once and are too old to be played.
    s.run(6.5, false);
    s.run(30.0, true, 1.5);
    EXPECT_EQ(s.playout.lateRuns.load(), 1);
    EXPECT_EQ(s.playout.lostRuns.load(), 0);
    EXPECT_NEAR(s.depths.back(), middle, 15);
    // A burst while playing: one lost run, and back to the aim.
    s.run(55.0, true, 1.0);
    EXPECT_EQ(s.playout.lostRuns.load(), 1);
    EXPECT_NEAR(s.depths.back(), middle, 15);
    // Running dry while transmitting (no audio expected) is no late run, and
    // the blocks after it start on a beat of their own.
    s.playout.expect(false);
    s.run(55.5, false);
    s.playout.expect(true);
    s.nextSend += 0.037;
    s.run(60.0);
    EXPECT_EQ(s.playout.lateRuns.load(), 1);
    EXPECT_EQ(s.playout.lostRuns.load(), 1);
    EXPECT_LT(s.aim(), Playout::kFloorSeconds + 0.02);  // not 37 ms late
}

}  // namespace
}  // namespace marvane::client
