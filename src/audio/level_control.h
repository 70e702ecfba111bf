// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Receive level control: an automatic gain driven by each block's peak that
// heads for a peak of 15000, never wants more than 30, drops at once when the
// peak would reach 30000, and ramps linearly across the block.

#include <atomic>
#include <cstdint>

namespace marvane::audio {

inline constexpr double kPeakGoal = 15000.0;
inline constexpr double kPeakCeiling = 30000.0;
inline constexpr double kMaxWantedGain = 30.0;

// The gain for the next sample, and the gain the next ramp heads for. Written
// by levelBlock only; another thread may read them at any time.
extern std::atomic<double> currentGain;
extern std::atomic<double> targetGain;

// Scales count samples (at least 1) into out, unrounded and unclipped, and
// moves both gains on.
void levelBlock(const int16_t* in, double* out, int count);

// levelledSamples: the last levelled receive block (or, while transmitting,
// the last transmit block), 1024 doubles, guarded so that no copy is torn.
void storeLevelledSamples(const double* in);
void copyLevelledSamples(double* out);

} // namespace marvane::audio
