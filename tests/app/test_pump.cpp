// SPDX-License-Identifier: GPL-3.0-or-later
// The audio pump's cycle, block by block: the manual sound device lets the
// test finish each capture and playback buffer itself, and the real link
// server serves a loopback client, so every stage change, keying call and
// played sample is in a known order.

#include "app_support.h"
#include "link/link_harness.h"

#include "audio/audio_pump.h"
#include "config/notice.h"
#include "config/settings.h"
#include "link/link_state.h"
#include "link/tx_ring.h"
#include "ptt/ptt.h"
#include "sound/sound.h"
#include "sound/wave/manual.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace marvane::testing {
namespace {

namespace manual = sound::wave::manual;
using sound::wave::Direction;

constexpr int kBlock = 1024;

using Events = std::vector<std::string>;

const Events kIdle{"address idle", "mode  ", "info  "};
const Events kReceive{"address 127.0.0.1", "mode RX", "level 0"};
const Events kKeyed{"mode TX", "ptt 1"};
const Events kKeyedAndUnkeyed{"mode TX", "ptt 1", "ptt 0"};

Events operator+(Events a, const Events& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<int16_t> silence(int blocks) { return std::vector<int16_t>(blocks * kBlock, 0); }

// Waits until the pump has taken back every buffer the test finished (all
// four are queued again on both sides) and blocks on the device of that
// direction: it has done everything the test handed it.
bool pumpWaitsOn(Direction direction) {
    return waitFor([direction] {
        return manual::queued(Direction::input) == 4 && manual::queued(Direction::output) == 4 &&
               manual::waiters(direction) > 0;
    });
}

class Pump : public ::testing::Test {
protected:
    void SetUp() override {
        // The pump runs until the process ends: one per process.
        static std::atomic<bool> started{false};
        if (started.exchange(true))
            GTEST_SKIP() << "the pump needs a process of its own: run each test alone";
        resetLinkForTest();
        manual::install();
        manual::setDevices({"Line In"}, {"Speakers"});
        sound::initSoundCards();
        sound::selectCaptureDevice(0, true);
        sound::selectPlaybackDevice(0, true);
        ptt::setPttObserver(recordPtt);
        std::thread(audio::runAudioPump, recordingSink()).detach();
        ASSERT_TRUE(eventLog().waitForCount(kIdle.size()));
        ASSERT_TRUE(pumpWaitsOn(Direction::input));
        ASSERT_EQ(eventLog().copy(), kIdle);
    }

    // One captured block for the pump, which then goes on until it waits
    // for the next read (or, see the callers, for a playback buffer).
    static void captureOneBlock(int16_t firstValue = 100) {
        ASSERT_TRUE(manual::completeCapture(firstValue));
    }

    // Connects a client and lets the pump notice it with one block.
    void enterReceive() {
        connection.start();
        captureOneBlock();
        ASSERT_TRUE(eventLog().waitForCount(kIdle.size() + kReceive.size()));
        ASSERT_TRUE(pumpWaitsOn(Direction::input));
        ASSERT_EQ(eventLog().copy(), kIdle + kReceive);
    }

    // "T", then the "N" that answers it once the ring is emptied.
    void startTransmitting() {
        sendBytes(connection.client(), frame('T', 0));
        std::vector<uint8_t> reply = readBytes(connection.client(), 6);
        ASSERT_EQ(reply, (std::vector<uint8_t>{1, 2, 3, 'N', 0, 0}));
    }

    // Plays every queued buffer and returns all that was played.
    static std::vector<int16_t> playEverything() {
        while (manual::completePlayback()) {
        }
        return manual::played();
    }

    ServedConnection connection;
};

// A pump that kept receiving would send to a closed socket; one that keyed on
// its way through the transmit stage would key the transmitter for an
// instant at every disconnect.
TEST_F(Pump, ClientLostWhileReceivingPassesThroughTransmitToIdleUnkeyed) {
    enterReceive();
    captureOneBlock();
    EXPECT_EQ(readBytes(connection.client(), kBlock).size(), static_cast<size_t>(kBlock));
    ASSERT_TRUE(pumpWaitsOn(Direction::input));

    connection.end();
    ASSERT_EQ(link::linkState.rxStreaming.load(), 0);
    captureOneBlock();
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() + 1));
    ASSERT_TRUE(pumpWaitsOn(Direction::input));
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + Events{"mode TX, passing"} + kIdle);
    // The transmit loop did not run: only the four silent start-up blocks.
    EXPECT_EQ(playEverything(), silence(4));
}

