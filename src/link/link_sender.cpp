// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_sender.h"

#include "link/link_protocol.h"
#include "link/link_state.h"
#include "link/tx_ring.h"
#include "net/socket_io.h"
#include "net/tcp_window.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace marvane::link {

namespace {

using Clock = std::chrono::steady_clock;

struct Message {
    int length = 0;
    uint8_t bytes[kRxBlockBytes];
};

struct QueuedAudio {
    uint64_t order = 0;
    int length = 0;
    uint8_t bytes[kRxBlockBytes];
};

struct QueuedFrame {
    uint64_t order = 0;
    uint8_t bytes[kFrameSize];
};

// What waits for the socket, in two rings kept in one order: receive audio
// (a full ring gives up its oldest block) and frames (never given up but for
// a client that sends hundreds of pings and reads nothing). The guard is
// held for copies only, never across I/O.
struct SendQueue {
    std::mutex guard;
    QueuedAudio audio[kSendQueueSlots];
    int audioHead = 0, audioCount = 0;
    QueuedFrame frames[kSendQueueFrames];
    int frameHead = 0, frameCount = 0;
    uint64_t nextOrder = 0;
    int fd = -1;
};

SendQueue queue;
std::atomic<uint64_t> droppedAudio{0};
std::atomic<int> wakeFd{-1};

// The link server thread's own: the message being written, and since when.
Message current;
int currentSent = 0;
bool sending = false;
Clock::time_point currentSince;
// Since when the peer has shown a closed receive window, while we have
// something for it.
bool windowClosed = false;
Clock::time_point closedSince;

// Guards the socket for the no-delay switch, which any transition may make.
std::mutex socketGuard;
int socketForOptions = -1;

int makeWakeFd() {
    int expected = -1;
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0 && !wakeFd.compare_exchange_strong(expected, fd)) ::close(fd);
    return wakeFd.load();
}

void wake() {
    const int fd = wakeFd.load();
    if (fd < 0) return;
    const uint64_t one = 1;
    // Never blocks: the descriptor is non-blocking, and a full counter
    // already means "wake up".
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void emptyQueue() {
    queue.audioCount = 0;
    queue.frameCount = 0;
}

void enqueueAudio(const uint8_t* bytes, int length) {
    {
        std::lock_guard lock(queue.guard);
        if (queue.fd < 0) return;
        if (queue.audioCount == kSendQueueSlots) {
            queue.audioHead = (queue.audioHead + 1) % kSendQueueSlots;
            --queue.audioCount;
            droppedAudio.fetch_add(1, std::memory_order_relaxed);
        }
        QueuedAudio& m = queue.audio[(queue.audioHead + queue.audioCount++) % kSendQueueSlots];
        m.order = queue.nextOrder++;
        m.length = length;
        std::memcpy(m.bytes, bytes, static_cast<size_t>(length));
    }
    wake();
}

void enqueueFrame(const FrameBytes& frame) {
    {
        std::lock_guard lock(queue.guard);
        if (queue.fd < 0 || queue.frameCount == kSendQueueFrames) return;
        QueuedFrame& m = queue.frames[(queue.frameHead + queue.frameCount++) % kSendQueueFrames];
        m.order = queue.nextOrder++;
        std::memcpy(m.bytes, frame.data(), kFrameSize);
    }
    wake();
}

// The oldest waiting message into `current`; false when none waits.
bool takeNext() {
    std::lock_guard lock(queue.guard);
    const bool audioFirst =
        queue.audioCount > 0 &&
        (queue.frameCount == 0 ||
         queue.audio[queue.audioHead].order < queue.frames[queue.frameHead].order);
    if (audioFirst) {
        const QueuedAudio& m = queue.audio[queue.audioHead];
        current.length = m.length;
        std::memcpy(current.bytes, m.bytes, static_cast<size_t>(m.length));
        queue.audioHead = (queue.audioHead + 1) % kSendQueueSlots;
        --queue.audioCount;
        return true;
    }
    if (queue.frameCount == 0) return false;
    current.length = kFrameSize;
    std::memcpy(current.bytes, queue.frames[queue.frameHead].bytes, kFrameSize);
    queue.frameHead = (queue.frameHead + 1) % kSendQueueFrames;
    --queue.frameCount;
    return true;
}

// True when the peer's receive window has been closed for kClosedWindowMs.
bool windowClosedTooLong(int fd) {
    const auto now = Clock::now();
    if (net::peerReceiveWindow(fd) != 0) {
        windowClosed = false;
        return false;
    }
    if (!windowClosed) {
        windowClosed = true;
        closedSince = now;
    }
    return now - closedSince >= std::chrono::milliseconds(kClosedWindowMs);
}

} // namespace

