// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The connection state shared by the link server, the audio pump and the
// window, and the transmit ring that carries the client's audio to the sound
// card. Flags and ring positions are atomics, read and written whole; the two
// texts are guarded by a small mutex so that no reader sees half a text.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace marvane::link {

struct LinkState {
    std::atomic<int> clientConnected{0};
    std::atomic<int> rxStreaming{1}; // 1 at start although no client is there
    std::atomic<int> txActive{0};
    std::atomic<int> rxPhase{1};
    std::atomic<int> txDrainPending{0};
    std::atomic<int> rxHalfRate{0};
    std::atomic<int> txHalfRate{0};
    std::atomic<int> peerInfoChanged{0};
    std::atomic<int> lastReportedFill{0};
    std::atomic<int> blocksSinceReport{0};
    // Transmissions started ("T" frames accepted): the pump counts each
    // transmission's blocks from the change of this number.
    std::atomic<int> transmissionsStarted{0};
    std::atomic<int> connectionsAccepted{0};

    // Dotted-decimal client address, at most 15 characters.
    void copyPeerAddress(char (&out)[16]);
    void storePeerAddress(const char* text);
    // First word of the client's last "I" text, at most 19 characters.
    void copyPeerInfo(char (&out)[20]);
    void storePeerInfo(const char* word);

    std::mutex textGuard;
    char peerAddressText[16] = {};
    char peerInfoText[20] = {};
};

extern LinkState linkState;

// The transitions of the connection state that two threads make (accept, "T",
// "R" and a lost connection on the link server thread or the audio pump,
// against the pump's end of a transmission) write their flags while holding
// this, so that every reader under it sees the flags in one of the four
// states: no client, receive, transmit, draining. Never held across a send.
[[nodiscard]] std::unique_lock<std::mutex> holdTransitions();

// Whether the flags are in one of the four states (taken under the
// transitions' hold): for tests and the fuzzer's checks.
bool linkStateConsistent();

// Ten seconds of transmit audio at 11025 bytes per second.
inline constexpr int kRingSize = 110250;

struct TxRing {
    uint8_t bytes[kRingSize] = {};
    std::atomic<int> ringWritePos{0}; // written by the link server thread only
    std::atomic<int> ringReadPos{0};  // advanced by the audio pump thread only
    // A reset stores both positions; the pump's fill test, takes and catch-up
    // each load one position and store the other. Held by both sides, never
    // across a network send, so that neither lands in the middle of the other.
    std::mutex resetGuard;
};

extern TxRing txRing;

// Bytes waiting, 0..110249; never a position from before a reset with one
// from after it.
int ringFill();
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
// Both positions to 0 (start-up and an accepted "T"), never while the pump
// holds the ring.
void ringReset();
// Drops whatever still waits (audio pump thread, end of a transmission); a
// reset never lands between its load and its store.
void ringCatchUp();

} // namespace marvane::link
