// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the station sends the client of the link port: receive audio, "P"
// replies and "N" fill reports. Every sender only queues its message, without
// waiting; the link server thread alone writes the queue to the socket, as
// fast as the client takes it. A full queue drops its oldest receive block
// (counted), never a frame; a client that takes nothing is the send bound's
// concern: a message not gone within kSendTimeoutMs, or a receive window
// closed for kClosedWindowMs, ends the connection.

#include <cstdint>

namespace marvane::link {

// Receive audio of one levelled block (count at most 1024), full or half
// rate; nothing while no client is in the receive phase. Audio pump thread.
void sendRxAudio(const double* samples, int count);
// The "P" reply.
void sendPong();
// An "N" frame with the ring's fill (capped at 65535); resets blocksSinceReport.
void sendFillReport();
// TCP_NODELAY on the client socket, if there is one (result ignored).
void setClientNoDelay(int on);

// ---- the link server thread's side ----

// A new connection on fd: an empty queue, the send bound's clocks at rest.
void attachClientSocket(int fd);
// The connection is over: the queue is emptied and nothing more is queued
// for fd, which the caller then closes.
void detachClientSocket();
// A descriptor that becomes readable when a message has been queued.
int senderWakeFd();
void clearSenderWake();
// Whether anything waits to be sent.
bool senderHasWork();
// Sends what the socket takes now, never blocking; false when the connection
// has failed (a send error, or the send bound ran out).
bool flushToClient();
// Receive blocks dropped for a client that did not keep up, over the run.
std::uint64_t droppedRxBlocks();

// A message that cannot be sent within this fails (a client that stopped
// reading, a network that went away).
inline constexpr int kSendTimeoutMs = 5000;
// A client whose receive window stays closed this long has stopped reading
// (its network still answers): the connection fails at once.
inline constexpr int kClosedWindowMs = 2000;
// Receive blocks waiting beside the one being sent: about 1.5 s of audio.
inline constexpr int kSendQueueSlots = 16;
// Frames waiting: far more than a client that reads ever leaves.
inline constexpr int kSendQueueFrames = 256;

} // namespace marvane::link
