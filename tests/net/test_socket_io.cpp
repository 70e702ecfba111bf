// The socket helpers on their own: single sends, receives, the peer address.

#include "net/socket_io.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using namespace marvane::net;

namespace {

TEST(SocketIo, SendToAClosedPeerFailsWithoutSigpipe) {
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::close(fds[1]);
    const char byte = 'x';
    EXPECT_EQ(sendOnce(fds[0], &byte, 1), -1);
    ::close(fds[0]);
    std::signal(SIGPIPE, previous);
}

TEST(SocketIo, ReceiveReportsDataCloseAndError) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(sendOnce(fds[1], "abc", 3), 3);
    char buffer[8];
    EXPECT_EQ(receiveSome(fds[0], buffer, 8), 3);
    ::close(fds[1]);
    EXPECT_EQ(receiveSome(fds[0], buffer, 8), 0);
    ::close(fds[0]);
    EXPECT_EQ(receiveSome(fds[0], buffer, 8), -1);
}

// shutdownBoth wakes a receive that waits on another thread.
TEST(SocketIo, ShutdownEndsABlockedReceive) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int result = 99;
    std::thread reader([&] {
        char buffer[8];
        result = receiveSome(fds[0], buffer, 8);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    shutdownBoth(fds[0]);
    reader.join();
    EXPECT_EQ(result, 0);
    char address[16];
    peerAddress(fds[0], address);
    EXPECT_STREQ(address, ""); // not an IPv4 peer
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace
