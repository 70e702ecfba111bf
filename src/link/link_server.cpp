// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_server.h"

#include "config/notice.h"
#include "config/settings.h"
#include "link/access.h"
#include "link/link_protocol.h"
#include "link/link_sender.h"
#include "link/link_state.h"
#include "link/tx_ring.h"
#include "net/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>

namespace marvane::link {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> listenSocket{-1};
std::atomic<void (*)(bool, const char*)> connectionObserver{nullptr};

// The link server thread's own buffers.
FrameReader reader;
uint8_t chunk[16384];

void notify(bool accepted, const char* address) {
    if (auto fn = connectionObserver.load()) fn(accepted, address);
}

void takeInfo(const LinkFrame& frame) {
    if (frame.payloadLength == 0) return;
    char text[kPayloadBufferSize + 1];
    std::memcpy(text, frame.payload, static_cast<size_t>(frame.payloadLength));
    text[frame.payloadLength] = '\0';
    // First whitespace-delimited word, cut to what peerInfoText holds; a NUL
    // ends the text.
    const char* p = text;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0') {
        char word[kInfoWordLength + 1];
        int length = 0;
        while (p[length] != '\0' && !std::isspace(static_cast<unsigned char>(p[length])) &&
               length < kInfoWordLength) {
            word[length] = p[length];
            ++length;
        }
        word[length] = '\0';
        linkState.storePeerInfo(word);
    }
    linkState.peerInfoChanged = 1;
}

// A payload that does not fit is dropped whole, so that audio still waiting in
// the ring is never overwritten.
void store(const LinkFrame& frame) {
    if (frame.payloadLength > 0 && ringFits(frame.payloadLength))
        ringAppend(frame.payload, frame.payloadLength);
}

int millisecondsUntil(Clock::time_point then, Clock::time_point now) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(then - now).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
}

// Why a connection ended, for the log; null for the client's own doing.
const char* serveFrames(int fd) {
    reader = FrameReader{};
    bool readOpen = true;
    std::optional<Clock::time_point> reportAt;
    const int wake = senderWakeFd();
    for (;;) {
        auto now = Clock::now();
        int timeout = senderHasWork() ? 100 : 1000; // the send bound is looked at in between
        if (reportAt) timeout = std::min(timeout, millisecondsUntil(*reportAt, now));
        pollfd watched[2] = {
            {fd, static_cast<short>((readOpen ? POLLIN : 0) | (senderHasWork() ? POLLOUT : 0)), 0},
            {wake, POLLIN, 0}};
        if (::poll(watched, 2, timeout) < 0 && errno != EINTR) return "poll failed";
        if (watched[1].revents != 0) clearSenderWake();
        now = Clock::now();
        const short events = watched[0].revents;
        if (readOpen && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                feedFrames(reader, chunk, static_cast<size_t>(n), [&](const LinkFrame& frame) {
                    if (carryOutFrame(frame))
                        reportAt = now + std::chrono::milliseconds(kTransmitReportDelayMs);
                });
            } else if (n == 0) {
                // An orderly close ends nothing by itself: a later send fails.
                readOpen = false;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return nullptr;
            }
        } else if (!readOpen && (events & (POLLHUP | POLLERR)) != 0) {
            return nullptr;
        }
        if (reportAt && now >= *reportAt) {
            reportAt.reset();
            sendFillReport();
        }
        if (frameUnfinished(reader) &&
            now - reader.lastByte >= std::chrono::milliseconds(kUserTimeoutMs))
            return "a frame stopped arriving half way";
        if (!flushToClient()) return nullptr;
    }
}

} // namespace

bool carryOutFrame(const LinkFrame& frame) {
    switch (frame.command) {
    case kCmdPing:
        sendPong();
        break;
    case kCmdRates:
        linkState.rxHalfRate = frame.rates[0];
        linkState.txHalfRate = frame.rates[1];
        break;
    case kCmdInfo:
        takeInfo(frame);
        break;
    case kCmdTransmit:
        return transition(LinkEvent::transmitAsked, Controller::linkClient);
    case kCmdSamples:
        store(frame);
        break;
    case kCmdLastSamples:
        // The chunk is in the ring before the drain can end the transmission.
        store(frame);
        transition(LinkEvent::lastChunk, Controller::linkClient);
        break;
    default:
        break; // "V", and letters the reader throws away after
    }
    return false;
}

void setConnectionObserver(void (*fn)(bool accepted, const char* address)) {
    connectionObserver = fn;
}

int linkPort() {
    if (const char* text = std::getenv("MARVANE_PORT")) {
        char* end = nullptr;
        long port = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && port > 0 && port <= 65535) return static_cast<int>(port);
    }
    return config::settings().link.port;
}

int openListener() {
    int fd = net::openTcpListener(config::settings().link.listenAddress,
                                  static_cast<uint16_t>(linkPort()), 1);
    listenSocket = fd;
    return fd < 0 ? -1 : 0;
}

void closeListener() {
    int fd = listenSocket.exchange(-1);
    net::closeSocket(fd);
}

void serveConnection(int fd) {
    char address[16];
    net::peerAddress(fd, address);
    serveConnection(fd, address);
}

void serveConnection(int fd, const char* acceptedAddress) {
    char address[16];
    std::snprintf(address, sizeof address, "%s", acceptedAddress);
    // A client whose network vanishes is noticed within seconds (unanswered
    // data or keepalive probes end the connection), and at most about a
    // second of receive audio waits in the kernel for a slow reader.
    net::setKeepAlive(fd, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
    net::setUserTimeout(fd, kUserTimeoutMs);
    net::setSendBuffer(fd, kSendBufferBytes);
    net::setUnsentLimit(fd, kSendBufferBytes);
    attachClientSocket(fd);
    linkState.storePeerAddress(address);
    if (!transition(LinkEvent::accepted, Controller::linkClient)) {
        detachClientSocket();
        net::closeSocket(fd);
        return;
    }
    notify(true, address);
    const uint64_t droppedBefore = droppedRxBlocks();

    const char* why = serveFrames(fd);

    transition(LinkEvent::lost, Controller::linkClient);
    detachClientSocket();
    net::closeSocket(fd);
    if (why != nullptr) config::notice("connection with %s ended: %s", address, why);
    if (const uint64_t dropped = droppedRxBlocks() - droppedBefore; dropped > 0)
        config::notice("%llu receive blocks dropped for %s, which did not keep up",
                       static_cast<unsigned long long>(dropped), address);
    notify(false, address);
}

void runLinkServer() {
    for (;;) {
        if (openListener() == 0) {
            for (;;) {
                char address[16];
                int fd = net::acceptClient(listenSocket, address);
                if (fd < 0) break;
                // A client that is not allowed is closed before it becomes
                // the client, and the listener takes the next one at once.
                if (!clientAllowed(address)) {
                    noteRefusal(address);
                    net::closeSocket(fd);
                    continue;
                }
                serveConnection(fd, address); // as accept gave it: a reset peer has no getpeername
                break;
            }
        }
        closeListener();
        std::this_thread::sleep_for(std::chrono::milliseconds(kRelistenDelayMs));
    }
}

void startLinkServer() {
    resetLinkState();
    try {
        std::thread(runLinkServer).detach();
    } catch (const std::exception&) {
        // Start-up goes on without the link, as with a thread that never ran.
    }
}

} // namespace marvane::link
