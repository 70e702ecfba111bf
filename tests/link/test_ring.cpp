// SPDX-License-Identifier: GPL-3.0-or-later
// TxRing arithmetic: fill at the wrap, appends across the end, the overrun
// that only an unchecked append can cause, taking and catching up.

#include "link_harness.h"

using namespace marvane::link;
using namespace marvane::testing;

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override { resetLinkForTest(); }
    void TearDown() override { resetLinkForTest(); }
};

// A fill computed without the wrap correction would be negative here.
TEST_F(Ring, FillCountsAcrossTheWrap) {
    EXPECT_EQ(ringFill(), 0);
    txRing.ringWritePos = 5;
    txRing.ringReadPos = 110245;
    EXPECT_EQ(ringFill(), 10);
    txRing.ringWritePos = 110249;
    txRing.ringReadPos = 0;
    EXPECT_EQ(ringFill(), 110249);
    txRing.ringWritePos = 77;
    txRing.ringReadPos = 77;
    EXPECT_EQ(ringFill(), 0);
}

// An off-by-one in the wrap would store past the end or leave 110250 behind.
TEST_F(Ring, AppendAtLastSlotWrapsToZero) {
    txRing.ringWritePos = 110249;
    txRing.ringReadPos = 110249;
    const uint8_t byte = 0xA5;
    ringAppend(&byte, 1);
    EXPECT_EQ(txRing.bytes[110249], 0xA5);
    EXPECT_EQ(txRing.ringWritePos.load(), 0);
    EXPECT_EQ(ringFill(), 1);
}

TEST_F(Ring, AppendAcrossTheEndKeepsArrivalOrder) {
    txRing.ringWritePos = 110240;
    txRing.ringReadPos = 110240;
    auto bytes = pattern(30, 3);
    ringAppend(bytes.data(), 30);
    EXPECT_EQ(txRing.ringWritePos.load(), 20);
    EXPECT_EQ(ringContents(), bytes);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(ringTake(), bytes[static_cast<size_t>(i)]);
    EXPECT_EQ(txRing.ringReadPos.load(), 20);
    EXPECT_EQ(ringFill(), 0);
}

// f + n >= 110250 makes the write position pass the read position: only the
// last f + n - 110250 bytes appended remain waiting.
TEST_F(Ring, UncheckedAppendOverrunsTheReadPosition) {
    std::vector<uint8_t> first(100000, 1);
    ringAppend(first.data(), 100000);
    auto second = pattern(10300, 9);
    ringAppend(second.data(), 10300);
    EXPECT_EQ(ringFill(), 100000 + 10300 - kRingSize);
    std::vector<uint8_t> tail(second.end() - (100000 + 10300 - kRingSize), second.end());
    EXPECT_EQ(ringContents(), tail);
}

TEST_F(Ring, CatchUpDropsWhatWaitsAndResetEmpties) {
    auto bytes = pattern(500);
    ringAppend(bytes.data(), 500);
    ringCatchUp();
    EXPECT_EQ(ringFill(), 0);
    EXPECT_EQ(txRing.ringReadPos.load(), 500);
    ringAppend(bytes.data(), 10);
    ringReset();
    EXPECT_EQ(txRing.ringReadPos.load(), 0);
    EXPECT_EQ(txRing.ringWritePos.load(), 0);
}

// One producer thread and one consumer thread: every byte arrives once, in order.
TEST_F(Ring, ProducerAndConsumerThreadsAgreeOnEveryByte) {
    constexpr int total = 400000;
    std::thread producer([] {
        uint8_t chunk[997];
        int sent = 0;
        while (sent < total) {
            int n = std::min<int>(sizeof chunk, total - sent);
            if (kRingSize - ringFill() <= n) {
                std::this_thread::yield();
                continue;
            }
            for (int i = 0; i < n; ++i)
                chunk[i] = static_cast<uint8_t>((sent + i) % 251);
            ringAppend(chunk, n);
            sent += n;
        }
    });
    int taken = 0;
    bool inOrder = true;
    while (taken < total) {
        if (ringFill() == 0) {
            std::this_thread::yield();
            continue;
        }
        inOrder = inOrder && ringTake() == static_cast<uint8_t>(taken % 251);
        ++taken;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(ringFill(), 0);
}

} // namespace
