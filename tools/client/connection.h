// SPDX-License-Identifier: GPL-3.0-or-later
// The client's side of the link connection: connecting, sending frames whole,
// receiving, and the "P" round trips.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "link/link_protocol.h"

namespace marvane::client {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Exit statuses of marvane-client.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitConnection = 2;
inline constexpr int kExitSound = 3;

// A connected TCP socket to host:port (each address of the name in turn, at
// most 10 s each), with TCP_NODELAY on and sends bounded to 10 s; -1 after
// printing why not. A connection refused, or closed by the station before it
// sent anything, is tried again for up to 3 s (the station listens again a
// second after a client has gone); what is printed then names which it was.
int connectToStation(const std::string& host, int port);

bool sendAll(int fd, const std::uint8_t* data, std::size_t length);

// Header and payload in one send, so that the station reads the payload whole.
bool sendFrame(int fd, const link::FrameBytes& header, const std::uint8_t* payload = nullptr,
               std::size_t length = 0);
// A frame whose argument is its payload's length (at most 10239 bytes).
bool sendSized(int fd, std::uint8_t command, const std::uint8_t* payload, std::size_t length);

// One recv of what is there: the byte count, 0 when the station closed, -1
// on an error (errno tells). Retried when a signal interrupted it.
long receiveSome(int fd, std::uint8_t* buffer, std::size_t size);

// Prints "connection lost" with the reason: an errno value, 0 for a station
// that closed the connection. A station that closes a connection before it
// has sent anything may be serving another client or let only some
// addresses in; the message says so.
void reportLostConnection(int error, bool nothingReceived = false);

// "P" frames and the station's answers, which come in order.
struct Pinger {
    std::deque<Clock::time_point> waiting;
    double lastMilliseconds = -1.0;  // the latest round trip, -1 before the first

    bool send(int fd);
    // A "P" came back: the round trip of the oldest one waiting, in ms (-1
    // for an answer nobody asked for).
    double answered();
    // How long the oldest unanswered "P" has waited (0 when none waits).
    double oldestWaitingSeconds() const;
};

}  // namespace marvane::client
