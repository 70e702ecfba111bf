// SPDX-License-Identifier: GPL-3.0-or-later
// Sessions end when their time is up, at logout, and when their account
// goes or changes role; five failed logins from one address within a minute
// make it wait a minute (others go on).

#include "web/sessions.h"

#include <gtest/gtest.h>

namespace {

using namespace marvane::web;
using std::chrono::minutes;
using std::chrono::seconds;

TEST(Sessions, EndAtTheirTimeAtLogoutAndWithTheirAccount) {
    SessionTable table;
    const Clock::time_point t0 = Clock::now();
    const std::string a = openSession(table, "alice", Role::operator_, 12, t0);
    const std::string b = openSession(table, "bob", Role::listener, 1, t0);
    EXPECT_EQ(a.size(), 64u);
    EXPECT_NE(a, b);
    ASSERT_NE(findSession(table, a, t0), nullptr);
    EXPECT_EQ(findSession(table, a, t0)->name, "alice");
    EXPECT_EQ(findSession(table, "", t0), nullptr);
    EXPECT_EQ(findSession(table, a.substr(0, 63), t0), nullptr);

    EXPECT_NE(findSession(table, b, t0 + minutes(59)), nullptr);
    EXPECT_EQ(findSession(table, b, t0 + minutes(60)), nullptr);
    EXPECT_EQ(findSession(table, b, t0), nullptr);  // gone for good

    closeSession(table, a);
    EXPECT_EQ(findSession(table, a, t0), nullptr);

    const std::string c = openSession(table, "carol", Role::operator_, 1, t0);
    const std::string d = openSession(table, "dave", Role::listener, 1, t0);
    const std::string e = openSession(table, "erin", Role::listener, 1, t0);
    AccountBook book;
    book.accounts.push_back({"carol", Role::listener, "x"});  // no longer an operator
    book.accounts.push_back({"dave", Role::listener, "x"});
    EXPECT_EQ(closeSessionsNotIn(table, book), 2u);  // carol changed, erin removed
    EXPECT_EQ(findSession(table, c, t0), nullptr);
    EXPECT_NE(findSession(table, d, t0), nullptr);
    EXPECT_EQ(findSession(table, e, t0), nullptr);
}

TEST(LoginLimits, FiveFailuresInAMinuteMakeThatAddressWaitAMinute) {
    LoginLimiter limiter;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mayTryLogin(limiter, "192.0.2.1", t0 + seconds(i)));
        EXPECT_FALSE(loginDone(limiter, "192.0.2.1", false, t0 + seconds(i)));
    }
    ASSERT_TRUE(mayTryLogin(limiter, "192.0.2.1", t0 + seconds(10)));
    EXPECT_TRUE(loginDone(limiter, "192.0.2.1", false, t0 + seconds(10)));  // the one log line
    EXPECT_FALSE(mayTryLogin(limiter, "192.0.2.1", t0 + seconds(11)));    // the sixth: 429
    EXPECT_FALSE(mayTryLogin(limiter, "192.0.2.1", t0 + seconds(69)));
    EXPECT_TRUE(mayTryLogin(limiter, "192.0.2.2", t0 + seconds(11)));     // another address
    EXPECT_TRUE(mayTryLogin(limiter, "192.0.2.1", t0 + seconds(70)));
    EXPECT_FALSE(loginDone(limiter, "192.0.2.1", true, t0 + seconds(70)));
}

TEST(LoginLimits, OldFailuresAgeOutAndLoginsBeingCheckedCount) {
    LoginLimiter limiter;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mayTryLogin(limiter, "a", t0));
        loginDone(limiter, "a", false, t0);
    }
    // A minute later the four are forgotten: five more are allowed.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mayTryLogin(limiter, "a", t0 + seconds(61)));
        EXPECT_FALSE(loginDone(limiter, "a", false, t0 + seconds(61)));
    }
    // Five at once from one address: the sixth waits for their outcome.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(mayTryLogin(limiter, "b", t0));
    EXPECT_FALSE(mayTryLogin(limiter, "b", t0));
    for (int i = 0; i < 5; ++i) loginDone(limiter, "b", true, t0);
    EXPECT_TRUE(mayTryLogin(limiter, "b", t0));

    // A login never checked (the station too busy) neither counts nor
    // forgets the failures before it.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mayTryLogin(limiter, "c", t0));
        loginDone(limiter, "c", false, t0);
    }
    ASSERT_TRUE(mayTryLogin(limiter, "c", t0));
    loginDropped(limiter, "c");
    ASSERT_TRUE(mayTryLogin(limiter, "c", t0));
    EXPECT_TRUE(loginDone(limiter, "c", false, t0));
}

}  // namespace
