// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_server.h"

#include "config/notice.h"
#include "config/settings.h"
#include "link/link_protocol.h"
#include "link/link_state.h"
#include "net/socket_io.h"

#include <arpa/inet.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace marvane::link {

namespace {

std::atomic<int> listenSocket{-1};

// The client socket is used by two sending threads and closed by the link
// server thread. sendGuard keeps each message whole and the socket valid for
// the whole of a send; socketGuard keeps it valid for a socket option change,
// which so never waits behind a send that is blocked. The socket is closed
// holding both, after a shutdown has ended any send under way.
std::mutex sendGuard;
std::mutex socketGuard;
int clientSocket = -1;
net::SendWatch sendWatch; // under sendGuard

uint8_t payloadBuffer[kPayloadBufferSize];
uint8_t headerBuffer[kFrameSize];
uint8_t rxSendBuffer[kRxBlockBytes];

std::atomic<void (*)(bool, const char*)> connectionObserver{nullptr};
std::atomic<int> transmitPauseMs{100};
std::atomic<void (*)(int)> waitHook{nullptr};

void sleepMs(int ms) {
    if (auto wait = waitHook.load())
        wait(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Connection lost, whichever thread saw it: the flags go to "no client" in
// one step. The link server thread then closes the socket.
void connectionLost() {
    auto transition = holdTransitions();
    linkState.clientConnected = 0;
    linkState.txActive = 0;
    linkState.rxStreaming = 0;
}

// One message in one send call. A failed or timed-out send (a short count on a
// blocking socket only comes from the time-out) ends the connection; the socket
// is shut down so that a receive blocked on the link server thread returns.
void sendMessage(const uint8_t* bytes, int length) {
    bool lost;
    {
        std::lock_guard lock(sendGuard);
        lost = clientSocket < 0 || net::sendAll(clientSocket, bytes, length, kSendTimeoutMs,
                                                kClosedWindowMs, sendWatch) != length;
        if (lost && clientSocket >= 0) net::shutdownBoth(clientSocket);
    }
    if (lost) connectionLost();
}

int cappedPayload(int argument) { return argument > kMaxPayload ? kMaxPayload : argument; }

bool fits(int length) { return kRingSize - ringFill() > length; }

void discardSome(int fd) { net::receiveSome(fd, payloadBuffer, kDiscardLength); }

void handleInfo(int fd, int argument) {
    if (argument == 0)
        return;
    int n = cappedPayload(argument);
    if (net::receiveSome(fd, payloadBuffer, n) != n)
        return;
    payloadBuffer[n] = '\0';
    // First whitespace-delimited word, cut to what peerInfoText holds; a NUL
    // ends the text.
    const char* text = reinterpret_cast<const char*>(payloadBuffer);
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text != '\0') {
        char word[kInfoWordLength + 1];
        int length = 0;
        while (text[length] != '\0' && !std::isspace(static_cast<unsigned char>(text[length])) &&
               length < kInfoWordLength) {
            word[length] = text[length];
            ++length;
        }
        word[length] = '\0';
        linkState.storePeerInfo(word);
    }
    linkState.peerInfoChanged = 1;
}

void handleTransmit() {
    {
        auto transition = holdTransitions();
        if (linkState.rxPhase == 0 || linkState.clientConnected == 0)
            return;
        linkState.rxPhase = 0;
        linkState.txActive = 1;
        linkState.rxStreaming = 0;
        linkState.transmissionsStarted.fetch_add(1);
        // Under the hold, so that the end of a transmission that comes
        // between cannot switch it off again.
        setClientNoDelay(1);
    }
    sleepMs(transmitPauseMs.load());
    ringReset();
    sendFillReport();
}

void handleLastSamples(int fd, int argument) {
    {
        // Against the pump's end of a transmission: a drain flag set just
        // after it would end the next transmission at its first block.
        auto transition = holdTransitions();
        if (linkState.rxPhase == 0)
            linkState.txDrainPending = 1;
    }
    int n = cappedPayload(argument);
    if (n == 0)
        return;
    // A last chunk that does not fit is dropped whole, like "S", so that audio
    // still waiting in the ring is never overwritten.
    if (net::receiveSome(fd, payloadBuffer, n) == n && fits(n))
        ringAppend(payloadBuffer, n);
}

void handleSamples(int fd, int argument) {
    int n = cappedPayload(argument);
    int r = net::receiveSome(fd, payloadBuffer, n);
    if (r == n) {
        if (fits(n))
            ringAppend(payloadBuffer, n);
    } else if (r > 0) {
        if (!fits(n))
            return;
        ringAppend(payloadBuffer, r);
        sleepMs(50);
        int rest = net::receiveSome(fd, payloadBuffer, n - r);
        if (rest == n - r)
            ringAppend(payloadBuffer, rest);
        else if (rest < 0)
            connectionLost();
    } else if (r < 0) {
        connectionLost();
    }
}

void handleFrame(int fd) {
    int argument = headerBuffer[4] * 256 + headerBuffer[5];
    switch (headerBuffer[3]) {
    case kCmdPing:
        sendPong();
        break;
    case kCmdVersion:
        break;
    case kCmdRates:
        linkState.rxHalfRate = headerBuffer[4];
        linkState.txHalfRate = headerBuffer[5];
        break;
    case kCmdInfo:
        handleInfo(fd, argument);
        break;
    case kCmdTransmit:
        handleTransmit();
        break;
    case kCmdLastSamples:
        handleLastSamples(fd, argument);
        break;
    case kCmdSamples:
        handleSamples(fd, argument);
        break;
    default:
        discardSome(fd);
        break;
    }
}

void notify(bool accepted, const char* address) {
    if (auto fn = connectionObserver.load())
        fn(accepted, address);
}

// Whether the allow list of "marvane.conf" lets this dotted address in.
bool allowed(const char* address) {
    in_addr a{};
    if (inet_pton(AF_INET, address, &a) != 1)
        return config::settings().link.allowEveryone;
    return config::clientAllowed(config::settings().link, ntohl(a.s_addr));
}

// One notice a second at most per address: a stranger who keeps connecting
// does not flood the log. The few most recent addresses are remembered.
void noticeRefusal(const char* address) {
    struct Recent {
        char address[16];
        std::chrono::steady_clock::time_point at;
    };
    static Recent recent[16];
    static int next = 0;
    const auto now = std::chrono::steady_clock::now();
    for (Recent& r : recent)
        if (std::strcmp(r.address, address) == 0) {
            if (now - r.at < std::chrono::seconds(1))
                return;
            r.at = now;
            config::notice("refused %s: not allowed", address);
            return;
        }
    Recent& r = recent[next];
    next = (next + 1) % 16;
    std::snprintf(r.address, sizeof r.address, "%s", address);
    r.at = now;
    config::notice("refused %s: not allowed", address);
}

} // namespace

void setConnectionObserver(void (*fn)(bool accepted, const char* address)) {
    connectionObserver = fn;
}

void setTransmitPauseForTests(int ms) { transmitPauseMs = ms; }

void setLinkWaitForTests(void (*wait)(int ms)) { waitHook = wait; }

int linkPort() {
    if (const char* text = std::getenv("MARVANE_PORT")) {
        char* end = nullptr;
        long port = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && port > 0 && port <= 65535)
            return static_cast<int>(port);
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
    net::setSendTimeout(fd, kSendTimeoutMs);
    // A client whose network vanishes is noticed within seconds (unanswered
    // data or keepalive probes end the connection), and at most about a
    // second of receive audio waits here for a slow or stopped reader.
    net::setKeepAlive(fd, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
    net::setUserTimeout(fd, kUserTimeoutMs);
    net::setSendBuffer(fd, kSendBufferBytes);
    net::setUnsentLimit(fd, kSendBufferBytes);
    {
        std::lock_guard lock(sendGuard);
        std::lock_guard socketLock(socketGuard);
        clientSocket = fd;
        sendWatch = {};
    }
    linkState.storePeerAddress(address);
    {
        auto transition = holdTransitions();
        linkState.clientConnected = 1;
        linkState.rxPhase = 1;
        linkState.rxStreaming = 1;
        linkState.connectionsAccepted.fetch_add(1);
    }
    notify(true, address);

    while (linkState.clientConnected == 1) {
        int got = net::receiveSome(fd, headerBuffer, kFrameSize);
        if (got == kFrameSize)
            handleFrame(fd);
        else if (got < 0)
            connectionLost();
        else if (got == 0)
            sleepMs(50); // an orderly close ends nothing: a later send fails
        else
            discardSome(fd);
    }

    // A send blocked on the audio pump returns at once; then nothing can be
    // under way on the socket.
    net::shutdownBoth(fd);
    {
        std::lock_guard lock(sendGuard);
        std::lock_guard socketLock(socketGuard);
        clientSocket = -1;
        net::closeSocket(fd);
    }
    connectionLost();
    notify(false, address);
}

void runLinkServer() {
    for (;;) {
        if (openListener() == 0) {
            for (;;) {
                char address[16];
                int fd = net::acceptClient(listenSocket, address);
                if (fd < 0)
                    break;
                // A client that is not allowed is closed before it becomes
                // the client, and the listener takes the next one at once.
                if (!allowed(address)) {
                    noticeRefusal(address);
                    net::closeSocket(fd);
                    continue;
                }
                serveConnection(fd, address); // as accept gave it: a reset peer has no getpeername
                break;
            }
        }
        closeListener();
        sleepMs(1000);
    }
}

void startLinkServer() {
    ringReset();
    linkState.txDrainPending = 0;
    try {
        std::thread(runLinkServer).detach();
    } catch (const std::exception&) {
        // Start-up goes on without the link, as with a thread that never ran.
    }
}

void sendRxAudio(const double* samples, int count) {
    if (linkState.clientConnected == 0 || linkState.rxPhase == 0)
        return;
    if (count > kRxBlockBytes)
        count = kRxBlockBytes;
    int length;
    if (linkState.rxHalfRate == 1) {
        length = count / 2;
        for (int k = 0; k < length; ++k)
            rxSendBuffer[k] = encodeRxSample(samples[2 * k]);
    } else {
        length = count;
        for (int i = 0; i < length; ++i)
            rxSendBuffer[i] = encodeRxSample(samples[i]);
    }
    sendMessage(rxSendBuffer, length);
}

void sendPong() {
    static constexpr uint8_t pong[kFrameSize] = {kMark1, kMark2, kMark3, kCmdPing, 0, 0};
    if (linkState.clientConnected == 0)
        return;
    sendMessage(pong, kFrameSize);
}

void sendFillReport() {
    linkState.blocksSinceReport = 0;
    if (linkState.clientConnected == 0)
        return;
    int fill = ringFill();
    if (fill > kMaxReportedFill)
        fill = kMaxReportedFill;
    linkState.lastReportedFill = fill;
    const uint8_t frame[kFrameSize] = {kMark1, kMark2, kMark3, kCmdFill,
                                       static_cast<uint8_t>(fill / 256),
                                       static_cast<uint8_t>(fill % 256)};
    sendMessage(frame, kFrameSize);
}

void setClientNoDelay(int on) {
    std::lock_guard lock(socketGuard);
    if (clientSocket >= 0)
        net::setNoDelay(clientSocket, on);
}

} // namespace marvane::link
