// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/socket_io.h"

#include "net/tcp_window.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

int receiveSome(int fd, void* buffer, int length) {
    ssize_t n;
    do {
        n = ::recv(fd, buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int sendOnce(int fd, const void* data, int length) {
    ssize_t n;
    do {
        n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

namespace {

// Whether the peer advertises a closed receive window (false where the kernel
// does not report the window).
bool peerWindowClosed(int fd) { return peerReceiveWindow(fd) == 0; }

// True when the window has been closed for at least closedWindowMs.
bool closedTooLong(int fd, int closedWindowMs, SendWatch& watch) {
    const auto now = std::chrono::steady_clock::now();
    if (!peerWindowClosed(fd)) {
        watch.windowClosed = false;
        return false;
    }
    if (!watch.windowClosed) {
        watch.windowClosed = true;
        watch.closedSince = now;
    }
    return now - watch.closedSince >= std::chrono::milliseconds(closedWindowMs);
}

} // namespace

int sendAll(int fd, const void* data, int length, int timeoutMs, int closedWindowMs,
            SendWatch& watch) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* bytes = static_cast<const uint8_t*>(data);
    int sent = 0;
    for (;;) {
        if (closedTooLong(fd, closedWindowMs, watch))
            return -1;
        const ssize_t n = ::send(fd, bytes + sent, static_cast<size_t>(length - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            if (sent == length)
                return length;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        // Short waits, so that a window that stays closed is seen in time.
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count() < 100 ? left.count() : 100));
    }
}

void setUnsentLimit(int fd, int bytes) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes);
}

void setNoDelay(int fd, int on) {
    int value = on;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

void setSendTimeout(int fd, int milliseconds) {
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
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
