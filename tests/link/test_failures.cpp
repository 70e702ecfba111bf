// SPDX-License-Identifier: GPL-3.0-or-later
// How connections end: failed receives, failed sends on either thread, a
// client that closes its side, one that stops reading, one that vanishes.

#include "link_harness.h"

#include <csignal>

using namespace marvane::link;
using namespace marvane::testing;

namespace {

class ConnectionEnd : public ServedTest {
protected:
    // Makes every later send on the station's socket fail, as on a dead link,
    // while its receive keeps waiting.
    void breakSending() { ::shutdown(conn.station(), SHUT_WR); }
};

// The end clears txActive and rxStreaming, and leaves nothing in the ring
// or the drain for the next client; the client's data stays.
TEST_F(ConnectionEnd, ResetByTheClientEndsTheConnectionAndLeavesNothingToPlay) {
    sendBytes(conn.client(), {1, 2, 3, 'F', 1, 1});
    sendBytes(conn.client(), frameWith('I', {'O', 'K'}));
    sendBytes(conn.client(), frame('T', 0));
    ASSERT_EQ(readBytes(conn.client(), 6).size(), 6u);
    sendBytes(conn.client(), frame('R', 0));
    sendBytes(conn.client(), frameWith('S', pattern(100)));
    sendBytes(conn.client(), frame('P', 0));
    ASSERT_EQ(readBytes(conn.client(), 6).size(), 6u);
    conn.end();
    EXPECT_TRUE(conn.finished);
    EXPECT_EQ(linkState.clientConnected.load(), 0);
    EXPECT_EQ(linkState.txActive.load(), 0);
    EXPECT_EQ(linkState.rxStreaming.load(), 0);
    EXPECT_EQ(linkState.txDrainPending.load(), 0);
    EXPECT_EQ(linkState.rxHalfRate.load(), 1);
    EXPECT_EQ(linkState.txHalfRate.load(), 1);
    EXPECT_EQ(ringFill(), 0);
    char info[20], address[16];
    linkState.copyPeerInfo(info);
    linkState.copyPeerAddress(address);
    EXPECT_STREQ(info, "OK");
    EXPECT_STREQ(address, "127.0.0.1");
}

// An orderly close is taken as "no data yet": the station polls on until a
// send fails.
TEST_F(ConnectionEnd, OrderlyCloseEndsOnlyWhenASendFails) {
    ::close(conn.fds[1]);
    conn.fds[1] = -1;
    EXPECT_FALSE(conn.waitFinished(300));
    EXPECT_EQ(linkState.clientConnected.load(), 1);
    ASSERT_TRUE(waitFor([&] {
        sendPong();
        return conn.finished.load();
    }));
    EXPECT_EQ(linkState.clientConnected.load(), 0);
}

TEST_F(ConnectionEnd, FailedFirstSamplesReadEndsTheConnection) {
    auto bytes = frame('P', 0);
    auto samples = frame('S', 1000);
    bytes.insert(bytes.end(), samples.begin(), samples.end());
    sendBytes(conn.client(), bytes);
    ASSERT_EQ(readBytes(conn.client(), 6).size(), 6u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    resetClose(conn.fds[1]);
    conn.fds[1] = -1;
    EXPECT_TRUE(conn.waitFinished());
}

// A payload that never arrives whole is not stored in part, and its
// client's reset ends the connection.
TEST_F(ConnectionEnd, ResetInsideAPayloadEndsTheConnectionAndStoresNone) {
    auto bytes = frame('S', 1000);
    auto part = pattern(300);
    bytes.insert(bytes.end(), part.begin(), part.end());
    sendBytes(conn.client(), bytes);
    resetClose(conn.fds[1]);
    conn.fds[1] = -1;
    EXPECT_TRUE(conn.waitFinished());
    EXPECT_EQ(ringFill(), 0);
}

TEST_F(ConnectionEnd, FailedPongEndsTheConnection) {
    breakSending();
    sendBytes(conn.client(), frame('P', 0));
    EXPECT_TRUE(conn.waitFinished());
    EXPECT_EQ(linkState.clientConnected.load(), 0);
}

TEST_F(ConnectionEnd, FailedFillReportAfterTransmitEndsTheConnection) {
    breakSending();
    sendBytes(conn.client(), frame('T', 0));
    EXPECT_TRUE(conn.waitFinished());
    EXPECT_EQ(linkState.txActive.load(), 0);
}

// What the pump queues (receive audio, fill reports) is sent by the link
// server thread, whose failure ends the connection although no data will
// ever come in; the pump itself never waits for it.
TEST_F(ConnectionEnd, FailedSendOfWhatThePumpQueuedEndsTheConnection) {
    breakSending();
    double block[1024] = {};
    sendRxAudio(block, 1024);
    EXPECT_TRUE(conn.waitFinished());
    EXPECT_EQ(linkState.clientConnected.load(), 0);
}

TEST_F(ConnectionEnd, FailedFillReportFromThePumpEndsTheConnection) {
    breakSending();
    sendFillReport();
    EXPECT_TRUE(conn.waitFinished());
    EXPECT_EQ(linkState.clientConnected.load(), 0);
}

// A client that stops reading: the pump goes on queueing at its own pace,
// losing the oldest blocks (counted), and the send bound ends the
// connection instead of holding up anything.
TEST_F(ConnectionEnd, ClientThatStopsReadingIsDroppedWhileThePumpGoesOn) {
    double block[1024];
    for (int i = 0; i < 1024; ++i)
        block[i] = (i % 256) * 128.0;
    const uint64_t droppedBefore = droppedRxBlocks();
    int queued = 0;
    ASSERT_TRUE(waitFor([&] {
        sendRxAudio(block, 1024);
        ++queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return conn.finished.load();
    }));
    EXPECT_EQ(linkState.clientConnected.load(), 0);
    EXPECT_GT(droppedRxBlocks(), droppedBefore);
    EXPECT_GT(queued, kSendQueueSlots);
}

} // namespace

// With the default SIGPIPE action a send to a closed peer would kill the
// process. Also shows serveConnection on a plain socket pair.
TEST(SendSafety, SendToAClosedPeerRaisesNoSigpipe) {
    resetLinkForTest();
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::atomic<bool> finished{false};
    std::thread server([&] {
        serveConnection(fds[0]);
        finished = true;
    });
    ASSERT_TRUE(waitFor([] { return linkState.clientConnected == 1; }));
    char address[16];
    linkState.copyPeerAddress(address);
    EXPECT_STREQ(address, "");
    ::close(fds[1]);
    sendPong();
    EXPECT_TRUE(waitFor([&] { return finished.load(); }));
    EXPECT_EQ(linkState.clientConnected.load(), 0);
    server.join();
    std::signal(SIGPIPE, previous);
    resetLinkForTest();
}

// The address comes from accept: a client that reset its connection at once
// has no peer address left to ask for, and the station must still show it.
TEST(ConnectionStart, TheAddressAcceptGaveIsShownEvenWithoutAPeer) {
    resetLinkForTest();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::thread server([&] { serveConnection(fds[0], "127.0.0.9"); });
    ASSERT_TRUE(waitFor([] { return linkState.clientConnected == 1; }));
    char address[16];
    linkState.copyPeerAddress(address);
    EXPECT_STREQ(address, "127.0.0.9");
    ::close(fds[1]);
    sendPong();
    server.join();
    EXPECT_EQ(linkState.clientConnected.load(), 0);
    resetLinkForTest();
}

// Guards of the senders: no client, or a transmission, means nothing is sent.
TEST(Senders, NothingIsSentWithoutAClient) {
    resetLinkForTest();
    double block[1024] = {};
    sendRxAudio(block, 1024);
    sendPong();
    linkState.blocksSinceReport = 3;
    sendFillReport();
    EXPECT_EQ(linkState.blocksSinceReport.load(), 0);
    EXPECT_EQ(linkState.clientConnected.load(), 0);
}
