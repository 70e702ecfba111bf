// SPDX-License-Identifier: GPL-3.0-or-later
#include "playout.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace marvane::client {

namespace {

constexpr std::size_t kMaxFeed = 64;  // link samples soxr takes at a time

std::size_t supplyFromPlayout(void* state, soxr_in_t* data, std::size_t requested) {
    const float* samples = nullptr;
    std::size_t n = static_cast<Playout*>(state)->supply(&samples, requested);
    *data = samples;
    return n;
}

}  // namespace

Playout::~Playout() {
    if (soxr != nullptr)
        soxr_delete(static_cast<soxr_t>(soxr));
}

bool Playout::open(double linkSampleRate, double deviceSampleRate) {
    linkRate = linkSampleRate;
    deviceRate = deviceSampleRate;
    targetSamples = kTargetSeconds * linkRate;
    ring.assign(static_cast<std::size_t>(kCapacitySeconds * linkRate), 0.0f);
    feed.assign(kMaxFeed, 0.0f);
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    // A variable-rate resampler is made with the largest input/output ratio
    // it will be asked for.
    double ratio = linkRate / deviceRate;
    soxr_t s = soxr_create(std::max(1.0, ratio * (1 + 2 * kMaxCorrection)), 1, 1, &error, &io,
                           &quality, &runtime);
    if (error != nullptr || s == nullptr) {
        if (s != nullptr)
            soxr_delete(s);
        return false;
    }
    if (soxr_set_io_ratio(s, ratio, 0) != nullptr ||
        soxr_set_input_fn(s, supplyFromPlayout, this, kMaxFeed) != nullptr) {
        soxr_delete(s);
        return false;
    }
    soxr = s;
    return true;
}

void Playout::push(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t w = written.load(std::memory_order_relaxed);
    std::uint64_t t = taken.load(std::memory_order_acquire);
    if (w - t + count > ring.size()) {
        // The output has stopped taking samples; what does not fit is lost.
        lostRuns.fetch_add(1, std::memory_order_relaxed);
        count = ring.size() - static_cast<std::size_t>(w - t);
    }
    for (std::size_t i = 0; i < count; ++i)
        ring[(w + i) % ring.size()] = static_cast<float>(bytes[i] - 128) / 128.0f;
    written.store(w + count, std::memory_order_release);
}

std::size_t Playout::supply(const float** data, std::size_t requested) {
    std::size_t want = std::min(requested, kMaxFeed);
    if (want == 0)
        want = 1;
    *data = feed.data();
    if (playing) {
        std::uint64_t t = taken.load(std::memory_order_relaxed);
        std::uint64_t depth = written.load(std::memory_order_acquire) - t;
        if (depth == 0) {
            playing = false;
            if (expectAudio.load(std::memory_order_relaxed))
                lateRuns.fetch_add(1, std::memory_order_relaxed);
        } else {
            std::size_t n = std::min<std::size_t>(want, depth);
            for (std::size_t i = 0; i < n; ++i)
                feed[i] = ring[(t + i) % ring.size()];
            taken.store(t + n, std::memory_order_release);
            return n;
        }
    }
    std::fill(feed.begin(), feed.begin() + static_cast<std::ptrdiff_t>(want), 0.0f);
    return want;
}

void Playout::render(float* out, std::size_t frames) {
    std::uint64_t t = taken.load(std::memory_order_relaxed);
    auto depth = static_cast<double>(written.load(std::memory_order_acquire) - t);
    // Depth jumps by a block when one arrives and sinks until the next, so
    // its average lies half a block below its value just after an arrival
    // (which is when playing starts, and when a backlog shows).
    const double halfBlock = kStartExcessSeconds * linkRate / 2;
    if (!playing && depth >= targetSamples) {
        playing = true;
        average = depth - halfBlock;
        sinceStart = 0;
    }
    if (playing) {
        // A backlog just after playing starts is stale (the blocks the
        // station captured while it transmitted come all at once); a burst
        // far beyond the buffer later on is a stalled link catching up.
        bool starting = sinceStart < kStartSeconds;
        if (depth > targetSamples + (starting ? kStartExcessSeconds : kExcessSeconds) * linkRate) {
            auto excess = static_cast<std::uint64_t>(depth - targetSamples - halfBlock);
            taken.store(t + excess, std::memory_order_release);
            if (!starting)
                lostRuns.fetch_add(1, std::memory_order_relaxed);
            depth -= static_cast<double>(excess);
            average = depth - halfBlock;
        }
        sinceStart += static_cast<double>(frames) / deviceRate;
        double weight = std::min(1.0, static_cast<double>(frames) / deviceRate / kAverageSeconds);
        average += weight * (depth - average);
        double error = (average - targetSamples) / linkRate;
        correction = std::clamp(kGainPerSecond * error, -kMaxCorrection, kMaxCorrection);
    } else {
        correction = 0;
    }
    auto s = static_cast<soxr_t>(soxr);
    soxr_set_io_ratio(s, linkRate / deviceRate * (1 + correction), frames);
    std::size_t made = soxr_output(s, out, frames);
    std::fill(out + made, out + frames, 0.0f);
    depthMilliseconds.store(playing ? static_cast<int>(average / linkRate * 1000.0) : -1,
                            std::memory_order_relaxed);
    correctionPpm.store(static_cast<int>(correction * 1e6), std::memory_order_relaxed);
}

}  // namespace marvane::client
