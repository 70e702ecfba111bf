// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The link server thread: listens on the link port, serves one client at a
// time, reads its frames whole (frame_reader.h), carries each out on the
// connection's state (link_state.h) and the transmit ring, and writes what
// the station queued for the client (link_sender.h). Nothing it does waits
// on another thread, and no other thread waits on its socket.

#include "link/frame_reader.h"

namespace marvane::link {

// Puts the link in the state the program starts in, then starts the
// detached server thread.
void startLinkServer();

// The listener for one cycle: 0 when ready, -1 when any step failed.
int openListener();
void closeListener();

// The thread body: endless listening cycles, never returns.
void runLinkServer();

// One connection on an already connected socket: the client takes the
// station, its frames are carried out and the station's messages sent until
// the connection ends; then the client is let go and the socket closed.
void serveConnection(int fd);
// The same with the peer's dotted address as accept returned it.
void serveConnection(int fd, const char* address);

// Carries out one whole frame from the client of the link port; true when it
// started a transmission, whose "N" frame the caller sends
// kTransmitReportDelayMs later.
bool carryOutFrame(const LinkFrame& frame);

// MARVANE_PORT when that names a port, else the port of "marvane.conf" (3020).
int linkPort();

// Called on the link server thread when a connection is accepted (true) and
// when it has ended (false), with the peer's dotted address.
void setConnectionObserver(void (*fn)(bool accepted, const char* address));

// The "N" frame that answers an accepted "T" goes out this long after it.
inline constexpr int kTransmitReportDelayMs = 100;
// Between two clients the listener stays closed this long.
inline constexpr int kRelistenDelayMs = 1000;
// Unacknowledged data or unanswered keepalive probes for this long end the
// connection: a client whose network vanished is dropped within 15 s. A frame
// that stops arriving half way is given as long.
inline constexpr int kUserTimeoutMs = 10000;
inline constexpr int kKeepAliveIdleS = 4;
inline constexpr int kKeepAliveIntervalS = 2;
inline constexpr int kKeepAliveProbes = 3;
// About a second of receive audio at full rate: the most that waits in the
// kernel for the client (the send buffer's size, which the kernel doubles for
// its bookkeeping).
inline constexpr int kSendBufferBytes = 11025;

} // namespace marvane::link
