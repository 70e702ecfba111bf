// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The transmit sample source: turns the client's transmit bytes in TxRing into
// 16-bit samples, interpolates half-rate audio with a 41-tap low-pass filter,
// gives silence while the ring runs short, paces the "N" fill reports and ends
// a drained transmission.

#include <cstdint>

namespace marvane::audio {

inline constexpr int kTxFilterTaps = 41;
extern const float txFilterTaps[kTxFilterTaps];

// One transmit block, filled in place (audio pump thread only).
void fillTxBlock(int16_t* samples, int count);

// One filter step for input x: the output truncated toward zero. The delay
// line carries over from block to block and from one transmission to the next.
int interpolateTx(int16_t x);

// Zeroes the filter's delay line. The station never does this; tests start
// from the state the program starts in.
void clearTxFilterDelay();

// txBlock: the last transmit block, 1024 samples, guarded so that the window
// thread's copy is never torn.
void storeTxBlock(const int16_t* in);
void copyTxBlock(int16_t* out);

} // namespace marvane::audio