// The transmission's blocks are played in order, the silent block that ends
// it is still written, and only then is the transmitter unkeyed; the pump
// then passes through idle back into receive.
TEST_F(Pump, DrainedTransmissionPlaysItsBlocksThenUnkeysAndReceivesAgain) {
    enterReceive();
    startTransmitting();
    std::vector<uint8_t> audio(2 * kBlock);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(1 + (i * 37) % 254);
    sendBytes(connection.client(), frameWith('S', audio));
    sendBytes(connection.client(), frame('R', 0));
    ASSERT_TRUE(waitFor([] {
        return link::ringFill() == 2 * kBlock && link::linkState.txDrainPending.load() == 1;
    }));

    // The receive loop sees rxStreaming clear before its next block.
    captureOneBlock();
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + kKeyed);

    // Each played buffer frees one for the next block: two of audio, then the
    // silent one that ends the transmission, written while still keyed.
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    EXPECT_EQ(eventLog().copy().back(), "ptt 1");
    EXPECT_EQ(link::linkState.txActive.load(), 0); // that block has ended it
    ASSERT_TRUE(manual::completePlayback());

    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() * 2 + 3));
    ASSERT_TRUE(pumpWaitsOn(Direction::input));
    EXPECT_EQ(eventLog().copy(),
              kIdle + kReceive + kKeyedAndUnkeyed + kIdle + kReceive);

    std::vector<int16_t> expected = silence(4);
    for (uint8_t b : audio)
        expected.push_back(static_cast<int16_t>((b - 128) * 256));
    std::vector<int16_t> last = silence(1);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(playEverything(), expected);

    // Receive audio flows again.
    captureOneBlock();
    std::vector<uint8_t> rx = readBytes(connection.client(), kBlock);
    EXPECT_EQ(rx.size(), static_cast<size_t>(kBlock));
}

// A client lost in the middle of a transmission: the block in progress is
// played, then the pump unkeys and goes idle, without waiting for the ring.
TEST_F(Pump, ClientLostWhileTransmittingUnkeysAfterTheBlockInProgress) {
    enterReceive();
    startTransmitting();
    std::vector<uint8_t> audio(4 * kBlock, 200);
    sendBytes(connection.client(), frameWith('S', audio));
    ASSERT_TRUE(waitFor([] { return link::ringFill() == 4 * kBlock; }));
    captureOneBlock();
    ASSERT_TRUE(pumpWaitsOn(Direction::output));

    connection.end();
    ASSERT_EQ(link::linkState.txActive.load(), 0);
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() + 3));
    ASSERT_TRUE(pumpWaitsOn(Direction::input));
    EXPECT_EQ(eventLog().copy(),
              kIdle + kReceive + kKeyedAndUnkeyed + kIdle);
    std::vector<int16_t> expected = silence(4);
    expected.insert(expected.end(), kBlock, static_cast<int16_t>((200 - 128) * 256));
    EXPECT_EQ(playEverything(), expected);
}

// The transmit command before the pump has noticed the client: the receive
// stage's entry is shown, its loop does not run, and no receive audio is sent.
TEST_F(Pump, TransmitBeforeTheConnectionIsNoticedSkipsTheReceiveLoop) {
    connection.start();
    startTransmitting();
    captureOneBlock();
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + kKeyed);
    EXPECT_TRUE(nothingArrives(connection.client()));
}

// The notices the pump gives, in order; from any thread.
struct Notices {
    static std::mutex& guard() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& texts() {
        static std::vector<std::string> t;
        return t;
    }
    Notices() {
        config::setNoticeSink([](const char* text) {
            std::lock_guard lock(guard());
            texts().emplace_back(text);
        });
    }
    ~Notices() { config::setNoticeSink(nullptr); }
    static bool has(const std::string& text) {
        std::lock_guard lock(guard());
        for (const std::string& t : texts())
            if (t == text) return true;
        return false;
    }
};

bool pumpWaitsForCapture() {
    return waitFor([] { return manual::waiters(Direction::input) > 0; });
}

// The playback device goes while the transmitter is keyed: the pump unkeys
// at once, without waiting for the ring, and the client is back in receive;
// the mode box says what is missing. A new "T" meanwhile keys nothing.
TEST_F(Pump, PlaybackDeviceThatFailsWhileTransmittingUnkeysAtOnceAndRefusesTheNext) {
    Notices notices;
    enterReceive();
    startTransmitting();
    sendBytes(connection.client(), frameWith('S', std::vector<uint8_t>(4 * kBlock, 200)));
    ASSERT_TRUE(waitFor([] { return link::ringFill() == 4 * kBlock; }));
    captureOneBlock();
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    ASSERT_EQ(eventLog().copy(), kIdle + kReceive + kKeyed);

    manual::failDevice(Direction::output, "No such device");
    const Events lost{"address idle", "mode no playback device", "info  ", "address 127.0.0.1",
                      "mode no playback device", "level 0"};
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() + kReceive.size() + 3 + lost.size()));
    ASSERT_TRUE(pumpWaitsForCapture());
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + kKeyedAndUnkeyed + lost);
    EXPECT_EQ(link::linkState.rxStreaming.load(), 1);
    EXPECT_TRUE(notices.has("playback device lost: Speakers: No such device"));
    EXPECT_TRUE(notices.has("transmission ended: the playback device failed"));
    captureOneBlock();
    EXPECT_EQ(readBytes(connection.client(), kBlock).size(), static_cast<size_t>(kBlock));

    eventLog().clear();
    startTransmitting();
    captureOneBlock();
    ASSERT_TRUE(eventLog().waitForCount(1 + lost.size()));
    ASSERT_TRUE(pumpWaitsForCapture());
    EXPECT_EQ(eventLog().copy(), Events{"mode TX, passing"} + lost);
    EXPECT_TRUE(notices.has("transmission refused: the playback device is lost"));
    EXPECT_EQ(link::linkState.txActive.load(), 0);
}

