// SPDX-License-Identifier: GPL-3.0-or-later
// The jitter buffer on simulated clocks: the station's blocks come on one
// clock, the output device takes samples on another.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "playout.h"

namespace marvane::client {
namespace {

constexpr double kLinkRate = 11025.0;
constexpr double kDeviceRate = 48000.0;
constexpr std::size_t kChunk = 480;  // 10 ms of output
constexpr int kBlock = 1024;

// A station sending a 1 kHz tone (in its own time) block by block, and a
// device rendering, interleaved by their times.
struct Simulation {
    Playout playout;
    double stationClock;  // its samples per second of real time
    double nextBlock = 0;
    double nextRender = 0;
    long sent = 0;
    std::vector<float> out = std::vector<float>(kChunk);
    std::vector<float> heard;  // what the device played, kept while `keep`
    bool keep = false;
    std::vector<int> depths;   // averaged depth in ms after each render

    explicit Simulation(double ppm) : stationClock(kLinkRate * (1 + ppm * 1e-6)) {
        EXPECT_TRUE(playout.open(kLinkRate, kDeviceRate));
    }

    void block() {
        std::uint8_t bytes[kBlock];
        for (int i = 0; i < kBlock; ++i, ++sent)
            bytes[i] = static_cast<std::uint8_t>(
                128 + std::lround(100 * std::sin(2 * M_PI * 1000 * static_cast<double>(sent) / kLinkRate)));
        playout.push(bytes, kBlock);
    }

    // Runs until `until` seconds; blocks come only while `sending`; a
    // backlog of `burst` seconds of blocks is sent at once at the start.
    void run(double until, bool sending = true, double burst = 0) {
        for (int b = 0; b < static_cast<int>(burst * kLinkRate / kBlock); ++b)
            block();
        while (nextRender < until) {
            if (sending && nextBlock <= nextRender) {
                block();
                nextBlock += kBlock / stationClock;
                continue;
            }
            if (!sending)
                nextBlock = nextRender;
            playout.render(out.data(), kChunk);
            if (keep)
                heard.insert(heard.end(), out.begin(), out.end());
            depths.push_back(playout.depthMilliseconds.load());
            nextRender += kChunk / kDeviceRate;
        }
    }
};

TEST(Playout, FollowsAStationClockThatIsOffWithoutDroppingOrRunningDry) {
    // A few hundred ppm either way: the buffer neither grows nor empties,
    // nothing is dropped, and the tone comes out at the station's pace.
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
        for (int depth : s.depths) {
            ASSERT_GT(depth, 1000 * Playout::kTargetSeconds - 30) << ppm;
            ASSERT_LT(depth, 1000 * Playout::kTargetSeconds + 30) << ppm;
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

TEST(Playout, CountsLateAndLostRunsAndComesBackToItsDepth) {
    Simulation s(0);
    s.run(5.0);
    // A stall longer than the buffer: it runs dry once; the blocks that
    // were held up come all at once and are too old to be played.
    s.run(5.6, false);
    s.run(30.0, true, 0.6);
    EXPECT_EQ(s.playout.lateRuns.load(), 1);
    EXPECT_EQ(s.playout.lostRuns.load(), 0);
    EXPECT_NEAR(s.depths.back(), 1000 * Playout::kTargetSeconds, 30);
    // A burst while playing: one lost run, and back to the target (the
    // average can be off by up to half a block at first).
    s.run(55.0, true, 1.0);
    EXPECT_EQ(s.playout.lostRuns.load(), 1);
    EXPECT_NEAR(s.depths.back(), 1000 * Playout::kTargetSeconds, 30);
    // Running dry while transmitting (no audio expected) is no late run.
    s.playout.expectAudio.store(false);
    s.run(57.0, false);
    s.playout.expectAudio.store(true);
    s.run(60.0);
    EXPECT_EQ(s.playout.lateRuns.load(), 1);
    EXPECT_EQ(s.playout.lostRuns.load(), 1);
}

}  // namespace
}  // namespace marvane::client
