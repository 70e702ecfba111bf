// SPDX-License-Identifier: GPL-3.0-or-later
#include "pacing.h"

#include <algorithm>
#include <cmath>

namespace marvane::client {

namespace {

constexpr double kFileTargetSeconds = 2.0;
// A report can be made before the station has read bytes sent just before
// it: the station pauses 100 ms after "T" (and may report meanwhile), and
// 50 ms inside a split "S". Bytes sent this recently are taken as not yet in
// a report. It is longer than those pauses and than the report interval
// (two blocks, 186 ms), so at worst a burst counts twice and the ring runs a
// little below the target; never far above it.
constexpr double kInFlightSeconds = 0.3;

constexpr int kQueuedBlocks = 4;
constexpr double kOutputLatencySeconds = 0.25;
constexpr int kFilterDelayBytes = 16;

constexpr std::size_t kWindowReports = 8;  // about 1.5 s of reports
constexpr double kMarginStep = 0.1;
constexpr double kMarginRelief = 0.05;
constexpr double kCalmSeconds = 20.0;
// The first reports after "T" can come before the first audio has arrived
// on a slow link; they say nothing about its jitter.
constexpr int kSettlingReports = 3;

}  // namespace

std::size_t tailSilenceBytes(bool halfRate, bool unaligned) {
    const auto block = static_cast<std::size_t>(link::blockBytes(halfRate));
    const double tail =
        kQueuedBlocks * static_cast<double>(block) + kOutputLatencySeconds * link::linkRate(halfRate);
    std::size_t bytes = static_cast<std::size_t>(std::ceil(tail / static_cast<double>(block))) * block;
    if (unaligned)
        bytes += link::kBlockSamples + (halfRate ? kFilterDelayBytes : 0);
    return bytes;
}

void FilePacer::report(int fill) {
    lastFill = fill;
    auto now = Clock::now();
    while (!recentSends.empty() &&
           now - recentSends.front().first > std::chrono::duration<double>(kInFlightSeconds)) {
        sentSinceReport -= recentSends.front().second;
        recentSends.pop_front();
    }
}

void FilePacer::sent(std::size_t length) {
    sentSinceReport += length;
    recentSends.emplace_back(Clock::now(), length);
}

double FilePacer::wanted() const {
    return kFileTargetSeconds * bytesPerSecond - lastFill - static_cast<double>(sentSinceReport);
}

double FilePacer::remainingSeconds() const {
    return (lastFill + static_cast<double>(sentSinceReport)) / bytesPerSecond;
}

void LivePacer::start(double rate) {
    bytesPerSecond = rate;
    lastFill = -1;
    reports = 0;
    window.clear();
    toDrop = 0;
    calmSeconds = 0;
}

int LivePacer::targetFill() const {
    return link::kBlockSamples + static_cast<int>(marginSeconds * bytesPerSecond);
}

void LivePacer::report(int fill, double interval) {
    lastFill = fill;
    if (++reports <= kSettlingReports)
        return;
    calmSeconds += interval;
    if (fill < link::kBlockSamples) {
        ++shortBlocks;
        marginSeconds = std::min(kMaxMargin, marginSeconds + kMarginStep);
        calmSeconds = 0;
        window.clear();
        return;
    }
    if (fill < link::kBlockSamples + static_cast<int>(marginSeconds * bytesPerSecond / 2))
        calmSeconds = 0;
    if (calmSeconds >= kCalmSeconds && marginSeconds > kBaseMargin) {
        marginSeconds = std::max(kBaseMargin, marginSeconds - kMarginRelief);
        calmSeconds = 0;
    }
    window.push_back(fill);
    if (window.size() > kWindowReports)
        window.pop_front();
    int lowest = *std::min_element(window.begin(), window.end());
    if (window.size() == kWindowReports && lowest > targetFill() + link::kBlockSamples / 2) {
        toDrop += static_cast<std::size_t>(lowest - targetFill());
        window.clear();
    }
}

std::size_t LivePacer::dropFrom(std::size_t length) {
    std::size_t n = std::min(length, toDrop);
    toDrop -= n;
    dropped += n;
    return length - n;
}

bool sendChunks(int fd, const std::uint8_t* bytes, std::size_t length, bool last) {
    if (length == 0)
        return !last || sendSized(fd, link::kCmdLastSamples, nullptr, 0);
    while (length > 0) {
        std::size_t n = std::min(length, static_cast<std::size_t>(kChunkBytes));
        bool final = last && n == length;
        if (!sendSized(fd, final ? link::kCmdLastSamples : link::kCmdSamples, bytes, n))
            return false;
        bytes += n;
        length -= n;
    }
    return true;
}

}  // namespace marvane::client
