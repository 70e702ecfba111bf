// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "terminal.h"

namespace marvane::client {

namespace {

constexpr int kConnectSeconds = 10;
constexpr int kSendTimeoutSeconds = 10;
// The station closes its listener for a second between two clients: a
// connection refused or cut in that second is tried again, for this long.
constexpr double kRetrySeconds = 3.0;
constexpr int kRetryPauseMs = 200;
// An accepted client hears the station's receive audio within a block
// (about 0.1 s); one that is not let in is closed at once, before anything.
constexpr int kFirstBytesMs = 1000;

// A blocking connect(2) gives up after the socket's send time-out.
int connectWithin(int fd, const sockaddr* address, socklen_t length) {
    timeval limit{kConnectSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, address, length) == 0)
        return 0;
    return errno == EINPROGRESS ? ETIMEDOUT : errno;
}

// Each address of the name in turn: a connected socket, or -1 with the
// last address's errno in `error`.
int connectOnce(const addrinfo* results, int& error) {
    error = 0;
    for (const addrinfo* ai = results; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connectWithin(fd, ai->ai_addr, ai->ai_addrlen);
        if (error == 0)
            return fd;
        close(fd);
    }
    return -1;
}

// Whether the station closed the new connection before sending anything.
// Bytes waiting, or none yet on an open connection (a station whose audio
// has not started), count as kept; nothing is taken from the socket.
bool cutBeforeAnything(int fd) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, kFirstBytesMs);
    } while (ready < 0 && errno == EINTR && !stopRequested());
    if (ready <= 0)
        return false;
    std::uint8_t byte;
    ssize_t n;
    do {
        n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void pause(int ms) {
    timespec wait{0, ms * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR && !stopRequested()) {
    }
}

}  // namespace

int connectToStation(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
    if (rc != 0) {
        std::fprintf(messages(), "marvane-client: cannot resolve %s: %s\n", host.c_str(),
                     gai_strerror(rc));
        return -1;
    }
    Clock::time_point start = Clock::now();
    int fd = -1;
    int error = 0;
    bool cut = false;
    for (;;) {
        fd = connectOnce(results, error);
        cut = fd >= 0 && cutBeforeAnything(fd);
        if (fd >= 0 && !cut)
            break;
        if (fd >= 0)
            close(fd);
        fd = -1;
        if ((!cut && error != ECONNREFUSED) || stopRequested() ||
            secondsSince(start) + kRetryPauseMs / 1000.0 > kRetrySeconds)
            break;
        pause(kRetryPauseMs);
    }
    freeaddrinfo(results);
    if (fd < 0) {
        if (cut)
            std::fprintf(messages(), "marvane-client: cannot connect to %s:%d: the station closed "
                         "the connection before sending anything (it may not let this address "
                         "in)\n", host.c_str(), port);
        else if (error == ECONNREFUSED)
            std::fprintf(messages(), "marvane-client: cannot connect to %s:%d: the station refused "
                         "the connection (nothing listens on port %d: is Marvane running "
                         "there?)\n", host.c_str(), port, port);
        else
            std::fprintf(messages(), "marvane-client: cannot connect to %s:%d: %s\n", host.c_str(),
                         port, std::strerror(error));
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A station that stops reading must not hold the client for ever.
    timeval limit{kSendTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

bool sendAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendFrame(int fd, const link::FrameBytes& header, const std::uint8_t* payload,
               std::size_t length) {
    std::uint8_t message[link::kFrameSize + link::kMaxPayload];
    if (length > static_cast<std::size_t>(link::kMaxPayload))
        length = link::kMaxPayload;
    std::memcpy(message, header.data(), link::kFrameSize);
    if (length > 0)
        std::memcpy(message + link::kFrameSize, payload, length);
    return sendAll(fd, message, link::kFrameSize + length);
}

bool sendSized(int fd, std::uint8_t command, const std::uint8_t* payload, std::size_t length) {
    return sendFrame(fd, link::makeFrame(command, static_cast<int>(length)), payload, length);
}

long receiveSome(int fd, std::uint8_t* buffer, std::size_t size) {
    while (true) {
        ssize_t n = recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

void reportLostConnection(int error, bool nothingReceived) {
    if (nothingReceived && (error == 0 || error == ECONNRESET || error == EPIPE))
        std::fprintf(messages(), "marvane-client: connection lost: the station closed it before sending "
                             "anything (it may be serving another client, or it may not let this "
                             "address in)\n");
    else if (error == 0)
        std::fprintf(messages(), "marvane-client: connection lost: the station closed it\n");
    else if (error == EAGAIN || error == EWOULDBLOCK)
        std::fprintf(messages(), "marvane-client: connection lost: the station took nothing for %d s\n",
                     kSendTimeoutSeconds);
    else
        std::fprintf(messages(), "marvane-client: connection lost: %s\n", std::strerror(error));
}

bool Pinger::send(int fd) {
    waiting.push_back(Clock::now());
    return sendFrame(fd, link::makeFrame(link::kCmdPing));
}

double Pinger::answered() {
    if (waiting.empty())
        return -1.0;
    lastMilliseconds = secondsSince(waiting.front()) * 1000.0;
    waiting.pop_front();
    return lastMilliseconds;
}

double Pinger::oldestWaitingSeconds() const {
    return waiting.empty() ? 0.0 : secondsSince(waiting.front());
}

}  // namespace marvane::client
