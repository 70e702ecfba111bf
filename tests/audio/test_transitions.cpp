// SPDX-License-Identifier: GPL-3.0-or-later
// The transitions the link server thread and the audio pump both make: a
// client's "R" and "T" against the pump ending the drained transmission,
// over a real loopback connection, with the pump taking blocks as fast as it
// can.

#include "common/link_view.h"
#include "link/link_harness.h"

#include "audio/tx_source.h"
#include "link/link_sender.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <atomic>
#include <thread>

namespace marvane::testing {
namespace {

constexpr int kRounds = 3000;

// Catches a "T" that lands between the flag writes of the drain's end: the
// station is left connected with rxPhase 0, txActive 0 and rxStreaming 1, in
// no state of the machine, and every later "T" is ignored. Each round the
// client ends a transmission with "R" and sends "T" until it is taken again;
// the flags must be in one of the four states whenever the pump looks.
TEST(Transitions, TransmitAgainstTheEndOfADrainIsNeverTorn) {
    resetLinkForTest();
    ServedConnection conn;
    conn.start();
    // The fill reports are read and thrown away, so that no send blocks.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) readBytes(conn.client(), 4096, 20);
    });
    std::atomic<int> torn{0};
    std::thread pump([&] {
        int16_t block[1024];
        while (!done) {
            if (!flagsMatchPhase(link::snapshot())) ++torn;
            if (link::linkState.txActive.load())
                audio::fillTxBlock(block, 1024);
            else
                std::this_thread::yield();
        }
    });
    const auto transmitting = [] {
        return link::linkState.txActive == 1 && link::linkState.txDrainPending == 0;
    };
    int stuck = -1;
    for (int round = 0; round < kRounds && stuck < 0 && torn == 0; ++round) {
        sendBytes(conn.client(), frame('R', 0));
        bool taken = false;
        for (int attempt = 0; attempt < 2000 && !taken; ++attempt) {
            sendBytes(conn.client(), frame('T', 0));
            taken = waitFor(transmitting, 5);
        }
        if (!taken) stuck = round;
    }
    done = true;
    pump.join();
    reader.join();
    EXPECT_EQ(stuck, -1) << "no \"T\" taken after the drain of round " << stuck;
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(link::linkState.clientConnected.load(), 1);
    conn.end();
    EXPECT_TRUE(flagsMatchPhase(link::snapshot()));
    resetLinkForTest();
}

}  // namespace
}  // namespace marvane::testing
