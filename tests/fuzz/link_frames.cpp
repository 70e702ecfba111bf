// SPDX-License-Identifier: GPL-3.0-or-later
// The link server's frame loop fed with arbitrary client bytes: one
// connection per input on one end of a socket pair, the client's bytes
// written to the other end, which then shuts its sending side. The audio pump
// is played on this thread in the server's pauses, one block per 93 ms of
// pause on a clock of its own (receive audio, or fillTxBlock while
// transmitting). When the server has read everything, the client goes on
// reading for a few more blocks (a tail the input chooses), then stops
// reading as well; the next block's send fails and the connection ends, so no
// input waits on a real clock.
//
// Checked throughout: the flags are always in a row of the connection state
// table, the ring's fill within 0..110249 and both positions in the ring; the
// server's messages reach the client whole and well formed; the connection
// ends, and leaves the station with no client and not transmitting.
//
// Input: byte 0 chooses what the previous client left behind (bit 0 the drain
// flag, bit 1 half-rate receive, bit 2 half-rate transmit), the transmit
// limits (bit 3: 1 s of silence or 2 s in all end a transmission, as
// "marvane.conf" may set them, instead of the defaults) and the tail (bits 4
// and 5: 0, 4, 16 or 64 blocks); bytes 1 and 2 how full the ring is
// (0..65535 scaled to 0..110249); the rest is what the client sends.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "audio/audio_block.h"
#include "audio/tx_source.h"
#include "config/notice.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "link/link_protocol.h"
#include "link/link_server.h"
#include "link/link_state.h"

namespace {

using namespace marvane;
using fuzz::check;
using link::linkState;
using link::txRing;

constexpr std::size_t kMaxClientBytes = 20000;  // fits the socket pair's buffer
constexpr int kBlockMs = 93;                     // 1024 samples at 11025 per second
constexpr int kMostWaitsAtEnd = 10000;  // the tail takes 130 at most
constexpr const char* kShortLimits = "short-limits.conf";
constexpr const char* kDefaultLimits = "no-such.conf";  // missing: every default

int serverFd = -1;
int clientFd = -1;
bool clientGone = false;
int tailBlocks = 0;  // blocks the client still reads after the server has read all
int waitsAtEnd = 0;  // pauses since the server has read all
int clockMs = 0;
int16_t pumpTxBlock[audio::kBlockLength];
double levelled[audio::kBlockLength];  // silence: the byte 128, never a frame mark

void checkState() {
    check(link::linkStateConsistent(), "the flags are in no row of the connection state table");
    const int fill = link::ringFill();
    check(fill >= 0 && fill < link::kRingSize, "the ring's fill is outside 0..110249");
    const int w = txRing.ringWritePos, r = txRing.ringReadPos;
    check(w >= 0 && w < link::kRingSize && r >= 0 && r < link::kRingSize,
          "a ring position is outside the ring");
}

// One block of the audio pump, as its receive or transmit loop runs it.
void pumpBlock() {
    if (linkState.txActive == 1) {
        audio::fillTxBlock(pumpTxBlock, audio::kBlockLength);
    } else if (linkState.clientConnected == 1 && linkState.rxStreaming == 1) {
        link::sendRxAudio(levelled, audio::kBlockLength);
    }
    checkState();
}

int unread(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// The server's pauses: the pump runs meanwhile. Once the server has taken
// everything the client sent and the tail's blocks have run, the client
// stops reading.
void pause(int ms) {
    checkState();
    if (!clientGone && unread(serverFd) == 0 && tailBlocks <= 0) {
        ::shutdown(clientFd, SHUT_RD);
        clientGone = true;
    }
    if (unread(serverFd) == 0 && ++waitsAtEnd > kMostWaitsAtEnd)
        fuzz::fail("the connection does not end after the client has gone");
    for (clockMs += ms; clockMs >= kBlockMs; clockMs -= kBlockMs) {
        if (unread(serverFd) == 0) --tailBlocks;
        pumpBlock();
    }
}

// The transmit limits in force for this input: short ones or the defaults.
void useLimits(bool shortLimits) {
    static int current = -1;
    if (current == static_cast<int>(shortLimits)) return;
    current = shortLimits;
    config::loadSettings(shortLimits ? kShortLimits : kDefaultLimits);
    const config::TransmitSettings& t = config::settings().transmit;
    check(shortLimits ? t.silenceSeconds == 1 && t.maxSeconds == 2
                      : t.silenceSeconds == config::TransmitSettings{}.silenceSeconds,
          "the transmit limits were not taken");
}

// The client's side: reads what the server sends until it stops reading,
// checking that receive audio (all 128 here) and "P" and "N" frames come
// whole and never inside one another.
void readServer() {
    uint8_t frame[link::kFrameSize];
    int inFrame = 0;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(clientFd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const uint8_t b = buffer[i];
            if (inFrame == 0 && b == 128) continue;
            frame[inFrame++] = b;
            if (inFrame < link::kFrameSize) continue;
            check(frame[0] == link::kMark1 && frame[1] == link::kMark2 && frame[2] == link::kMark3 &&
                      (frame[3] == link::kCmdPing || frame[3] == link::kCmdFill),
                  "the server sent a message that is not whole or not well formed");
            check(frame[3] != link::kCmdPing || (frame[4] == 0 && frame[5] == 0),
                  "a \"P\" reply with an argument");
            inFrame = 0;
        }
        checkState();
    }
    check(inFrame == 0, "the server's last frame was cut short");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config::setNoticeSink([](const char*) {});
    link::setLinkWaitForTests(pause);
    static const char limits[] = "[transmit]\nsilence_seconds = 1\nmax_seconds = 2\n";
    fuzz::putFile(kShortLimits, reinterpret_cast<const uint8_t*>(limits), sizeof limits - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 3 + kMaxClientBytes) return -1;
    const uint8_t left = size > 0 ? data[0] : 0;
    const int fill =
        size > 2 ? static_cast<int>((data[1] * 256L + data[2]) * (link::kRingSize - 1) / 65535) : 0;
    const uint8_t* bytes = data + (size > 3 ? 3 : size);
    const std::size_t count = size > 3 ? size - 3 : 0;

    // What the previous connection left: the ring and the rates stay, and so
    // may the drain flag of a client that went away while draining.
    link::ringReset();
    txRing.ringWritePos = fill;
    linkState.txDrainPending = left & 1;
    linkState.rxHalfRate = (left >> 1) & 1;
    linkState.txHalfRate = (left >> 2) & 1;
    linkState.blocksSinceReport = 0;
    audio::clearTxFilterDelay();
    useLimits(left & 8);
    tailBlocks = (left >> 4 & 3) == 0 ? 0 : 1 << (2 * (left >> 4 & 3));
    checkState();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzz::fail("no socket pair");
    serverFd = pair[0];
    clientFd = pair[1];
    clientGone = false;
    waitsAtEnd = 0;
    clockMs = 0;
    if (count > 0 && ::send(clientFd, bytes, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count))
        fuzz::fail("the client's bytes do not fit the socket pair");
    ::shutdown(clientFd, SHUT_WR);

    std::thread client(readServer);
    link::serveConnection(serverFd, "127.0.0.1");  // closes serverFd
    client.join();
    ::close(clientFd);

    checkState();
    check(linkState.clientConnected == 0 && linkState.txActive == 0 && linkState.rxStreaming == 0,
          "the ended connection left a client or a transmission behind");
    return 0;
}
