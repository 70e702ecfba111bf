// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a PTT port whose driver blocks in open: keying from the audio pump
// must not wait behind it.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ptt/ptt.h"

namespace {

using namespace marvane::ptt;

// A line layer whose open of "/dev/ttyS1" blocks until released (or gives up
// after a long while, so that a keying call stuck behind it ends the test
// with a failure instead of a hang).
struct SlowOpen {
    std::mutex m;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    bool gaveUp = false;
    int nextFd = 200;
    std::vector<std::string> calls;
} slow;

constexpr std::chrono::seconds kGiveUp{20};

void log(const std::string& what, int fd) {
    std::lock_guard lock(slow.m);
    slow.calls.push_back(what + " " + std::to_string(fd));
}

int slowOpen(const char* device) {
    std::unique_lock lock(slow.m);
    if (std::string(device) == "/dev/ttyS1") {
        slow.entered = true;
        slow.changed.notify_all();
        if (!slow.changed.wait_for(lock, kGiveUp, [] { return slow.released; }))
            slow.gaveUp = true;
    }
    const int fd = slow.nextFd++;
    slow.calls.push_back(std::string("open ") + device + " " + std::to_string(fd));
    return fd;
}
void slowClose(int fd) { log("close", fd); }
int slowRaise(int fd, int lines) {
    log(lines == kLineRts ? "raise RTS" : "raise", fd);
    return 0;
}
int slowDrop(int fd, int lines) {
    log(lines == kLineRts ? "drop RTS" : lines == kLineDtr ? "drop DTR" : "drop RTS+DTR", fd);
    return 0;
}
void slowPrepare(int fd) { log("prepare", fd); }

const SerialLines kSlowLines{slowOpen, slowClose, slowRaise, slowDrop, slowPrepare};

// Catches an open (or its termios set-up) done while holding the lock that
// keying takes: with the transmitter keyed on the old port, the pump's pttOff
// would wait for as long as the driver blocks the window thread's open. The
// old port is closed (HUPCL drops its lines) before the new one opens, and
// the new one is in place, its lines dropped, once the open returns.
TEST(PttSlowOpen, KeyingDoesNotWaitForAPortThatIsOpening) {
    setSerialLines(&kSlowLines);
    openPttPort('1');  // /dev/ttyS0 opens at once
    pttOn();

    std::thread window([] { openPttPort('2'); });
    {
        std::unique_lock lock(slow.m);
        ASSERT_TRUE(slow.changed.wait_for(lock, kGiveUp, [] { return slow.entered; }));
    }
    pttOff();  // the pump ending a transmission
    bool openWasStillBlocked;
    {
        std::lock_guard lock(slow.m);
        openWasStillBlocked = !slow.gaveUp;
        slow.released = true;
    }
    slow.changed.notify_all();
    window.join();

    EXPECT_TRUE(openWasStillBlocked) << "pttOff waited for the open to give up";
    EXPECT_TRUE(pttPortOpen());
    pttOn();
    setSerialLines(nullptr);
    std::lock_guard lock(slow.m);
    EXPECT_EQ(slow.calls,
              (std::vector<std::string>{"open /dev/ttyS0 200", "drop RTS+DTR 200", "prepare 200",
                                        "drop RTS+DTR 200", "raise RTS 200", "raise 200",
                                        "drop RTS+DTR 200", "close 200", "open /dev/ttyS1 201", "drop RTS+DTR 201",
                                        "prepare 201", "drop RTS+DTR 201", "raise RTS 201",
                                        "raise 201", "close 201"}));
}

}  // namespace
