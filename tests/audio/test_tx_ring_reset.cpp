// SPDX-License-Identifier: GPL-3.0-or-later
// The ring reset of an accepted "T" against the audio pump taking from the
// ring: the link server thread resets and appends while the pump thread runs
// fillTxBlock, as happens when "S" frames came before "T".

#include "audio/tx_source.h"
#include "link/link_sender.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using namespace marvane::audio;
using namespace marvane::link;

namespace {

constexpr int kBlock = 1024;
constexpr int kRounds = 5000;

// Transmitting, as after an accepted "T"; no socket: the fill reports go
// nowhere.
void transmitting() {
    resetLinkState();
    transition(LinkEvent::accepted);
    transition(LinkEvent::transmitAsked);
}

// Catches a reset (a lost connection's) that the pump can see half done (a
// fill test between its two stores), a take whose store of the read position
// lands after it, and a catch-up racing it: each leaves the read position
// far ahead of the write position, so the ring seems to hold up to ten
// seconds of stale audio and every later "S" is dropped as not fitting.
// After a reset the fill is never more than what was appended since; a
// full-rate block is never a mixture of bytes from before and after a reset.
TEST(TxRingReset, ResetNeverLandsInsideThePumpsTakes) {
    transmitting();
    std::atomic<bool> done{false};
    std::atomic<int> mixedBlocks{0};

    std::thread pump([&] {
        int16_t block[kBlock];
        for (unsigned i = 0; !done.load(); ++i) {
            // Now and then at half rate, and now and then ending a drain
            // (the catch-up), as a transmission does.
            linkState.txHalfRate = i % 7 == 3 ? 1 : 0;
            if (i % 11 == 5) transition(LinkEvent::lastChunk);
            fillTxBlock(block, kBlock);
            // Transmitting again after the drain (its reset only lowers the
            // fill the other thread checks).
            if (linkState.txActive == 0) transition(LinkEvent::transmitAsked);
            if (linkState.txHalfRate == 0 &&
                std::any_of(block, block + kBlock, [&](int16_t v) { return v != block[0]; }))
                ++mixedBlocks;
        }
    });

    std::vector<uint8_t> chunk(3000);
    int overfull = 0;
    int worstFill = 0;
    int worstAppended = 0;
    auto check = [&](int appended) {
        const int fill = ringFill();
        if (fill <= appended) return true;
        ++overfull;
        worstFill = fill;
        worstAppended = appended;
        return false;
    };
    for (int round = 0; round < kRounds && overfull == 0; ++round) {
        // Each round's bytes carry their own value.
        std::fill(chunk.begin(), chunk.end(), static_cast<uint8_t>(1 + round % 250));
        ringReset();
        if (!check(0)) break;
        ringAppend(chunk.data(), 1100);
        int appended = 1100;
        if (round % 2 == 0) {
            // The next reset as soon as the pump has begun taking this block.
            const int before = txRing.ringReadPos.load();
            for (int spin = 0; spin < 100000 && txRing.ringReadPos.load() == before; ++spin)
                std::this_thread::yield();
            continue;
        }
        for (int length : {700, 3000}) {
            if (!check(appended)) break;
            // As the link server does: a chunk that does not fit is dropped.
            if (kRingSize - ringFill() > length) {
                ringAppend(chunk.data(), length);
                appended += length;
            }
        }
        check(appended);
    }
    done = true;
    pump.join();

    EXPECT_EQ(overfull, 0) << "fill " << worstFill << " after appending " << worstAppended
                           << " since the reset";
    EXPECT_EQ(mixedBlocks.load(), 0);
    transmitting();
}

// Catches a reset or fill test that no longer works alone once the ring is
// guarded: a reset empties the ring, and the pump's hold is released after
// each block (a second block would wait forever otherwise).
TEST(TxRingReset, HoldIsReleasedAfterEachBlock) {
    transmitting();
    std::vector<uint8_t> bytes(3 * kBlock, 200);
    ringAppend(bytes.data(), static_cast<int>(bytes.size()));
    int16_t block[kBlock];
    fillTxBlock(block, kBlock);
    fillTxBlock(block, kBlock);
    EXPECT_EQ(ringFill(), kBlock);
    EXPECT_EQ(block[0], (200 - 128) * 256);
    ringReset();
    EXPECT_EQ(ringFill(), 0);
    transition(LinkEvent::lastChunk);
    fillTxBlock(block, kBlock); // short: ends the transmission, catch-up included
    EXPECT_EQ(linkState.txActive.load(), 0);
    EXPECT_EQ(ringFill(), 0);
    transmitting();
}

} // namespace
