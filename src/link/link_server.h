// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The link server thread: listens on the link port, serves one client at a
// time, carries out the client's frames on LinkState and TxRing, and provides
// the three senders of the server's messages.

namespace marvane::link {

// Resets the ring and the drain flag, then starts the detached server thread.
void startLinkServer();

// The listener for one cycle: 0 when ready, -1 when any step failed.
int openListener();
void closeListener();

// The thread body: endless listening cycles, never returns.
void runLinkServer();

// One connection on an already connected socket: stores it as the client
// socket, records the peer address, raises the connection flags, runs the
// frame loop until the connection ends, then closes the socket and clears
// txActive and rxStreaming.
void serveConnection(int fd);
// The same with the peer's dotted address as accept returned it.
void serveConnection(int fd, const char* address);

// Receive audio of one levelled block (count at most 1024), full or half rate.
void sendRxAudio(const double* samples, int count);
// The "P" reply.
void sendPong();
// An "N" frame with the ring's fill (capped at 65535); resets blocksSinceReport.
void sendFillReport();
// TCP_NODELAY on the client socket, if there is one (result ignored). Never
// waits behind a send.
void setClientNoDelay(int on);

// MARVANE_PORT when that names a port, else the port of "marvane.conf" (3020).
int linkPort();

// Called on the link server thread when a connection is accepted (true) and
// when it has ended (false), with the peer's dotted address.
void setConnectionObserver(void (*fn)(bool accepted, const char* address));

// The pause between an accepted "T" and the ring's reset, 100 ms; tests that
// drive many transmissions shorten it.
void setTransmitPauseForTests(int ms);

// Every pause of the link server thread (after an orderly close, inside a
// short "S" payload, after "T", between listening cycles) calls wait with
// its length instead of sleeping; null for real sleeps. The fuzzer runs the
// audio pump's blocks there, on a clock of its own.
void setLinkWaitForTests(void (*wait)(int ms));

// A message that cannot be sent within this fails (a client that stopped
// reading, a network that went away).
inline constexpr int kSendTimeoutMs = 5000;
// A client whose receive window stays closed this long has stopped reading
// (its network still answers): a send then fails at once.
inline constexpr int kClosedWindowMs = 2000;
// Unacknowledged data or unanswered keepalive probes for this long end the
// connection: a client whose network vanished is dropped within 15 s.
inline constexpr int kUserTimeoutMs = 10000;
inline constexpr int kKeepAliveIdleS = 4;
inline constexpr int kKeepAliveIntervalS = 2;
inline constexpr int kKeepAliveProbes = 3;
// About a second of receive audio at full rate: the most that waits unsent
// for the client (and the send buffer's size, which the kernel doubles for its
// bookkeeping).
inline constexpr int kSendBufferBytes = 11025;

} // namespace marvane::link
