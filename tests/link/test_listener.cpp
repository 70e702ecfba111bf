// SPDX-License-Identifier: GPL-3.0-or-later
// The listener: its port, re-binding right after a connection, no second
// listener on a busy port.

#include "link_harness.h"
#include "net/socket_io.h"

#include <cstdlib>

using namespace marvane::link;
using namespace marvane::testing;

namespace {

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(LinkPort, IsTheDefaultUnlessTheEnvironmentNamesAPort) {
    ::unsetenv("MARVANE_PORT");
    EXPECT_EQ(linkPort(), 3020);
    ::setenv("MARVANE_PORT", "4567", 1);
    EXPECT_EQ(linkPort(), 4567);
    for (const char* bad : {"", "junk", "0", "70000", "12x"}) {
        ::setenv("MARVANE_PORT", bad, 1);
        EXPECT_EQ(linkPort(), 3020) << bad;
    }
    ::unsetenv("MARVANE_PORT");
}

TEST(Listener, AcceptsWhileOpenAndRefusesOnceClosed) {
    int port = freePort();
    ::setenv("MARVANE_PORT", std::to_string(port).c_str(), 1);
    ASSERT_EQ(openListener(), 0);
    int client = connectTo(port);
    EXPECT_GE(client, 0);
    closeListener();
    ::close(client);
    EXPECT_EQ(connectTo(port), -1);
    ::unsetenv("MARVANE_PORT");
}

// The station closes the client's socket first, so its end of the connection
// waits in TIME_WAIT on the link port. The next cycle must still be able to
// listen there at once.
TEST(Listener, ReopensAtOnceAfterTheStationClosedAConnection) {
    int port = freePort();
    int listener = marvane::net::openTcpListener(static_cast<uint16_t>(port), 1);
    ASSERT_GE(listener, 0);
    int client = connectTo(port);
    ASSERT_GE(client, 0);
    char address[16];
    int station = marvane::net::acceptClient(listener, address);
    ASSERT_GE(station, 0);
    EXPECT_STREQ(address, "127.0.0.1");
    ::close(station);
    readBytes(client, 1, 2000); // the station's close arrives
    ::close(client);
    ::close(listener);

    // Without address reuse the port cannot be bound now: the test's premise.
    int plain = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_NE(::bind(plain, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ::close(plain);

    ::setenv("MARVANE_PORT", std::to_string(port).c_str(), 1);
    EXPECT_EQ(openListener(), 0);
    closeListener();
    ::unsetenv("MARVANE_PORT");
}

TEST(Listener, NoSecondListenerOnABusyPort) {
    int port = freePort();
    int first = marvane::net::openTcpListener(static_cast<uint16_t>(port), 1);
    ASSERT_GE(first, 0);
    EXPECT_EQ(marvane::net::openTcpListener(static_cast<uint16_t>(port), 1), -1);
    ::close(first);
}

} // namespace
