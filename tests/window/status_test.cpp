// SPDX-License-Identifier: GPL-3.0-or-later
// The status mailbox: the audio pump's changes reach the window thread, the
// pump never waits for them, and the latest of each is never lost.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window_status.h"

namespace marvane::app {
namespace {

using namespace std::chrono_literals;

// Bounds liveness only; nothing is measured against it.
constexpr auto kPatience = 30s;

// A stand-in for the window: what it was shown, and how often it was woken.
struct FakeWindow {
    std::mutex guard;
    std::condition_variable changed;
    std::vector<std::string> shown;
    int wakes = 0;
    bool wakeWorks = true;
};

FakeWindow fake;

void showText(StatusBox box, const char* text) {
    static const char* names[] = {"address", "mode", "info"};
    std::lock_guard lock(fake.guard);
    fake.shown.push_back(std::string(names[static_cast<int>(box)]) + "=" + text);
}

void showLevel(int position) {
    std::lock_guard lock(fake.guard);
    fake.shown.push_back("level=" + std::to_string(position));
}

bool wake() {
    std::lock_guard lock(fake.guard);
    ++fake.wakes;
    fake.changed.notify_all();
    return fake.wakeWorks;
}

constexpr StatusTarget target{showText, showLevel, wake};

class StatusMailbox : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(fake.guard);
        fake.shown.clear();
        fake.wakes = 0;
        fake.wakeWorks = true;
    }
    void TearDown() override { closeStatusMailbox(); }

    static bool waitForWakes(int n) {
        std::unique_lock lock(fake.guard);
        return fake.changed.wait_for(lock, kPatience, [n] { return fake.wakes >= n; });
    }
    static std::vector<std::string> shown() {
        std::lock_guard lock(fake.guard);
        return fake.shown;
    }
    static int wakes() {
        std::lock_guard lock(fake.guard);
        return fake.wakes;
    }
};

// Catches a pump that waits for the window thread: a change returns while
// nobody shows it, and is shown when the window thread comes round; once the
// window is gone, changes are dropped without waking anything.
TEST_F(StatusMailbox, ChangeReturnsAtOnceAndIsShownWhenTheWindowComesRound) {
    openStatusMailbox(&target);
    auto call = std::async(std::launch::async, [] { windowStatusSink()->setModeText("RX"); });
    ASSERT_EQ(call.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(wakes(), 1);
    EXPECT_TRUE(shown().empty());
    applyPendingStatus();  // the window thread's turn
    EXPECT_EQ(shown(), std::vector<std::string>{"mode=RX"});
    closeStatusMailbox();
    windowStatusSink()->setLevelBar(7);
    EXPECT_EQ(wakes(), 1);
    applyPendingStatus();
    EXPECT_EQ(shown(), std::vector<std::string>{"mode=RX"});
}

// Catches a busy window thread getting its queue filled, and a change lost
// while it was busy: the latest of each box is shown once it comes round.
TEST_F(StatusMailbox, BusyWindowThreadCostsTheWaitOnlyAndLosesNothing) {
    openStatusMailbox(&target);
    const audio::StatusSink* sink = windowStatusSink();
    sink->setAddressText("idle");  // nobody applies meanwhile
    sink->setModeText(" ");
    sink->setInfoText(" ");
    sink->setAddressText("127.0.0.1");
    sink->setModeText("RX");
    sink->passTransmitStage();
    sink->setLevelBar(0);
    // One wake was on its way for all of them: a blocked window thread does
    // not get its queue filled.
    EXPECT_EQ(wakes(), 1);
    applyPendingStatus();
    EXPECT_EQ(shown(), (std::vector<std::string>{"address=127.0.0.1", "mode=TX", "info= ",
                                                 "level=0"}));
    // Once shown, the next change wakes the window again.
    sink->setModeText("TX");
    EXPECT_EQ(wakes(), 2);
}

// Catches a change lost when the window thread cannot be woken: it goes out
// with the next change that gets through.
TEST_F(StatusMailbox, ChangeThatCouldNotWakeGoesWithTheNext) {
    openStatusMailbox(&target);
    {
        std::lock_guard lock(fake.guard);
        fake.wakeWorks = false;
    }
    windowStatusSink()->setInfoText("W1AW");
    {
        std::lock_guard lock(fake.guard);
        fake.wakeWorks = true;
    }
    windowStatusSink()->setLevelBar(42);
    EXPECT_EQ(wakes(), 2);
    applyPendingStatus();
    EXPECT_EQ(shown(), (std::vector<std::string>{"info=W1AW", "level=42"}));
}

// Catches a long text overrunning the mailbox.
TEST_F(StatusMailbox, LongTextIsCut) {
    openStatusMailbox(&target);
    const std::string longText(300, 'x');
    windowStatusSink()->setAddressText(longText.c_str());
    applyPendingStatus();
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0], "address=" + std::string(63, 'x'));
}

}  // namespace
}  // namespace marvane::app
