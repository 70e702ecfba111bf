// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Thin POSIX socket helpers for the link server: a listener, accept with the
// peer's dotted address, and the socket options the link protocol switches.

#include <cstdint>

namespace marvane::net {

// Opens a TCP listener on all local IPv4 addresses. SO_REUSEADDR is set so that
// a port whose last connection sits in TIME_WAIT can be bound again at once (it
// never lets a second listener onto a port that is in use). Returns the socket,
// or -1 when socket, bind or listen failed (nothing is left open then).
int openTcpListener(uint16_t port, int backlog);
// The same on one local IPv4 address (host byte order; 0 for all of them).
int openTcpListener(uint32_t address, uint16_t port, int backlog);

// Blocking accept. Writes the peer's IPv4 address as dotted-decimal text (empty
// for other families). Returns the connected socket or -1.
int acceptClient(int listenFd, char (&address)[16]);

// The dotted-decimal text of a connected socket's IPv4 peer (empty otherwise).
void peerAddress(int fd, char (&address)[16]);

// TCP_NOTSENT_LOWAT: a send waits while this much is queued and not yet sent.
void setUnsentLimit(int fd, int bytes);

// TCP_NODELAY on (1) or off (0); the result is ignored by design.
void setNoDelay(int fd, int on);

// TCP keepalive on: the first probe after idleSeconds without traffic, then
// one every intervalSeconds, the connection ends after `probes` unanswered.
void setKeepAlive(int fd, int idleSeconds, int intervalSeconds, int probes);

// TCP_USER_TIMEOUT: data (or probes) unacknowledged this long end the
// connection, and the next receive or send fails.
void setUserTimeout(int fd, int milliseconds);

// SO_SNDBUF: bounds what waits in the kernel for a slow reader.
void setSendBuffer(int fd, int bytes);

// Ends both directions of a connection without releasing the descriptor, so
// that a receive blocked on another thread returns.
void shutdownBoth(int fd);

void closeSocket(int fd);

} // namespace marvane::net
