// SPDX-License-Identifier: GPL-3.0-or-later
// The receive audio's way to the speaker: a jitter buffer of link samples
// and a variable-rate resampler (libsoxr) to the output device's rate.
//
// The buffer holds about 150 ms. Its depth, averaged over about a second (a
// station block arrives every 93 ms, so the depth is a saw tooth), steers
// the conversion ratio: a buffer running fuller than the target is played a
// hair faster, an emptier one a hair slower, at most 0.5 % either way. So a
// station clock a few hundred ppm off the laptop's is followed without
// dropping or repeating anything. Only a burst far beyond the buffer (after
// the link stalled) is dropped, down to the target: a lost run; and a backlog
// at the moment playing starts, which is stale. A buffer that
// runs dry while audio is expected is a late run; playing resumes once the
// target is reached again.
//
// One thread pushes (the network side), one renders (the output device).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace marvane::client {

struct Playout {
    static constexpr double kTargetSeconds = 0.15;
    static constexpr double kExcessSeconds = 0.5;  // beyond the target: dropped
    // Within the first second of playing, more than a block beyond the
    // target is dropped, and not counted.
    static constexpr double kStartSeconds = 1.0;
    static constexpr double kStartExcessSeconds = 1024 / 11025.0;
    static constexpr double kAverageSeconds = 1.0;
    static constexpr double kGainPerSecond = 0.05;  // ratio change per second of depth error
    static constexpr double kMaxCorrection = 0.005;
    static constexpr double kCapacitySeconds = 4.0;

    // Set up by open().
    double linkRate = 0;
    double deviceRate = 0;
    double targetSamples = 0;
    void* soxr = nullptr;
    std::vector<float> ring;

    // Pushing side.
    std::atomic<std::uint64_t> written{0};
    // Rendering side.
    std::atomic<std::uint64_t> taken{0};
    bool playing = false;
    double sinceStart = 0;  // seconds played since playing last started
    double average = 0;
    double correction = 0;
    std::vector<float> feed;

    // While false (transmitting), running dry is no late run. Network side.
    std::atomic<bool> expectAudio{true};
    std::atomic<int> lateRuns{0};
    std::atomic<int> lostRuns{0};
    std::atomic<int> depthMilliseconds{-1};  // averaged; -1 while not playing
    std::atomic<int> correctionPpm{0};

    ~Playout();
    // False when the resampler cannot be built.
    bool open(double linkSampleRate, double deviceSampleRate);
    // Receive audio as link bytes (network side).
    void push(const std::uint8_t* bytes, std::size_t count);
    // The next `frames` samples for the device (output side).
    void render(float* out, std::size_t frames);

    // soxr's input function: link samples from the buffer, silence while
    // not playing.
    std::size_t supply(const float** data, std::size_t requested);
};

}  // namespace marvane::client