void sendRxAudio(const double* samples, int count) {
    if (linkState.clientConnected == 0 || linkState.rxPhase == 0) return;
    if (count > kRxBlockBytes) count = kRxBlockBytes;
    // Only the pump sends receive audio: this buffer is its own.
    static uint8_t encoded[kRxBlockBytes];
    int length;
    if (linkState.rxHalfRate == 1) {
        length = count / 2;
        for (int k = 0; k < length; ++k) encoded[k] = encodeRxSample(samples[2 * k]);
    } else {
        length = count;
        for (int i = 0; i < length; ++i) encoded[i] = encodeRxSample(samples[i]);
    }
    enqueueAudio(encoded, length);
}

void sendPong() {
    if (linkState.clientConnected == 0) return;
    enqueueFrame(makeFrame(kCmdPing));
}

void sendFillReport() {
    linkState.blocksSinceReport = 0;
    if (linkState.clientConnected == 0) return;
    int fill = ringFill();
    if (fill > kMaxReportedFill) fill = kMaxReportedFill;
    linkState.lastReportedFill = fill;
    enqueueFrame(makeFrame(kCmdFill, fill));
}

void setClientNoDelay(int on) {
    std::lock_guard lock(socketGuard);
    if (socketForOptions >= 0) net::setNoDelay(socketForOptions, on);
}

void attachClientSocket(int fd) {
    makeWakeFd();
    {
        std::lock_guard lock(queue.guard);
        emptyQueue();
        queue.fd = fd;
    }
    {
        std::lock_guard lock(socketGuard);
        socketForOptions = fd;
    }
    sending = false;
    currentSent = 0;
    windowClosed = false;
    clearSenderWake();
}

void detachClientSocket() {
    {
        std::lock_guard lock(queue.guard);
        emptyQueue();
        queue.fd = -1;
    }
    std::lock_guard lock(socketGuard);
    socketForOptions = -1;
    sending = false;
}

int senderWakeFd() { return makeWakeFd(); }

void clearSenderWake() {
    const int fd = wakeFd.load();
    uint64_t value;
    if (fd >= 0) [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

bool senderHasWork() {
    if (sending) return true;
    std::lock_guard lock(queue.guard);
    return queue.audioCount > 0 || queue.frameCount > 0;
}

bool flushToClient() {
    int fd;
    {
        std::lock_guard lock(queue.guard);
        fd = queue.fd;
    }
    if (fd < 0) return false;
    for (;;) {
        if (!sending) {
            if (!takeNext()) {
                windowClosed = false;
                return true;
            }
            sending = true;
            currentSent = 0;
            currentSince = Clock::now();
        }
        const ssize_t n = ::send(fd, current.bytes + currentSent,
                                 static_cast<size_t>(current.length - currentSent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            currentSent += static_cast<int>(n);
            if (currentSent == current.length) sending = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // The socket takes nothing more now.
        if (Clock::now() - currentSince >= std::chrono::milliseconds(kSendTimeoutMs)) return false;
        return !windowClosedTooLong(fd);
    }
}

uint64_t droppedRxBlocks() { return droppedAudio.load(std::memory_order_relaxed); }

} // namespace marvane::link
