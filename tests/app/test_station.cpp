// SPDX-License-Identifier: GPL-3.0-or-later
// The station's shutdown and the "Anounce" command, with a serial-line layer
// that records every line change and an announcer pointed at a loopback
// address that refuses at once.

#include "app_support.h"

#include "announce/announce.h"
#include "app/station.h"
#include "common/private_network.h"
#include "common/workdir.h"
#include "ptt/ptt.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace marvane::testing {
namespace {

// Every line change and close, in the same log as the announcer's outcomes.
const ptt::SerialLines kRecordingLines{
    [](const char*) { return 42; },
    [](int) { eventLog().add("close"); },
    [](int, int lines) {
        eventLog().add("raise " + std::to_string(lines));
        return 0;
    },
    [](int, int lines) {
        eventLog().add("drop " + std::to_string(lines));
        return 0;
    },
    [](int) {},
};

const std::string kDropRts = "drop " + std::to_string(ptt::kLineRts);
const std::string kDropDtr = "drop " + std::to_string(ptt::kLineDtr);

void recordAnnounce(int, int, const char* outcome) { eventLog().add(outcome); }

// Directory settings that make every exchange fail at once, without traffic
// beyond loopback: nothing listens on port 80 in the test's own network.
void pointAnnouncerAtNothing() {
    announce::DirectorySettings s{};
    std::snprintf(s.host, sizeof s.host, "127.0.0.3");
    std::snprintf(s.path, sizeof s.path, "/directory");
    std::snprintf(s.call, sizeof s.call, "N0CALL");
    std::snprintf(s.qrg, sizeof s.qrg, "0");
    std::snprintf(s.loc, sizeof s.loc, "-");
    announce::replaceDirectorySettings(s);
    // The loop must not announce on its own while the test runs.
    announce::setAnnouncerTimingForTests(std::chrono::hours(1), std::chrono::hours(1));
    announce::setAnnounceObserver(recordAnnounce);
    ptt::setPttObserver(nullptr); // the line layer records the keying here
}

// A transmitter left keyed during a withdraw that can take 10 s is the fault
// this order prevents: the lines drop and the port closes first, and keying
// after the shutdown reaches no port.
TEST(Shutdown, UnkeysAndClosesThePortBeforeTheWithdraw) {
    MARVANE_REQUIRE_PRIVATE_NETWORK();
    pointAnnouncerAtNothing();
    ptt::setSerialLines(&kRecordingLines);
    ptt::openPttPort('1');
    ptt::pttOn();
    eventLog().clear();

    app::announceMenuOn.store(1);
    app::shutdownStation();
    const std::vector<std::string> events = eventLog().copy();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0], kDropRts);
    EXPECT_EQ(events[1], kDropDtr);
    EXPECT_EQ(events[2], "drop " + std::to_string(ptt::kLineRts | ptt::kLineDtr));
    EXPECT_EQ(events[3], "close");
    EXPECT_EQ(events[4], "withdraw failed: cannot connect to 127.0.0.3:80");
    EXPECT_FALSE(ptt::pttPortOpen());

    ptt::pttOn();
    EXPECT_EQ(eventLog().copy().size(), 5u);
}

// "Anounce" off sends the withdraw before it returns; on again re-reads
// url.txt (a station that kept the old settings would announce the old call).
TEST(AnnounceCommand, TogglesOffWithAWithdrawAndOnWithAReRead) {
    MARVANE_REQUIRE_PRIVATE_NETWORK();
    TempWorkingDir workdir("marvane-app");
    writeFile("url.txt", "127.0.0.3 /directory N0CALL 0 -\n");
    pointAnnouncerAtNothing();
    app::announceMenuOn.store(1);
    announce::setAnnouncing('Y'); // the state start-up leaves
    eventLog().clear();

    app::toggleAnnouncing();
    EXPECT_EQ(app::announceMenuOn.load(), 0);
    EXPECT_EQ(eventLog().copy(),
              std::vector<std::string>{"withdraw failed: cannot connect to 127.0.0.3:80"});

    writeFile("url.txt", "127.0.0.4 /other K1ABC 7.074 JO01\n");
    app::toggleAnnouncing();
    EXPECT_EQ(app::announceMenuOn.load(), 1);
    const announce::DirectorySettings s = announce::currentDirectorySettings();
    EXPECT_STREQ(s.host, "127.0.0.4");
    EXPECT_STREQ(s.call, "K1ABC");
    EXPECT_EQ(eventLog().copy().size(), 1u); // switching on sends nothing at once
}

} // namespace
} // namespace marvane::testing
