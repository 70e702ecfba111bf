// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test support: a connected loopback TCP pair served by serveConnection on its
// own thread, and small helpers to talk to it from the client end.

#include "link/link_sender.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace marvane::testing {

// Generous margins: these bound liveness, they do not measure speed.
inline constexpr int kPatienceMs = 20000;

inline bool waitFor(const std::function<bool()>& condition, int ms = kPatienceMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The state the program starts in, and no observer.
inline void resetLinkForTest() {
    link::resetLinkState();
    link::setConnectionObserver(nullptr);
}

// A connected loopback TCP pair: [0] the station's end, [1] the client's.
inline void tcpPair(int (&fds)[2]) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    fds[1] = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fds[1], reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    fds[0] = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(fds[0], 0);
    ::close(listener);
}

// Closes with a reset, so that the station's next receive fails.
inline void resetClose(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

inline void sendBytes(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

inline std::vector<uint8_t> frame(uint8_t command, int argument) {
    return {1, 2, 3, command, static_cast<uint8_t>(argument >> 8), static_cast<uint8_t>(argument & 0xFF)};
}

inline std::vector<uint8_t> frameWith(uint8_t command, const std::vector<uint8_t>& payload) {
    auto header = frame(command, static_cast<int>(payload.size()));
    std::vector<uint8_t> bytes(header.size() + payload.size());
    std::copy(header.begin(), header.end(), bytes.begin());
    std::copy(payload.begin(), payload.end(), bytes.begin() + static_cast<long>(header.size()));
    return bytes;
}

// Reads exactly n bytes, or fewer if nothing more comes within ms.
inline std::vector<uint8_t> readBytes(int fd, size_t n, int ms = kPatienceMs) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            break;
        uint8_t buffer[4096];
        size_t want = n - out.size() < sizeof buffer ? n - out.size() : sizeof buffer;
        ssize_t got = ::recv(fd, buffer, want, 0);
        if (got <= 0)
            break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

// True when nothing arrives within ms (a short look: used where the station
// must stay silent, and every sending path would already have sent).
inline bool nothingArrives(int fd, int ms = 200) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

// serveConnection on the station's end of a fresh pair, on its own thread.
struct ServedConnection {
    int fds[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> finished{false};

    void start() {
        tcpPair(fds);
        thread = std::thread([this] {
            link::serveConnection(fds[0]);
            finished = true;
        });
        ASSERT_TRUE(waitFor([] { return link::linkState.clientConnected == 1; }));
    }
    int client() const { return fds[1]; }
    int station() const { return fds[0]; }

    bool waitFinished(int ms = kPatienceMs) { return waitFor([this] { return finished.load(); }, ms); }

    // Ends the connection the way a vanished client does: a reset.
    void end() {
        if (fds[1] >= 0) {
            resetClose(fds[1]);
            fds[1] = -1;
        }
        if (thread.joinable()) {
            if (!waitFinished()) {
                // A station stuck in a receive: unblock it so that the test ends.
                ::shutdown(fds[0], SHUT_RDWR);
            }
            thread.join();
        }
    }
    ~ServedConnection() { end(); }
};

// A test over a served connection, with the link state as the program starts
// before and after it.
class ServedTest : public ::testing::Test {
protected:
    ServedConnection conn;
    void SetUp() override {
        resetLinkForTest();
        conn.start();
    }
    void TearDown() override {
        conn.end();
        resetLinkForTest();
    }
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0xFF);
    return bytes;
}

inline std::vector<uint8_t> ringContents() {
    std::vector<uint8_t> out;
    int pos = link::txRing.ringReadPos.load();
    int end = link::txRing.ringWritePos.load();
    while (pos != end) {
        out.push_back(link::txRing.bytes[pos]);
        pos = pos == link::kRingSize - 1 ? 0 : pos + 1;
    }
    return out;
}

// Makes the ring hold fill bytes.
inline void setFill(int fill) {
    link::txRing.ringReadPos = 0;
    link::txRing.ringWritePos = fill;
}

} // namespace marvane::testing
