// SPDX-License-Identifier: GPL-3.0-or-later
// The transmit sample source: byte to sample, the half-rate filter's exact
// outputs, shortage and the end of a drained transmission, report pacing.

#include "audio/tx_source.h"
#include "block_copy.h"
#include "link/link_harness.h"

#include <netinet/tcp.h>

using namespace marvane::audio;
using namespace marvane::link;
using namespace marvane::testing;

namespace {

class TxSource : public ::testing::Test {
protected:
    int16_t block[1024];
    void SetUp() override {
        resetLinkForTest();
        clearTxFilterDelay();
        // Transmitting, as after an accepted "T" (no socket: the fill
        // reports go nowhere).
        ASSERT_TRUE(transition(LinkEvent::accepted));
        ASSERT_TRUE(transition(LinkEvent::transmitAsked));
        std::fill(std::begin(block), std::end(block), int16_t{77});
    }
    void TearDown() override {
        resetLinkForTest();
        clearTxFilterDelay();
    }
    static void append(uint8_t byte, int count) {
        std::vector<uint8_t> bytes(static_cast<size_t>(count), byte);
        ringAppend(bytes.data(), count);
    }
    bool silent() const {
        return std::all_of(std::begin(block), std::end(block), [](int16_t v) { return v == 0; });
    }
    static bool transmissionEnded() {
        return linkState.txDrainPending == 0 && linkState.rxPhase == 1 && linkState.txActive == 0 &&
               linkState.rxStreaming == 1;
    }
};

TEST_F(TxSource, FullRateBytesBecomeSamples) {
    const uint8_t bytes[] = {0, 127, 128, 129, 255};
    ringAppend(bytes, 5);
    append(128, 1019);
    fillTxBlock(block, 1024);
    EXPECT_EQ(block[0], -32768);
    EXPECT_EQ(block[1], -256);
    EXPECT_EQ(block[2], 0);
    EXPECT_EQ(block[3], 256);
    EXPECT_EQ(block[4], 32512);
    EXPECT_EQ(ringFill(), 0);
}

// Only the value 1 selects half rate: 0, 2 and 255 all play a byte per sample.
TEST_F(TxSource, EveryRateValueButOneIsFullRate) {
    for (int rate : {0, 2, 255}) {
        linkState.txHalfRate = rate;
        const uint8_t bytes[] = {0, 255, 129};
        ringAppend(bytes, 3);
        append(128, 1021);
        fillTxBlock(block, 1024);
        EXPECT_EQ(block[0], -32768) << rate;
        EXPECT_EQ(block[1], 32512) << rate;
        EXPECT_EQ(block[2], 256) << rate;
        EXPECT_EQ(ringFill(), 0) << rate;
    }
}

TEST_F(TxSource, ExactlyOneBlockIsPlayedThenTheDrainEnds) {
    append(200, 1024);
    ASSERT_TRUE(transition(LinkEvent::lastChunk));
    fillTxBlock(block, 1024);
    EXPECT_EQ(block[1023], (200 - 128) * 256);
    EXPECT_EQ(linkState.txActive.load(), 1);
    fillTxBlock(block, 1024);
    EXPECT_TRUE(silent());
    EXPECT_TRUE(transmissionEnded());
}

// Fewer bytes than samples: silence, nothing taken, also at half rate where
// only 512 would be needed.
TEST_F(TxSource, ShortRingGivesSilenceAndKeepsTheBytes) {
    linkState.txHalfRate = 1;
    append(255, 1000);
    fillTxBlock(block, 1024);
    EXPECT_TRUE(silent());
    EXPECT_EQ(ringFill(), 1000);
    EXPECT_EQ(linkState.txActive.load(), 1);
}

TEST_F(TxSource, DrainingWithAShortRingDiscardsTheRestAndEnds) {
    linkState.txHalfRate = 1;
    append(255, 1000);
    ASSERT_TRUE(transition(LinkEvent::lastChunk));
    fillTxBlock(block, 1024);
    EXPECT_TRUE(silent());
    EXPECT_EQ(ringFill(), 0);
    EXPECT_EQ(txRing.ringReadPos.load(), 1000);
    EXPECT_TRUE(transmissionEnded());
}

TEST_F(TxSource, HalfRateTakesHalfABlockOfBytes) {
    linkState.txHalfRate = 1;
    append(128, 1024);
    fillTxBlock(block, 1024);
    EXPECT_EQ(ringFill(), 512);
    fillTxBlock(block, 1024);
    EXPECT_TRUE(silent());
    EXPECT_EQ(ringFill(), 512);
}

// The filter's step response, bit for bit, including the wrap of outputs
// beyond the 16-bit range.
TEST_F(TxSource, HalfRateStepResponseIsExact) {
    linkState.txHalfRate = 1;
    append(255, 1024);
    fillTxBlock(block, 1024);
    EXPECT_EQ(block[0], -10);
    EXPECT_EQ(block[1], 32);
    EXPECT_EQ(block[2], 63);
    EXPECT_EQ(block[19], 8883);
    EXPECT_EQ(block[20], 23628);
    EXPECT_EQ(block[21], -31735);
    EXPECT_EQ(block[22], -30295);
    for (int i = 40; i < 1024; ++i)
        ASSERT_EQ(block[i], 32512) << i;
}

TEST_F(TxSource, HalfRateSmallStepsSettleExactly) {
    linkState.txHalfRate = 1;
    for (uint8_t byte : {uint8_t{129}, uint8_t{127}}) {
        clearTxFilterDelay();
        ringReset();
        append(byte, 1024); // a block needs 1024 waiting, though it takes 512
        fillTxBlock(block, 1024);
        for (int i = 40; i < 1024; ++i)
            ASSERT_EQ(block[i], (byte - 128) * 256) << i;
    }
}

TEST_F(TxSource, FilterCarriesItsDelayLineIntoTheNextBlock) {
    linkState.txHalfRate = 1;
    append(255, 1024);
    fillTxBlock(block, 1024);
    ringReset();
    append(128, 1024);
    fillTxBlock(block, 1024);
    EXPECT_GT(block[0], 30000); // a fresh delay line would give 0 here
    for (int i = 40; i < 1024; ++i)
        ASSERT_EQ(block[i], 0) << i;
}

TEST_F(TxSource, FullRateRunsNoFilterStep) {
    append(255, 1024);
    fillTxBlock(block, 1024);
    EXPECT_EQ(interpolateTx(0), 0); // the delay line is still all zero
}

TEST_F(TxSource, WithoutAClientReportingBlocksOnlyResetTheCounter) {
    linkState.blocksSinceReport = 0;
    fillTxBlock(block, 1024);
    EXPECT_EQ(linkState.blocksSinceReport.load(), 1);
    fillTxBlock(block, 1024);
    EXPECT_EQ(linkState.blocksSinceReport.load(), 0);
    EXPECT_EQ(linkState.lastReportedFill.load(), 0);
}

TEST(TxBlock, CopiesAreNeverTorn) {
    EXPECT_TRUE(copiesStayWhole(storeTxBlock, copyTxBlock));
}

// Reports with a client: counted from the "N" that "T" sends, every second
// block reports the fill before it takes its bytes; after "R", none.
class TxReports : public TxSource {
protected:
    ServedConnection conn;
    void SetUp() override {
        TxSource::SetUp();
        resetLinkForTest();
        conn.start();
        sendBytes(conn.client(), frame('T', 0));
        ASSERT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'N', 0, 0}));
    }
    void TearDown() override {
        conn.end();
        TxSource::TearDown();
    }
    void fence() {
        sendBytes(conn.client(), frame('P', 0));
        ASSERT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'P', 0, 0}));
    }
};

