// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The transmit ring: ten seconds of the client's transmit audio, as link
// bytes, on its way from the network to the sound card. One producer (the
// thread that reads the client's frames) and one consumer (the audio pump);
// resets and the catch-up come only from the connection's transitions.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace marvane::link {

// Ten seconds of transmit audio at 11025 bytes per second.
inline constexpr int kRingSize = 110250;

struct TxRing {
    uint8_t bytes[kRingSize] = {};
    std::atomic<int> ringWritePos{0}; // advanced by the frame reader's thread only
    std::atomic<int> ringReadPos{0};  // advanced by the audio pump thread only
    // A reset stores both positions; the pump's fill test, takes and catch-up
    // each load one position and store the other. Held by both sides, never
    // across I/O, so that neither lands in the middle of the other.
    std::mutex resetGuard;
};

extern TxRing txRing;

// Bytes waiting, 0..110249; never a position from before a reset with one
// from after it.
int ringFill();
// Whether a payload of `length` bytes fits whole: at most 110249 may wait.
bool ringFits(int length);
// Stores the bytes and advances the write position; tests no free space, the
// caller decides beforehand whether they may be stored.
void ringAppend(const uint8_t* bytes, int count);
// The audio pump's hold on the ring for its fill test and takes: a reset
// waits until it is released.
[[nodiscard]] std::unique_lock<std::mutex> holdRing();
// ringFill for the holder of holdRing.
int heldRingFill();
// Takes the oldest waiting byte (audio pump thread, holding the ring, after
// checking the fill).
uint8_t ringTake();
// Both positions to 0: nothing waits. Only the connection's transitions.
void ringReset();
// Drops whatever still waits (the end of a transmission).
void ringCatchUp();

} // namespace marvane::link
