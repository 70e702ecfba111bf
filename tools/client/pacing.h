// SPDX-License-Identifier: GPL-3.0-or-later
// Pacing of transmit audio by the station's fill reports ("N"), and the
// silence that ends a transmission so that all of it goes on the air.
//
// The station plays a 1024-sample block whenever at least 1024 bytes wait in
// its ring (silence otherwise), reports the fill before every second block,
// and once the last chunk ("R") is in, ends the transmission at the first
// block that finds fewer than 1024 bytes, dropping them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "connection.h"

namespace marvane::client {

// "S" and "R" payload size. The station takes an "R" payload only when it
// arrives in one read, so a frame must fit in one TCP segment on any path.
inline constexpr int kChunkBytes = 1024;

// Silence after the last audio. The station unkeys as soon as it has written
// the silent block that ends the transmission, while up to four written
// blocks and the sound device's own latency are still to be played: so whole
// blocks of silence follow, at least four blocks and a quarter of a second.
// `unaligned`: the ring holds an unknown number of bytes before the audio
// (a live transmission), so up to 1023 bytes at its end may be dropped; the
// silence covers them too, and at half rate the filter's delay.
std::size_t tailSilenceBytes(bool halfRate, bool unaligned);

// File transmissions: the ring is topped up to about two seconds after each
// fill report.
struct FilePacer {
    double bytesPerSecond = link::kFullRate;
    int lastFill = 0;
    // The sends taken as not yet in lastFill, and their sum.
    std::deque<std::pair<Clock::time_point, std::size_t>> recentSends;
    std::size_t sentSinceReport = 0;

    void report(int fill);
    void sent(std::size_t length);
    // Bytes to send now.
    double wanted() const;
    // Seconds of audio the station still has to play.
    double remainingSeconds() const;
};

// Live transmissions: the ring is kept short so that the operator's voice
// goes on the air soon after it is spoken. The controlled value is the fill
// the station reports before a block: a block (1024 bytes) plus a margin for
// the link's jitter, 0.2 s at first (about 0.3 s in all). A report below one
// block means the station had to play silence: the margin grows by 0.1 s (up
// to 1 s), and shrinks back by 0.05 s for every 20 s of reports that kept
// well clear of it (the first reports after "T" only show the ring filling).
// When the reports of the last 1.5 s all lie more than half
// a block above the target (a silent block the station inserted, or a clock
// running a little fast), the excess is dropped from the audio still to send.
struct LivePacer {
    double bytesPerSecond = link::kFullRate;
    double marginSeconds = 0.2;
    int lastFill = -1;      // -1 before the first report
    int reports = 0;        // since start()
    int shortBlocks = 0;    // reports below one block: silence on the air
    std::size_t dropped = 0;  // bytes dropped to bring the ring back down
    std::size_t toDrop = 0;   // of the audio still to come
    std::deque<int> window;   // the latest reports
    double calmSeconds = 0;   // since the margin last grew or shrank

    static constexpr double kBaseMargin = 0.2;
    static constexpr double kMaxMargin = 1.0;

    void start(double rate);
    int targetFill() const;
    // The report of one "N"; `interval` is the time since the previous one.
    void report(int fill, double interval);
    // Takes what is to be dropped out of freshly captured bytes; returns how
    // many of the `length` bytes remain to be sent (at the end of `bytes`).
    std::size_t dropFrom(std::size_t length);
};

// Sends bytes as "S" chunks of at most kChunkBytes, the last chunk as "R"
// when `last` is set.
bool sendChunks(int fd, const std::uint8_t* bytes, std::size_t length, bool last);

}  // namespace marvane::client