TEST_F(TxReports, EverySecondBlockReportsTheFillBeforeItIsTaken) {
    sendBytes(conn.client(), frameWith('S', std::vector<uint8_t>(3000, 140)));
    fence();
    std::vector<int> counters;
    for (int i = 0; i < 6; ++i) {
        fillTxBlock(block, 1024);
        counters.push_back(linkState.blocksSinceReport);
    }
    EXPECT_EQ(counters, (std::vector<int>{1, 0, 1, 0, 1, 0}));
    auto reports = readBytes(conn.client(), 18);
    // 3000 waiting: block 1 takes 1024; block 2 reports 1976 and takes 1024;
    // blocks 3 to 6 find 952, too few, and are silent.
    EXPECT_EQ(reports, (std::vector<uint8_t>{1, 2, 3, 'N', 1976 / 256, 1976 % 256, //
                                             1, 2, 3, 'N', 952 / 256, 952 % 256,   //
                                             1, 2, 3, 'N', 952 / 256, 952 % 256}));
    fence(); // and nothing else came
}

TEST_F(TxReports, NoReportsAfterTheLastChunk) {
    sendBytes(conn.client(), frame('R', 0));
    fence();
    linkState.blocksSinceReport = 1;
    fillTxBlock(block, 1024); // ends the transmission
    EXPECT_TRUE(transmissionEnded());
    EXPECT_EQ(linkState.blocksSinceReport.load(), 1);
    fence();
}

TEST_F(TxReports, EndOfTransmissionSwitchesNoDelayOff) {
    int value = 0;
    socklen_t length = sizeof value;
    getsockopt(conn.station(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
    ASSERT_NE(value, 0);
    sendBytes(conn.client(), frame('R', 0));
    fence();
    fillTxBlock(block, 1024);
    getsockopt(conn.station(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
    EXPECT_EQ(value, 0);
}

} // namespace
