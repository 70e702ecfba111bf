// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <exception>
#include <thread>

namespace marvane::net {
namespace {

// Milliseconds left until the deadline, rounded up, for poll.
int msLeft(ClientDeadline deadline) {
    const auto left = deadline - ClientClock::now();
    if (left <= ClientClock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

// Waits for events on fd: 1 ready, 0 deadline reached, -1 error.
int waitFor(int fd, short events, ClientDeadline deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, msLeft(deadline));
        if (n > 0) return 1;
        if (n == 0) {
            if (ClientClock::now() >= deadline) return 0;
            continue;  // poll rounds its time-out down at times
        }
        if (errno != EINTR) return -1;
    }
}

struct Lookup {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    in_addr address{};
};

}  // namespace

ClientResult resolveIPv4(const char* name, in_addr& address, ClientDeadline deadline) {
    // A dotted address needs no lookup, so no thread: it works even when
    // none can be started, and however little time is left.
    if (::inet_pton(AF_INET, name, &address) == 1) return ClientResult::ok;
    std::shared_ptr<Lookup> lookup;
    try {
        lookup = std::make_shared<Lookup>();
        std::thread([lookup, host = std::string(name)] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            const bool ok = ::getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list;
            std::lock_guard lock(lookup->m);
            if (ok) {
                lookup->address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
                lookup->found = true;
            }
            if (list) ::freeaddrinfo(list);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::exception&) {
        // No thread for the lookup (or no memory for its state): it fails.
        return ClientResult::failed;
    }
    std::unique_lock lock(lookup->m);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        return ClientResult::timedOut;
    if (!lookup->found) return ClientResult::failed;
    address = lookup->address;
    return ClientResult::ok;
}

int openClientSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

ClientResult connectBefore(int fd, const in_addr& address, int port, ClientDeadline deadline) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        return ClientResult::ok;
    if (errno != EINPROGRESS && errno != EINTR) return ClientResult::failed;
    const int ready = waitFor(fd, POLLOUT, deadline);
    if (ready == 0) return ClientResult::timedOut;
    if (ready < 0) return ClientResult::failed;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return ClientResult::failed;
    return ClientResult::ok;
}

ClientResult sendBefore(int fd, const char* data, std::size_t size, ClientDeadline deadline) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = waitFor(fd, POLLOUT, deadline);
            if (ready == 0) return ClientResult::timedOut;
            if (ready < 0) return ClientResult::failed;
            continue;
        }
        return ClientResult::failed;
    }
    return ClientResult::ok;
}

ClientResult receiveUntilClosed(int fd, char* buffer, std::size_t size, ClientDeadline deadline,
                                std::size_t* received) {
    std::size_t total = 0;
    ClientResult result = ClientResult::ok;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            if (ClientClock::now() >= deadline) {
                result = ClientResult::timedOut;  // an answer that never ends
                break;
            }
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            result = ClientResult::failed;
            break;
        }
        const int ready = waitFor(fd, POLLIN, deadline);
        if (ready == 0) {
            result = ClientResult::timedOut;
            break;
        }
        if (ready < 0) {
            result = ClientResult::failed;
            break;
        }
    }
    if (received) *received = total;
    return result;
}

}  // namespace marvane::net
