// SPDX-License-Identifier: GPL-3.0-or-later
// The receive audio's way to the speaker: a jitter buffer of link samples
// and a short interpolating resampler (steer_resampler.h) to the output
// device's rate.
//
// The station sends whole blocks, one every 93 ms by its own clock, so the
// buffer's depth is a saw tooth, and what matters is how late each block is
// against that block clock. The network side keeps the clock (the earliest
// arrivals, allowed to drift slowly) and from it how late each block was.
// The buffer aims at a depth, just before a block that comes on time, of
// the largest lateness of the last minute (plus a margin for the output's
// chunks and the station's capture), within a floor and a ceiling: a late
// block makes it deeper at once, a calm minute lets it shallow again.
//
// The rendering side steers towards that depth with the conversion ratio:
// a buffer running deeper than the aim is played a hair faster, a shallower
// one a hair slower, at most 0.5 % either way, which also follows a station
// clock a few hundred ppm off the laptop's without dropping or repeating
// anything. Only a burst far beyond the aim (after the link stalled) is
// dropped, down to the aim: a lost run; and a backlog at the moment playing
// starts, which is stale. A buffer that runs dry while audio is expected is
// a late run; playing resumes once the aim is reached again.
//
// Times are seconds on one steady clock (now()), passed in so that the
// buffer can be driven by a simulated one. One thread pushes (the network
// side), one renders (the output device).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "steer_resampler.h"

namespace marvane::client {

struct Playout {
    static constexpr double kMarginSeconds = 0.03;  // above the lateness seen
    static constexpr double kFloorSeconds = 0.03;
    static constexpr double kCeilingSeconds = 1.0;
    // Lateness is kept per slot; the aim is the largest of the last
    // kCalmSlots full slots and the current one, so it is forgotten after
    // a calm minute.
    static constexpr double kSlotSeconds = 10.0;
    static constexpr int kCalmSlots = 6;
    // How much slower than ours the station's block clock may run: the
    // clock's earliest arrival is let go of this fast.
    static constexpr double kClockSlack = 0.001;
    static constexpr double kExcessSeconds = 0.5;  // beyond the aim: dropped
    // Within the first second of playing, more than a block beyond the aim
    // is dropped, and not counted.
    static constexpr double kStartSeconds = 1.0;
    static constexpr double kAverageSeconds = 1.0;
    static constexpr double kGainPerSecond = 0.2;  // ratio change per second of depth error
    static constexpr double kMaxCorrection = 0.005;
    static constexpr double kCapacitySeconds = 4.0;

    // The steady clock, in seconds.
    static double now();

    // Set up by open().
    double linkRate = 0;
    double deviceRate = 0;
    std::size_t blockSamples = 0;
    double blockSeconds = 0;
    SteerResampler resampler;
    std::vector<float> ring;

    // Pushing side.
    std::atomic<std::uint64_t> written{0};
    std::uint64_t inBlock = 0;     // samples of the block under way so far
    bool clockRunning = false;
    std::uint64_t blocks = 0;      // since the clock was set
    double offset = 0;             // on-time arrival of block n: offset + n x blockSeconds
    double lastArrival = 0;
    double slotLate[kCalmSlots + 1] = {};
    std::int64_t slotNumber[kCalmSlots + 1] = {};
    // Published for the rendering side: the aim in samples, and the block
    // clock as a reference R such that R + linkRate x now - taken is the
    // depth the buffer will have when the next block comes on time.
    std::atomic<double> aimSamples{0};
    std::atomic<double> reference{0};
    std::atomic<bool> clockKnown{false};

    // Rendering side.
    std::atomic<std::uint64_t> taken{0};
    bool playing = false;
    double sinceStart = 0;  // seconds played since playing last started
    double average = 0;     // of the depth expected at the next on-time block
    double depthAverage = 0;
    double correction = 0;

    // While false (transmitting), running dry is no late run. Network side,
    // through expect().
    std::atomic<bool> expectAudio{true};
    std::atomic<int> lateRuns{0};
    std::atomic<int> lostRuns{0};
    std::atomic<int> depthMilliseconds{-1};  // averaged; -1 while not playing
    std::atomic<int> correctionPpm{0};

    // blockSize: link samples per station block. False when the resampler
    // cannot be built.
    bool open(double linkSampleRate, double deviceSampleRate, std::size_t blockSize);
    // Whether receive audio is expected (network side). The blocks after a
    // transmission start a block clock of their own.
    void expect(bool on);
    // Receive audio as link bytes, come at time `at` (network side).
    void push(const std::uint8_t* bytes, std::size_t count, double at);
    // The next `frames` samples for the device, asked for at time `at`
    // (output side).
    void render(float* out, std::size_t frames, double at);

    // The resampler's input: the next `count` link samples from the buffer,
    // silence while not playing (output side).
    void supply(float* samples, std::size_t count);

private:
    void blockCame(std::uint64_t end, double at);
};

}  // namespace marvane::client