// A pump that stands still while keyed anywhere but in a wait for its
// sound device (here an open that does not return) is unkeyed by the guard
// within seconds, and its transmission is ended; the pump goes on once it
// can, and keys nothing more.
TEST_F(Pump, KeyedPumpThatStandsStillIsUnkeyedByTheGuard) {
    Notices notices;
    enterReceive();
    startTransmitting();
    sendBytes(connection.client(), frameWith('S', std::vector<uint8_t>(8 * kBlock, 200)));
    ASSERT_TRUE(waitFor([] { return link::ringFill() == 8 * kBlock; }));
    captureOneBlock();
    ASSERT_TRUE(pumpWaitsOn(Direction::output));
    manual::holdOpens(true);
    sound::selectPlaybackDevice(0, true);  // the next write opens the device again
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(waitFor([] { return manual::heldOpens() == 1; }));

    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() + kReceive.size() + 3));
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + kKeyedAndUnkeyed);
    EXPECT_EQ(manual::heldOpens(), 1);  // unkeyed while the pump still stands
    // The guard unkeys first, then ends the transmission and says so.
    EXPECT_TRUE(waitFor([] { return link::linkState.txActive.load() == 0; }));
    EXPECT_TRUE(waitFor(
        [] { return Notices::has("transmitter unkeyed: the audio pump has stood still for 3 s"); }));

    manual::holdOpens(false);
    ASSERT_TRUE(pumpWaitsOn(Direction::output));  // the block, behind four silent ones
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() * 2 + 4));
    EXPECT_EQ(eventLog().copy(),
              kIdle + kReceive + kKeyedAndUnkeyed + Events{"ptt 0"} + kIdle + kReceive);
}

// The limits of "marvane.conf", read before the pump starts.
class PumpWithLimits : public Pump {
protected:
    void startWith(const char* transmitSection) {
        char path[] = "/tmp/marvane-limits-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        const std::string text = std::string("[transmit]\n") + transmitSection;
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        config::loadSettings(path);
        std::remove(path);
        Pump::SetUp();
    }
    void SetUp() override {}

    // Plays the transmission block by block: the number of blocks the pump
    // had filled when the transmission ended (0 if it had not after
    // `limit`), calling beforeBlock(n) before the pump fills block n.
    int blocksUntilTheEnd(int limit, const std::function<void(int)>& beforeBlock = {}) {
        captureOneBlock(); // leaves the receive loop: the first block is filled
        for (int filled = 1; filled <= limit; ++filled) {
            if (!pumpWaitsOn(Direction::output))
                return 0;
            if (link::linkState.txActive.load() == 0)
                return filled;
            if (beforeBlock)
                beforeBlock(filled + 1);
            if (!manual::completePlayback())
                return 0;
        }
        return 0;
    }
};

// A frozen client program keeps its connection but sends nothing: after 10 s
// of silent blocks (108 of 1024 samples) the transmission ends as a drained
// one does, and the client is back in receive. A block of audio starts the
// count again.
TEST_F(PumpWithLimits, SilentClientEndsTheTransmissionAfterTenSeconds) {
    startWith("");
    enterReceive();
    startTransmitting();
    const int filled = blocksUntilTheEnd(400, [this](int next) {
        if (next != 51)
            return;
        sendBytes(connection.client(), frameWith('S', std::vector<uint8_t>(kBlock, 160)));
        ASSERT_TRUE(waitFor([] { return link::ringFill() == kBlock; }));
    });
    EXPECT_EQ(filled, 51 + 108);
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() * 2 + 3));
    EXPECT_EQ(eventLog().copy(), kIdle + kReceive + kKeyedAndUnkeyed + kIdle + kReceive);
    EXPECT_EQ(link::linkState.clientConnected.load(), 1);
    EXPECT_EQ(link::linkState.rxPhase.load(), 1);
}

// The longest transmission, 12 s (130 blocks) from its "T", ends it although
// the silence limit is off (0) and would otherwise never end it; a new "T"
// is taken afterwards.
TEST_F(PumpWithLimits, LongestTransmissionEndsItWithTheSilenceLimitOff) {
    startWith("max_seconds = 12\nsilence_seconds = 0\n");
    enterReceive();
    startTransmitting();
    EXPECT_EQ(blocksUntilTheEnd(400), 130);
    ASSERT_TRUE(manual::completePlayback());
    ASSERT_TRUE(eventLog().waitForCount(kIdle.size() * 2 + kReceive.size() * 2 + 3));
    EXPECT_EQ(link::linkState.rxPhase.load(), 1);
    readBytes(connection.client(), 1 << 16, 200); // the fill reports of the transmission
    startTransmitting();
    EXPECT_EQ(link::linkState.txActive.load(), 1);
}

} // namespace
} // namespace marvane::testing
