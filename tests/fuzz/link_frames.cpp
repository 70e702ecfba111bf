// SPDX-License-Identifier: GPL-3.0-or-later
// The link's frame reader and the carrying out of frames, fed with arbitrary
// client bytes, one connection per input. The bytes are given to the reader
// in reads of a size the input chooses; between reads the audio pump runs a
// block (receive audio, or fillTxBlock while transmitting) and the station's
// queued messages are written to the client's end of a socket pair, where a
// thread reads them. At the end the pump runs a tail of blocks the input
// chooses, and the connection is lost.
//
// Checked throughout: the flags are always in the row of the connection
// state table for the phase, the ring's fill within 0..110249 and both
// positions in the ring; nothing a previous client left in the ring is there
// when the next one is accepted; the server's messages reach the client
// whole and well formed; the lost connection leaves the station with no
// client, no transmission and an empty ring.
//
// Input: byte 0 chooses what the previous client left behind (bit 0 a full
// ring, bit 1 half-rate receive, bit 2 half-rate transmit), the transmit
// limits (bit 3: 1 s of silence or 2 s in all end a transmission, as
// "marvane.conf" may set them, instead of the defaults), the tail (bits 4
// and 5: 0, 4, 16 or 64 blocks) and the reads (bits 6 and 7: all at once,
// or 1, 7 or 1500 bytes each); bytes 1 and 2 how full the ring was left
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
#include "common/link_view.h"
#include "fuzz_support.h"
#include "link/link_protocol.h"
#include "link/link_sender.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

namespace {

using namespace marvane;
using fuzz::check;
using link::linkState;
using link::txRing;

constexpr std::size_t kMaxClientBytes = 20000;
constexpr const char* kShortLimits = "short-limits.conf";
constexpr const char* kDefaultLimits = "no-such.conf";  // missing: every default

int clientFd = -1;
int16_t pumpTxBlock[audio::kBlockSamples];
double levelled[audio::kBlockSamples];  // silence: the byte 128, never a frame mark

void checkState() {
    check(testing::flagsMatchPhase(link::snapshot()),
          "the flags are not the row of the connection state table for its phase");
    const int fill = link::ringFill();
    check(fill >= 0 && fill < link::kRingSize, "the ring's fill is outside 0..110249");
    const int w = txRing.ringWritePos, r = txRing.ringReadPos;
    check(w >= 0 && w < link::kRingSize && r >= 0 && r < link::kRingSize,
          "a ring position is outside the ring");
}

// One block of the audio pump, as its receive or transmit loop runs it,
// then what the station queued goes to the client.
void pumpBlock() {
    if (linkState.txActive == 1) {
        audio::fillTxBlock(pumpTxBlock, audio::kBlockSamples);
    } else if (linkState.clientConnected == 1 && linkState.rxStreaming == 1) {
        link::sendRxAudio(levelled, audio::kBlockSamples);
    }
    checkState();
    link::flushToClient();
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

// The client's side: reads what the server sends until the end, checking
// that receive audio (all 128 here) and "P" and "N" frames come whole and
// never inside one another.
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
    }
    check(inFrame == 0, "the server's last frame was cut short");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config::setNoticeSink([](const char*) {});
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
    static constexpr std::size_t kReads[4] = {kMaxClientBytes, 1, 7, 1500};
    const std::size_t readSize = kReads[left >> 6 & 3];
    const int tailBlocks = (left >> 4 & 3) == 0 ? 0 : 1 << (2 * (left >> 4 & 3));

    // What the previous connection left: the rates, and audio in the ring.
    link::resetLinkState();
    if (left & 1) txRing.ringWritePos = fill;
    linkState.rxHalfRate = (left >> 1) & 1;
    linkState.txHalfRate = (left >> 2) & 1;
    audio::clearTxFilterDelay();
    useLimits(left & 8);
    checkState();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzz::fail("no socket pair");
    clientFd = pair[1];
    std::thread client(readServer);

    // The connection as the link server thread makes it, without its clock.
    link::attachClientSocket(pair[0]);
    linkState.storePeerAddress("127.0.0.1");
    check(link::transition(link::LinkEvent::accepted), "the first client was not accepted");
    check(link::ringFill() == 0, "a new client finds audio an earlier one left in the ring");
    checkState();

    link::FrameReader& reader = *new link::FrameReader;
    // A pump block after every read, but for tiny reads after every 64 bytes.
    std::size_t sinceBlock = 0;
    for (std::size_t at = 0; at < count; at += readSize) {
        const std::size_t n = count - at < readSize ? count - at : readSize;
        link::feedFrames(reader, bytes + at, n, [](const link::LinkFrame& frame) {
            const bool transmitting = linkState.txActive == 1;
            if (link::carryOutFrame(frame)) {
                check(!transmitting, "a transmission started twice");
                check(link::ringFill() == 0, "a transmission starts with audio in the ring");
                link::sendFillReport();
            }
            checkState();
        });
        sinceBlock += n;
        if (sinceBlock >= 64 || at + n == count) {
            sinceBlock = 0;
            pumpBlock();
        }
    }
    delete &reader;
    for (int i = 0; i < tailBlocks; ++i) pumpBlock();

    check(link::transition(link::LinkEvent::lost), "the connection could not be lost");
    link::detachClientSocket();
    ::close(pair[0]);
    client.join();
    ::close(clientFd);

    checkState();
    check(linkState.clientConnected == 0 && linkState.txActive == 0 && linkState.rxStreaming == 0 &&
              link::ringFill() == 0,
          "the ended connection left a client, a transmission or audio behind");
    return 0;
}
