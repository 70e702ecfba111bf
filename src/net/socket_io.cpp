// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/socket_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marvane::net {

namespace {

void dottedText(const sockaddr_storage& peer, char (&address)[16]) {
    address[0] = '\0';
    if (peer.ss_family != AF_INET)
        return;
    const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
    static_assert(INET_ADDRSTRLEN <= sizeof address);
    if (inet_ntop(AF_INET, &in.sin_addr, address, sizeof address) == nullptr)
        address[0] = '\0';
}

} // namespace

int openTcpListener(uint16_t port, int backlog) { return openTcpListener(INADDR_ANY, port, backlog); }

int openTcpListener(uint32_t localAddress, uint16_t port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(localAddress);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int acceptClient(int listenFd, char (&address)[16]) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd;
    do {
        fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        address[0] = '\0';
        return -1;
    }
    dottedText(peer, address);
    return fd;
}

void peerAddress(int fd, char (&address)[16]) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        address[0] = '\0';
        return;
    }
    dottedText(peer, address);
}

void setUnsentLimit(int fd, int bytes) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes);
}

void setNoDelay(int fd, int on) {
    int value = on;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

void setKeepAlive(int fd, int idleSeconds, int intervalSeconds, int probes) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

void setUserTimeout(int fd, int milliseconds) {
    unsigned int value = static_cast<unsigned int>(milliseconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, sizeof value);
}

void setSendBuffer(int fd, int bytes) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void shutdownBoth(int fd) { ::shutdown(fd, SHUT_RDWR); }

void closeSocket(int fd) {
    if (fd >= 0)
        ::close(fd);
}

} // namespace marvane::net
