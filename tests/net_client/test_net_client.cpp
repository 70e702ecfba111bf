// SPDX-License-Identifier: GPL-3.0-or-later
// Outgoing TCP helpers against real loopback peers on ephemeral ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/client.h"

namespace {

using namespace marvane::net;
using namespace std::chrono_literals;

in_addr loopback() {
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    return a;
}

// A socket bound to 127.0.0.1 on a free port; listening unless told not to.
struct Peer {
    int fd = -1;
    int port = 0;
    explicit Peer(bool listening = true) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = loopback();
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening) listen(fd, 4);
    }
    ~Peer() { close(fd); }
};

ClientDeadline in(std::chrono::milliseconds ms) { return ClientClock::now() + ms; }

// Catches a lookup that returns an IPv6 or no address for names in /etc/hosts
// and for dotted addresses.
TEST(NetClient, ResolvesLocalNamesToIPv4) {
    for (const char* name : {"localhost", "127.0.0.1", "127.80.1.2"}) {
        in_addr a{};
        ASSERT_EQ(resolveIPv4(name, a, in(10000ms)), ClientResult::ok) << name;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        EXPECT_EQ(std::string(text), std::string(name) == "localhost" ? "127.0.0.1" : name);
    }
}

// A dotted address is taken as it stands: no lookup, so neither the time left
// nor a thread for the lookup matters (the withdraw at shutdown relies on it).
TEST(NetClient, DottedAddressNeedsNoLookup) {
    in_addr a{};
    ASSERT_EQ(resolveIPv4("127.0.0.3", a, ClientClock::now() - 1ms), ClientResult::ok);
    EXPECT_EQ(ntohl(a.s_addr), 0x7F000003u);
}

// Catches an unresolvable name reported as found. The 64-character label is
// refused by the resolver itself, so no query leaves the machine.
TEST(NetClient, NameThatCannotExistFails) {
    in_addr a{};
    EXPECT_EQ(resolveIPv4((std::string(64, 'x') + ".invalid").c_str(), a, in(10000ms)),
              ClientResult::failed);
    EXPECT_EQ(resolveIPv4("", a, in(10000ms)), ClientResult::failed);
}

// Catches a refused connection reported as made.
TEST(NetClient, ConnectToAPortWithoutListenerFails) {
    Peer closed(false);
    const int fd = openClientSocket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(connectBefore(fd, loopback(), closed.port, in(10000ms)), ClientResult::failed);
    close(fd);
}

// Catches a receive loop that stops early or loses count of the answer.
TEST(NetClient, ReceivesUntilThePeerCloses) {
    Peer peer;
    std::thread server([&] {
        const int c = accept(peer.fd, nullptr, nullptr);
        std::vector<char> answer(250000, 'a');
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(c);
    });
    const int fd = openClientSocket();
    ASSERT_EQ(connectBefore(fd, loopback(), peer.port, in(10000ms)), ClientResult::ok);
    char buffer[1000];
    size_t received = 0;
    EXPECT_EQ(receiveUntilClosed(fd, buffer, sizeof buffer, in(10000ms), &received),
              ClientResult::ok);
    EXPECT_EQ(received, 250000u);
    server.join();
    close(fd);
}

// Catches a receive that blocks past its deadline on a silent peer.
TEST(NetClient, SilentPeerTimesOutAtTheDeadline) {
    Peer peer;
    const int fd = openClientSocket();
    ASSERT_EQ(connectBefore(fd, loopback(), peer.port, in(10000ms)), ClientResult::ok);
    const char request[] = "hello\n\n";
    EXPECT_EQ(sendBefore(fd, request, sizeof request - 1, in(10000ms)), ClientResult::ok);
    const auto start = ClientClock::now();
    char buffer[1000];
    size_t received = 1;
    EXPECT_EQ(receiveUntilClosed(fd, buffer, sizeof buffer, start + 300ms, &received),
              ClientResult::timedOut);
    EXPECT_GE(ClientClock::now() - start, 300ms);
    EXPECT_EQ(received, 0u);
    close(fd);
}

// Catches a send that raises SIGPIPE (killing the process) when the peer is gone.
TEST(NetClient, SendToAPeerThatHasGoneFailsQuietly) {
    Peer peer;
    const int fd = openClientSocket();
    ASSERT_EQ(connectBefore(fd, loopback(), peer.port, in(10000ms)), ClientResult::ok);
    const int c = accept(peer.fd, nullptr, nullptr);
    linger reset{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(c);  // the peer resets the connection
    std::vector<char> data(65536, 'd');
    ClientResult r = ClientResult::ok;
    for (int i = 0; i < 100 && r == ClientResult::ok; ++i)
        r = sendBefore(fd, data.data(), data.size(), in(10000ms));
    EXPECT_EQ(r, ClientResult::failed);
    close(fd);
}

}  // namespace
