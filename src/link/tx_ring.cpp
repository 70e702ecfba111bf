// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/tx_ring.h"

namespace marvane::link {

TxRing txRing;

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

bool ringFits(int length) { return kRingSize - ringFill() > length; }

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
