// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_state.h"

#include <cstring>

namespace marvane::link {

LinkState linkState;
TxRing txRing;

namespace {

std::mutex transitionGuard;

template <size_t N>
void copyText(char (&to)[N], const char* from) {
    size_t length = std::strlen(from);
    if (length > N - 1)
        length = N - 1;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

} // namespace

void LinkState::copyPeerAddress(char (&out)[16]) {
    std::lock_guard lock(textGuard);
    std::memcpy(out, peerAddressText, sizeof out);
}

void LinkState::storePeerAddress(const char* text) {
    std::lock_guard lock(textGuard);
    copyText(peerAddressText, text);
}

void LinkState::copyPeerInfo(char (&out)[20]) {
    std::lock_guard lock(textGuard);
    std::memcpy(out, peerInfoText, sizeof out);
}

void LinkState::storePeerInfo(const char* word) {
    std::lock_guard lock(textGuard);
    copyText(peerInfoText, word);
}

std::unique_lock<std::mutex> holdTransitions() { return std::unique_lock(transitionGuard); }

bool linkStateConsistent() {
    std::lock_guard lock(transitionGuard);
    const LinkState& s = linkState;
    const int connected = s.clientConnected, streaming = s.rxStreaming, active = s.txActive,
              phase = s.rxPhase;
    if (connected == 0)  // no client: rxStreaming is 1 only before the first one
        return active == 0 && (streaming == 0 || s.connectionsAccepted == 0);
    if (phase == 1) return streaming == 1 && active == 0;  // receive
    return streaming == 0 && active == 1;                   // transmit or draining
}

std::unique_lock<std::mutex> holdRing() { return std::unique_lock(txRing.resetGuard); }

int heldRingFill() {
    int fill = txRing.ringWritePos.load(std::memory_order_acquire) -
               txRing.ringReadPos.load(std::memory_order_acquire);
    return fill < 0 ? fill + kRingSize : fill;
}

int ringFill() {
    std::lock_guard lock(txRing.resetGuard);
    return heldRingFill();
}

void ringAppend(const uint8_t* bytes, int count) {
    int pos = txRing.ringWritePos.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        txRing.bytes[pos] = bytes[i];
        pos = pos == kRingSize - 1 ? 0 : pos + 1;
        txRing.ringWritePos.store(pos, std::memory_order_release);
    }
}

uint8_t ringTake() {
    int pos = txRing.ringReadPos.load(std::memory_order_relaxed);
    uint8_t byte = txRing.bytes[pos];
    txRing.ringReadPos.store(pos == kRingSize - 1 ? 0 : pos + 1, std::memory_order_release);
    return byte;
}

void ringReset() {
    std::lock_guard lock(txRing.resetGuard);
    txRing.ringWritePos.store(0, std::memory_order_release);
    txRing.ringReadPos.store(0, std::memory_order_release);
}

void ringCatchUp() {
    std::lock_guard lock(txRing.resetGuard);
    txRing.ringReadPos.store(txRing.ringWritePos.load(std::memory_order_acquire),
                             std::memory_order_release);
}

} // namespace marvane::link
