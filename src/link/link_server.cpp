#include "link/link_server.h"

#include "link/link_protocol.h"
#include "link/link_state.h"
#include "net/socket_io.h"

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
// server thread; the mutex keeps each message whole and the socket valid for
// the whole of a send.
std::mutex sendGuard;
int clientSocket = -1;

uint8_t payloadBuffer[kPayloadBufferSize];
uint8_t headerBuffer[kFrameSize];
uint8_t rxSendBuffer[kRxBlockBytes];

std::atomic<void (*)(bool, const char*)> connectionObserver{nullptr};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One message in one send call. A failed or timed-out send (a short count on a
// blocking socket only comes from the time-out) ends the connection; the socket
// is shut down so that a receive blocked on the link server thread returns.
void sendMessage(const uint8_t* bytes, int length) {
    std::lock_guard lock(sendGuard);
    if (clientSocket < 0) {
        linkState.clientConnected = 0;
        return;
    }
    if (net::sendOnce(clientSocket, bytes, length) != length) {
        linkState.clientConnected = 0;
        net::shutdownBoth(clientSocket);
    }
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
    if (linkState.rxPhase == 0)
        return;
    linkState.rxPhase = 0;
    linkState.txActive = 1;
    linkState.rxStreaming = 0;
    setClientNoDelay(1);
    sleepMs(100);
    ringReset();
    sendFillReport();
}

void handleLastSamples(int fd, int argument) {
    if (linkState.rxPhase == 0)
        linkState.txDrainPending = 1;
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
            linkState.clientConnected = 0;
    } else if (r < 0) {
        linkState.clientConnected = 0;
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

} // namespace

void setConnectionObserver(void (*fn)(bool accepted, const char* address)) {
    connectionObserver = fn;
}

int linkPort() {
    if (const char* text = std::getenv("MARVANE_PORT")) {
        char* end = nullptr;
        long port = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && port > 0 && port <= 65535)
            return static_cast<int>(port);
    }
    return kDefaultPort;
}

int openListener() {
    int fd = net::openTcpListener(static_cast<uint16_t>(linkPort()), 1);
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
    {
        std::lock_guard lock(sendGuard);
        clientSocket = fd;
    }
    linkState.storePeerAddress(address);
    linkState.clientConnected = 1;
    linkState.rxPhase = 1;
    linkState.rxStreaming = 1;
    notify(true, address);

    while (linkState.clientConnected == 1) {
        int got = net::receiveSome(fd, headerBuffer, kFrameSize);
        if (got == kFrameSize)
            handleFrame(fd);
        else if (got < 0)
            linkState.clientConnected = 0;
        else if (got == 0)
            sleepMs(50); // an orderly close ends nothing: a later send fails
        else
            discardSome(fd);
    }

    {
        std::lock_guard lock(sendGuard);
        clientSocket = -1;
        net::closeSocket(fd);
    }
    linkState.txActive = 0;
    linkState.rxStreaming = 0;
    notify(false, address);
}

void runLinkServer() {
    for (;;) {
        if (openListener() == 0) {
            char address[16];
            int fd = net::acceptClient(listenSocket, address);
            if (fd >= 0)
                serveConnection(fd, address); // as accept gave it: a reset peer has no getpeername
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
    std::lock_guard lock(sendGuard);
    if (clientSocket >= 0)
        net::setNoDelay(clientSocket, on);
}

} // namespace marvane::link
