// SPDX-License-Identifier: GPL-3.0-or-later
// Every command's effect on the shared state, over a served loopback
// connection; malformed input; the accept step.

#include "link_harness.h"

#include <cstring>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

using namespace marvane::link;
using namespace marvane::testing;

namespace {

const std::vector<uint8_t> kPong = {1, 2, 3, 'P', 0, 0};

class Commands : public ServedTest {
protected:
    // A "P" after other frames: its reply proves that they were all handled.
    void fence() {
        sendBytes(conn.client(), frame('P', 0));
        ASSERT_EQ(readBytes(conn.client(), 6), kPong);
    }
    void startTransmit() {
        sendBytes(conn.client(), frame('T', 0));
        ASSERT_EQ(readBytes(conn.client(), 6), (std::vector<uint8_t>{1, 2, 3, 'N', 0, 0}));
    }
    // Waits until the station has read everything sent so far.
    void waitConsumed() {
        ASSERT_TRUE(waitFor([this] {
            int queued = -1;
            ioctl(conn.station(), FIONREAD, &queued);
            return queued == 0;
        }));
    }
    int noDelay() {
        int value = -1;
        socklen_t length = sizeof value;
        getsockopt(conn.station(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
        return value;
    }
};

TEST_F(Commands, PingIsAnsweredWhateverTheMarksAndArgument) {
    sendBytes(conn.client(), {0, 0, 0, 'P', 0x12, 0x34});
    EXPECT_EQ(readBytes(conn.client(), 6), kPong);
}

TEST_F(Commands, VersionIsAcceptedWithoutReply) {
    sendBytes(conn.client(), frame('V', 0x1234));
    fence(); // the pong is the first thing to arrive
    EXPECT_EQ(linkState.clientConnected.load(), 1);
}

// Only the value 1 selects half rate; the bytes are stored as they came.
TEST_F(Commands, RatesTakeBytesFourAndFive) {
    sendBytes(conn.client(), {1, 2, 3, 'F', 2, 2});
    fence();
    EXPECT_EQ(linkState.rxHalfRate.load(), 2);
    EXPECT_EQ(linkState.txHalfRate.load(), 2);
    sendBytes(conn.client(), {1, 2, 3, 'F', 1, 255});
    fence();
    EXPECT_EQ(linkState.rxHalfRate.load(), 1);
    EXPECT_EQ(linkState.txHalfRate.load(), 255);
}

TEST_F(Commands, InfoTakesTheFirstWord) {
    const char text[] = " \t DL1ABC  portable";
    sendBytes(conn.client(), frameWith('I', std::vector<uint8_t>(text, text + sizeof text - 1)));
    fence();
    char info[20];
    linkState.copyPeerInfo(info);
    EXPECT_STREQ(info, "DL1ABC");
    EXPECT_EQ(linkState.peerInfoChanged.load(), 1);
}

TEST_F(Commands, InfoWithoutAWordKeepsTheTextButShowsItAgain) {
    linkState.storePeerInfo("OLD");
    sendBytes(conn.client(), frameWith('I', {' ', ' ', '\n'}));
    fence();
    char info[20];
    linkState.copyPeerInfo(info);
    EXPECT_STREQ(info, "OLD");
    EXPECT_EQ(linkState.peerInfoChanged.load(), 1);
}

TEST_F(Commands, InfoEndsAtANulAndZeroLengthDoesNothing) {
    sendBytes(conn.client(), frameWith('I', {'a', 'b', 0, 'c', 'd'}));
    fence();
    char info[20];
    linkState.copyPeerInfo(info);
    EXPECT_STREQ(info, "ab");
    linkState.peerInfoChanged = 0;
    sendBytes(conn.client(), frame('I', 0));
    fence();
    EXPECT_EQ(linkState.peerInfoChanged.load(), 0);
}

// A long word would overrun the 20-character text; an argument above 10239
// would overrun the payload buffer. The word is cut to 19 characters and only
// 10239 bytes are payload: the rest of the announced length is read as frames.
TEST_F(Commands, InfoIsCappedLikeSamplesAndItsWordCut) {
    std::vector<uint8_t> payload(10239, 'x');
    const char word[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ ";
    std::memcpy(payload.data(), word, sizeof word - 1);
    auto bytes = frame('I', 10239 + 12);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    auto ping = frame('P', 0);
    auto version = frame('V', 0);
    bytes.insert(bytes.end(), ping.begin(), ping.end());
    bytes.insert(bytes.end(), version.begin(), version.end());
    sendBytes(conn.client(), bytes);
    EXPECT_EQ(readBytes(conn.client(), 6), kPong);
    fence();
    char info[20];
    linkState.copyPeerInfo(info);
    EXPECT_STREQ(info, "ABCDEFGHIJKLMNOPQRS");
}

TEST_F(Commands, TransmitSwitchesToTransmitAndEmptiesTheRing) {
    sendBytes(conn.client(), frameWith('S', pattern(500))); // stored, then discarded by "T"
    fence();
    EXPECT_EQ(ringFill(), 500);
    linkState.blocksSinceReport = 5;
    startTransmit();
    EXPECT_EQ(linkState.rxPhase.load(), 0);
    EXPECT_EQ(linkState.txActive.load(), 1);
    EXPECT_EQ(linkState.rxStreaming.load(), 0);
    EXPECT_EQ(txRing.ringWritePos.load(), 0);
    EXPECT_EQ(txRing.ringReadPos.load(), 0);
    EXPECT_EQ(linkState.lastReportedFill.load(), 0);
    EXPECT_EQ(linkState.blocksSinceReport.load(), 0);
    EXPECT_NE(noDelay(), 0);
}

// A second "T" must neither answer nor empty the ring.
TEST_F(Commands, TransmitTwiceIsIgnoredTheSecondTime) {
    startTransmit();
    sendBytes(conn.client(), frameWith('S', pattern(300)));
    sendBytes(conn.client(), frame('T', 0));
    fence(); // the next thing after the first "N" is the pong, not another "N"
    EXPECT_EQ(ringFill(), 300);
    EXPECT_EQ(linkState.txActive.load(), 1);
}

TEST_F(Commands, SamplesAreStoredInOrder) {
    auto a = pattern(1000, 1), b = pattern(700, 2);
    sendBytes(conn.client(), frameWith('S', a));
    sendBytes(conn.client(), frameWith('S', b));
    fence();
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(ringContents(), a);
}

TEST_F(Commands, SamplesFittingToTheLastSlotAreStoredOneMoreIsDroppedWhole) {
    setFill(110249 - 1000);
    sendBytes(conn.client(), frameWith('S', pattern(1000)));
    fence();
    EXPECT_EQ(ringFill(), 110249);
    setFill(110249 - 999);
    sendBytes(conn.client(), frameWith('S', pattern(1000)));
    fence();
    EXPECT_EQ(ringFill(), 110249 - 999);
}

// Argument 20000: 10239 payload bytes; what follows is read as frames.
TEST_F(Commands, SamplesAboveTheLimitReadOnly10239Bytes) {
    auto bytes = frame('S', 20000);
    auto payload = pattern(10239);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    sendBytes(conn.client(), bytes);
    fence();
    EXPECT_EQ(ringContents(), payload);
}

// A payload that arrives in pieces, with pauses far longer than a read takes
// (a segment retransmitted on a lossy link), is stored whole once it is all
// there, and the stream stays on its frames: nothing of it is read as a
// header.
TEST_F(Commands, PayloadsInPiecesAreStoredWholeAndKeepTheFraming) {
    setFill(kRingSize - 5000);
    auto payload = pattern(1000, 5);
    payload[400] = 'R'; // would end a transmission if read as a command
    auto bytes = frame('S', 1000);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    auto after = frameWith('S', pattern(200, 6));
    bytes.insert(bytes.end(), after.begin(), after.end());
    // Pieces: inside the header, then across the payload and into the next
    // header.
    const size_t cuts[] = {0, 4, 306, 706, 1009, bytes.size()};
    for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
        sendBytes(conn.client(), std::vector<uint8_t>(bytes.begin() + static_cast<long>(cuts[i]),
                                                      bytes.begin() + static_cast<long>(cuts[i + 1])));
        waitConsumed();
        if (i < 3) {
            EXPECT_EQ(ringFill(), kRingSize - 5000) << "stored before it was whole";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    fence();
    std::vector<uint8_t> stored = ringContents();
    auto expected = payload;
    auto second = pattern(200, 6);
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_EQ(stored.size(), kRingSize - 5000 + 1200u);
    EXPECT_EQ(std::vector<uint8_t>(stored.end() - 1200, stored.end()), expected);
    EXPECT_EQ(linkState.txDrainPending.load(), 0);
}

TEST_F(Commands, SamplesWhoseWholeWouldNotFitAreDroppedWhateverThePieces) {
    setFill(110249 - 500);
    auto first = frame('S', 1000);
    auto part = pattern(300);
    first.insert(first.end(), part.begin(), part.end());
    sendBytes(conn.client(), first);
    waitConsumed();
    sendBytes(conn.client(), pattern(700));
    waitConsumed();
    fence();
    EXPECT_EQ(ringFill(), 110249 - 500);
}

TEST_F(Commands, SamplesOfLengthZeroStoreNothingAndGoOn) {
    sendBytes(conn.client(), frame('S', 0));
    fence();
    EXPECT_EQ(ringFill(), 0);
    EXPECT_EQ(linkState.clientConnected.load(), 1);
}

TEST_F(Commands, LastChunkInTransmitMarksTheDrainAndIsStored) {
    startTransmit();
    auto payload = pattern(400);
    sendBytes(conn.client(), frameWith('R', payload));
    fence();
    EXPECT_EQ(linkState.txDrainPending.load(), 1);
    EXPECT_EQ(ringContents(), payload);
}

TEST_F(Commands, LastChunkInReceiveIsStoredWithoutPhaseChange) {
    sendBytes(conn.client(), frameWith('R', pattern(400)));
    fence();
    EXPECT_EQ(linkState.txDrainPending.load(), 0);
    EXPECT_EQ(linkState.rxPhase.load(), 1);
    EXPECT_EQ(ringFill(), 400);
}

TEST_F(Commands, LastChunkOfLengthZeroOnlyMarksTheDrain) {
    startTransmit();
    sendBytes(conn.client(), frame('R', 0));
    fence();
    EXPECT_EQ(linkState.txDrainPending.load(), 1);
    EXPECT_EQ(ringFill(), 0);
}

// "I" and "R" payloads are gathered whole too. The last chunk marks the
// drain only once it is in the ring, so a chunk still on its way is never
// cut off by the end of the transmission. "R" reads at most 10239 bytes.
TEST_F(Commands, InfoAndLastChunkInPiecesAreTakenWholeAndLastChunksCapped) {
    startTransmit();
    auto part = frame('R', 1000);
    auto bytes = pattern(1000);
    part.insert(part.end(), bytes.begin(), bytes.begin() + 300);
    sendBytes(conn.client(), part);
    waitConsumed();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(linkState.txDrainPending.load(), 0);
    sendBytes(conn.client(), std::vector<uint8_t>(bytes.begin() + 300, bytes.end()));
    fence();
    EXPECT_EQ(linkState.txDrainPending.load(), 1);
    EXPECT_EQ(ringContents(), bytes);

    auto info = frame('I', 8);
    for (char c : std::string("LA"))
        info.push_back(static_cast<uint8_t>(c));
    sendBytes(conn.client(), info);
    waitConsumed();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(linkState.peerInfoChanged.load(), 0);
    sendBytes(conn.client(), {'T', 'E', ' ', 'x', 'y', 'z'});
    fence();
    EXPECT_EQ(linkState.peerInfoChanged.load(), 1);
    char word[20];
    linkState.copyPeerInfo(word);
    EXPECT_STREQ(word, "LATE");

    auto capped = frame('R', 20000);
    auto payload = pattern(10239, 9);
    capped.insert(capped.end(), payload.begin(), payload.end());
    sendBytes(conn.client(), capped);
    fence();
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    EXPECT_EQ(ringContents(), bytes);
}

// Unchecked, a last chunk into a nearly full ring would overwrite audio that
// still waits and collapse the fill; it is dropped whole instead.
TEST_F(Commands, LastChunkThatDoesNotFitIsDroppedWithoutOverwriting) {
    startTransmit();
    auto waiting = pattern(10000, 3);
    for (int i = 0; i < 11; ++i)
        sendBytes(conn.client(), frameWith('S', waiting));
    fence();
    ASSERT_EQ(ringFill(), 110000);
    auto before = ringContents();
    sendBytes(conn.client(), frameWith('R', pattern(1000, 7)));
    fence();
    EXPECT_EQ(linkState.txDrainPending.load(), 1);
    EXPECT_EQ(ringContents(), before);
    sendBytes(conn.client(), frameWith('R', pattern(249, 7)));
    fence();
    EXPECT_EQ(ringFill(), 110249);
}

// A header that arrives in two pieces is still one frame.
TEST_F(Commands, HeaderInPiecesIsOneFrame) {
    sendBytes(conn.client(), {1, 2, 3});
    waitConsumed();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    sendBytes(conn.client(), {'P', 0, 0});
    EXPECT_EQ(readBytes(conn.client(), 6), kPong);
    EXPECT_TRUE(nothingArrives(conn.client()));
}

TEST_F(Commands, UnknownLetterThrowsAwayUpTo1024BytesAndSendsNothing) {
    auto bytes = frame('Z', 0);
    std::vector<uint8_t> junk(1024, 'P');
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    auto ping = frame('P', 0);
    bytes.insert(bytes.end(), ping.begin(), ping.end());
    sendBytes(conn.client(), bytes);
    EXPECT_EQ(readBytes(conn.client(), 6), kPong);
    EXPECT_TRUE(nothingArrives(conn.client()));
}

} // namespace

// Accept: the address is written before the flags, which are all raised.
TEST(Accept, RecordsTheAddressRaisesTheFlagsAndTellsTheObserver) {
    resetLinkForTest();
    static std::vector<std::string> events;
    events.clear();
    setConnectionObserver([](bool accepted, const char* address) {
        events.push_back(std::string(accepted ? "+" : "-") + address);
    });
    {
        ServedConnection conn;
        conn.start();
        char address[16];
        linkState.copyPeerAddress(address);
        EXPECT_STREQ(address, "127.0.0.1");
        EXPECT_EQ(linkState.rxPhase.load(), 1);
        EXPECT_EQ(linkState.rxStreaming.load(), 1);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"+127.0.0.1", "-127.0.0.1"}));
    resetLinkForTest();
}
