// SPDX-License-Identifier: GPL-3.0-or-later
// The capture as it arrives, levelled, for the listeners' feed.

#include "audio/level_control.h"
#include "audio/station_feed.h"
#include "link/link_protocol.h"
#include "sound/sound.h"

#include <algorithm>

namespace marvane::audio {

Feed captureFeed;

namespace {

// The capture device's thread only (one at a time: see sound::setCaptureTap).
std::int16_t levelled[kFeedMaxSamples];
double lastGain = -1;  // the gain the last piece ended with; < 0 before the first

void levelAndPublish(const std::int16_t* samples, int count) {
    int peak = 0;
    for (int i = 0; i < count; ++i) peak = std::max(peak, samples[i] < 0 ? -samples[i] : +samples[i]);
    // The level control lowers its gain only once its block is whole: up to
    // a block after a loud onset. Meanwhile the piece is held at the ceiling.
    const double most = peak > 0 ? kPeakCeiling / peak : kMaxWantedGain;
    const double end = std::min(currentGain.load(std::memory_order_relaxed), most);
    const double start = lastGain < 0 ? end : std::min(lastGain, most);
    // Ramped, so that a new gain makes no step between pieces.
    const double step = (end - start) / count;
    double gain = start;
    for (int i = 0; i < count; ++i) {
        levelled[i] = link::saturateSample(samples[i] * gain);
        gain += step;
    }
    lastGain = end;
    publishFeedBlock(captureFeed, FeedKind::receive, levelled, count);
}

}  // namespace

void levelCapturePiece(const std::int16_t* samples, std::size_t count) {
    while (count > 0) {
        const int n = static_cast<int>(std::min<std::size_t>(count, kFeedMaxSamples));
        levelAndPublish(samples, n);
        samples += n;
        count -= static_cast<std::size_t>(n);
    }
}

void startCaptureFeed() { sound::setCaptureTap(levelCapturePiece); }

}  // namespace marvane::audio
