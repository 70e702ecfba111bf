// SPDX-License-Identifier: GPL-3.0-or-later
// Receive audio on the wire: the byte encoding, full and half rate, the
// guards; and the "N" frame with its 65535 cap.

#include "link/link_protocol.h"
#include "link_harness.h"

using namespace marvane::link;
using namespace marvane::testing;

namespace {

// Truncation toward zero, an arithmetic shift, and loud samples held at the
// ends of the range: a rounding, a logical shift or a wrap through the low 16
// bits (full-scale noise of the opposite sign) would change several of these.
TEST(RxEncoding, MatchesTheTable) {
    const std::pair<double, int> table[] = {
        {0.0, 128},     {255.9, 128},    {-0.5, 128},    {-1.0, 127},  {-256.0, 127},
        {-257.0, 126},  {32767.0, 255},  {-32768.0, 0},  {32768.0, 255}, {33023.0, 255},
        {65535.0, 255}, {1e12, 255},     {-32769.0, 0},  {-1e12, 0}};
    for (auto [sample, byte] : table)
        EXPECT_EQ(encodeRxSample(sample), byte) << sample;
}

class RxAudio : public ServedTest {
protected:
    double block[1024];
    void SetUp() override {
        ServedTest::SetUp();
        for (int i = 0; i < 1024; ++i)
            block[i] = (i - 512) * 64.5;
    }
};

TEST_F(RxAudio, FullRateSendsEverySample) {
    sendRxAudio(block, 1024);
    auto bytes = readBytes(conn.client(), 1024);
    ASSERT_EQ(bytes.size(), 1024u);
    for (int i = 0; i < 1024; ++i)
        EXPECT_EQ(bytes[static_cast<size_t>(i)], encodeRxSample(block[i])) << i;
    EXPECT_TRUE(nothingArrives(conn.client(), 50));
}

TEST_F(RxAudio, HalfRateSendsEvenSamplesOnly) {
    linkState.rxHalfRate = 1;
    sendRxAudio(block, 1024);
    auto bytes = readBytes(conn.client(), 512);
    ASSERT_EQ(bytes.size(), 512u);
    for (int k = 0; k < 512; ++k)
        EXPECT_EQ(bytes[static_cast<size_t>(k)], encodeRxSample(block[2 * k])) << k;
    sendBytes(conn.client(), frame('P', 0));
    EXPECT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'P', 0, 0}));
}

TEST_F(RxAudio, RateValueTwoIsFullRate) {
    linkState.rxHalfRate = 2;
    sendRxAudio(block, 1024);
    EXPECT_EQ(readBytes(conn.client(), 1024).size(), 1024u);
}

TEST_F(RxAudio, NothingIsSentWhileTransmitting) {
    ASSERT_TRUE(transition(LinkEvent::transmitAsked));
    sendRxAudio(block, 1024);
    sendBytes(conn.client(), frame('P', 0));
    EXPECT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'P', 0, 0}));
    EXPECT_EQ(linkState.clientConnected.load(), 1);
}

TEST_F(RxAudio, FillReportCarriesTheFillCappedAt65535) {
    setFill(70000);
    sendFillReport();
    EXPECT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'N', 0xFF, 0xFF}));
    EXPECT_EQ(linkState.lastReportedFill.load(), 65535);
    setFill(65534);
    sendFillReport();
    EXPECT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'N', 0xFF, 0xFE}));
    setFill(0x1234);
    linkState.blocksSinceReport = 1;
    sendFillReport();
    EXPECT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'N', 0x12, 0x34}));
    EXPECT_EQ(linkState.blocksSinceReport.load(), 0);
}

// Messages queued from two threads never interleave on the wire: each
// receive block is whole and each pong whole, whatever was dropped for a
// reader slower than the senders.
TEST_F(RxAudio, MessagesFromTwoThreadsStayWhole) {
    for (int i = 0; i < 1024; ++i)
        block[i] = 0.0; // every audio byte is 128
    constexpr int blocks = 200, pongs = 200;
    const uint64_t droppedBefore = droppedRxBlocks();
    std::thread pump([&] {
        for (int i = 0; i < blocks; ++i)
            sendRxAudio(block, 1024);
    });
    for (int i = 0; i < pongs; ++i)
        sendPong();
    pump.join();
    int audioBytes = 0, seen = 0, run = 0;
    bool whole = true;
    std::vector<uint8_t> pending;
    // Reads until every block is either here or counted as dropped.
    const bool all = waitFor([&] {
        auto got = readBytes(conn.client(), 65536, 20);
        pending.insert(pending.end(), got.begin(), got.end());
        size_t i = 0;
        while (i < pending.size()) {
            if (pending[i] == 128) {
                ++run;
                ++audioBytes;
                ++i;
                continue;
            }
            if (pending.size() - i < 6) break;
            whole = whole && run % 1024 == 0 &&
                    std::vector<uint8_t>(pending.begin() + static_cast<long>(i),
                                         pending.begin() + static_cast<long>(i) + 6) ==
                        std::vector<uint8_t>{1, 2, 3, 'P', 0, 0};
            run = 0;
            ++seen;
            i += 6;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(i));
        return seen == pongs &&
               audioBytes / 1024 + static_cast<int>(droppedRxBlocks() - droppedBefore) == blocks;
    });
    EXPECT_TRUE(all) << seen << " pongs, " << audioBytes << " audio bytes";
    EXPECT_TRUE(whole);
    EXPECT_EQ(audioBytes % 1024, 0);
}

} // namespace
