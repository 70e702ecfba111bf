// SPDX-License-Identifier: GPL-3.0-or-later
// Outgoing TCP helpers for short client exchanges (the directory announcer):
// an IPv4 name lookup, connect, send and receive, each bounded by a deadline.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>

namespace marvane::net {

using ClientClock = std::chrono::steady_clock;
using ClientDeadline = ClientClock::time_point;

enum class ClientResult { ok, failed, timedOut };

// First IPv4 address of name (getaddrinfo, AF_INET). The lookup itself cannot
// be interrupted, so it runs on a helper thread that finishes on its own if
// the caller gives up at the deadline.
ClientResult resolveIPv4(const char* name, in_addr& address, ClientDeadline deadline);

// A non-blocking TCP socket (AF_INET, close-on-exec), or -1.
int openClientSocket();

// Connects fd to address:port; failed when refused or unreachable.
ClientResult connectBefore(int fd, const in_addr& address, int port, ClientDeadline deadline);

// Sends all of data. A peer that has gone gives failed, not SIGPIPE.
ClientResult sendBefore(int fd, const char* data, std::size_t size, ClientDeadline deadline);

// Receives into buffer, discarding, until the peer closes (ok) or the
// connection fails (failed); timedOut at the deadline. *received counts bytes.
ClientResult receiveUntilClosed(int fd, char* buffer, std::size_t size, ClientDeadline deadline,
                                std::size_t* received);

}  // namespace marvane::net
