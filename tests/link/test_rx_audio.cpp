// SPDX-License-Identifier: GPL-3.0-or-later
// Receive audio on the wire: the byte encoding, full and half rate, the
// guards; and the "N" frame with its 65535 cap.

#include "link/link_protocol.h"
#include "link_harness.h"

using namespace marvane::link;
using namespace marvane::testing;

namespace {

// Truncation toward zero, the low 16 bits, an arithmetic shift: a rounding
// or a logical shift would change several of these.
TEST(RxEncoding, MatchesTheTable) {
    const std::pair<double, int> table[] = {
        {0.0, 128},   {255.9, 128},   {-0.5, 128}, {-1.0, 127},    {-256.0, 127},  {-257.0, 126},
        {32767.0, 255}, {-32768.0, 0}, {32768.0, 0}, {33023.0, 0}, {65535.0, 127}};
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
    linkState.rxPhase = 0;
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

// Sends from two threads never interleave inside a message.
TEST_F(RxAudio, MessagesFromTwoThreadsStayWhole) {
    for (int i = 0; i < 1024; ++i)
        block[i] = 0.0; // every audio byte is 128
    constexpr int blocks = 200, pongs = 200;
    // The client reads as it goes: the station queues only about a second of
    // audio for it.
    std::vector<uint8_t> bytes;
    std::thread client([&] { bytes = readBytes(conn.client(), blocks * 1024 + pongs * 6); });
    std::thread pump([&] {
        for (int i = 0; i < blocks; ++i)
            sendRxAudio(block, 1024);
    });
    for (int i = 0; i < pongs; ++i)
        sendPong();
    pump.join();
    client.join();
    ASSERT_EQ(bytes.size(), static_cast<size_t>(blocks * 1024 + pongs * 6));
    int run = 0, seen = 0;
    bool whole = true;
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] == 128) {
            ++run;
            ++i;
            continue;
        }
        whole = whole && run % 1024 == 0;
        run = 0;
        whole = whole && i + 6 <= bytes.size() &&
                std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + 6) ==
                    std::vector<uint8_t>{1, 2, 3, 'P', 0, 0};
        ++seen;
        i += 6;
    }
    EXPECT_TRUE(whole);
    EXPECT_EQ(seen, pongs);
}

} // namespace
