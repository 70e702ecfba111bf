// SPDX-License-Identifier: GPL-3.0-or-later
#include "playout.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace marvane::client {

double Playout::now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Playout::open(double linkSampleRate, double deviceSampleRate, std::size_t blockSize) {
    linkRate = linkSampleRate;
    deviceRate = deviceSampleRate;
    blockSamples = blockSize;
    blockSeconds = static_cast<double>(blockSize) / linkRate;
    aimSamples.store(kFloorSeconds * linkRate);
    ring.assign(static_cast<std::size_t>(kCapacitySeconds * linkRate), 0.0f);
    return resampler.open(linkRate, deviceRate);
}

void Playout::expect(bool on) {
    expectAudio.store(on, std::memory_order_relaxed);
    if (!on)
        clockRunning = false;  // the station's blocks pause, and come back on a new beat
}

void Playout::blockCame(std::uint64_t end, double at) {
    double lateness = 0;
    if (clockRunning) {
        double raw = at - static_cast<double>(blocks) * blockSeconds;
        offset = std::min(raw, offset + kClockSlack * (at - lastArrival));
        lateness = raw - offset;
    }
    if (!clockRunning || lateness > kCeilingSeconds) {
        // The first block, or the first after an outage: the beat starts here.
        clockRunning = true;
        blocks = 0;
        offset = at;
        lateness = 0;
    }
    lastArrival = at;

    auto slot = static_cast<std::int64_t>(std::floor(at / kSlotSeconds));
    int here = static_cast<int>(((slot % (kCalmSlots + 1)) + kCalmSlots + 1) % (kCalmSlots + 1));
    if (slotNumber[here] != slot) {
        slotNumber[here] = slot;
        slotLate[here] = 0;
    }
    slotLate[here] = std::max(slotLate[here], lateness);
    double shown = 0;
    for (int i = 0; i <= kCalmSlots; ++i)
        if (slotNumber[i] >= slot - kCalmSlots)
            shown = std::max(shown, slotLate[i]);
    double aim = std::clamp(shown + kMarginSeconds, kFloorSeconds, kCeilingSeconds);

    double nextOnTime = offset + static_cast<double>(blocks + 1) * blockSeconds;
    ++blocks;
    aimSamples.store(aim * linkRate, std::memory_order_relaxed);
    reference.store(static_cast<double>(end) - linkRate * nextOnTime, std::memory_order_relaxed);
    clockKnown.store(true, std::memory_order_release);
}

void Playout::push(const std::uint8_t* bytes, std::size_t count, double at) {
    std::uint64_t w = written.load(std::memory_order_relaxed);
    std::uint64_t t = taken.load(std::memory_order_acquire);
    std::size_t stored = count;
    if (w - t + count > ring.size()) {
        // The output has stopped taking samples; what does not fit is lost.
        lostRuns.fetch_add(1, std::memory_order_relaxed);
        stored = ring.size() - static_cast<std::size_t>(w - t);
    }
    for (std::size_t i = 0; i < stored; ++i)
        ring[(w + i) % ring.size()] = static_cast<float>(bytes[i] - 128) / 128.0f;

    // Each block that ends in these bytes has come now. The clock goes out
    // before the samples, so that whoever sees them sees it too.
    std::size_t done = 0;
    while (count - done >= blockSamples - inBlock) {
        done += blockSamples - inBlock;
        inBlock = 0;
        blockCame(w + std::min(done, stored), at);
    }
    inBlock += count - done;
    written.store(w + stored, std::memory_order_release);
}

void Playout::supply(float* samples, std::size_t count) {
    if (playing) {
        std::uint64_t t = taken.load(std::memory_order_relaxed);
        std::uint64_t depth = written.load(std::memory_order_acquire) - t;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, depth));
        for (std::size_t i = 0; i < n; ++i)
            samples[i] = ring[(t + i) % ring.size()];
        taken.store(t + n, std::memory_order_release);
        samples += n;
        count -= n;
        if (count > 0) {
            playing = false;
            if (expectAudio.load(std::memory_order_relaxed))
                lateRuns.fetch_add(1, std::memory_order_relaxed);
        }
    }
    std::fill(samples, samples + count, 0.0f);
}

void Playout::render(float* out, std::size_t frames, double at) {
    std::uint64_t t = taken.load(std::memory_order_relaxed);
    bool known = clockKnown.load(std::memory_order_acquire);
    auto depth = static_cast<double>(written.load(std::memory_order_acquire) - t);
    double aim = aimSamples.load(std::memory_order_relaxed);
    // The depth the buffer will have when the next block comes on time, if
    // it plays on from now: steady while playing, whenever blocks come.
    double expected = reference.load(std::memory_order_relaxed) + linkRate * at -
                      static_cast<double>(t);
    if (!playing && known && depth > 0 && expected >= aim) {
        playing = true;
        sinceStart = 0;
        average = expected;
        depthAverage = depth;
    }
    if (playing) {
        // A backlog just after playing starts is stale (the blocks the
        // station captured while it transmitted come all at once); a burst
        // far beyond the aim later on is a stalled link catching up.
        bool starting = sinceStart < kStartSeconds;
        double limit = aim + (starting ? static_cast<double>(blockSamples) : kExcessSeconds * linkRate);
        if (expected > limit) {
            auto excess = static_cast<std::uint64_t>(std::min(expected - aim, depth));
            taken.store(t + excess, std::memory_order_release);
            if (!starting)
                lostRuns.fetch_add(1, std::memory_order_relaxed);
            depth -= static_cast<double>(excess);
            expected -= static_cast<double>(excess);
            average = expected;
            depthAverage = depth;
        }
        sinceStart += static_cast<double>(frames) / deviceRate;
        double weight = std::min(1.0, static_cast<double>(frames) / deviceRate / kAverageSeconds);
        average += weight * (expected - average);
        depthAverage += weight * (depth - depthAverage);
        double error = (average - aim) / linkRate;
        correction = std::clamp(kGainPerSecond * error, -kMaxCorrection, kMaxCorrection);
    } else {
        correction = 0;
    }
    resampler.output(out, frames, linkRate / deviceRate * (1 + correction),
                     [this](float* samples, std::size_t count) { supply(samples, count); });
    depthMilliseconds.store(playing ? static_cast<int>(depthAverage / linkRate * 1000.0) : -1,
                            std::memory_order_relaxed);
    correctionPpm.store(static_cast<int>(correction * 1e6), std::memory_order_relaxed);
}

}  // namespace marvane::client
