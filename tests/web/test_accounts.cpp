// SPDX-License-Identifier: GPL-3.0-or-later
// "web-users.txt": what a line must hold, what a bad one costs (a notice,
// and nobody logs in with it), that the file is written whole and readable by
// its owner only, and that a password matches only its own hash.

#include "config/notice.h"
#include "web/accounts.h"

#include "common/workdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using namespace marvane::web;

std::vector<std::string> notices;
void keep(const char* text) { notices.emplace_back(text); }

AccountBook parse(const std::string& text) {
    notices.clear();
    marvane::config::setNoticeSink(keep);
    AccountBook book = parseAccounts(text, "web-users.txt");
    marvane::config::setNoticeSink(nullptr);
    return book;
}

TEST(Accounts, BadLinesAreLeftOutWithANoticeEach) {
    const std::string hash = "$argon2id$v=19$m=65536,t=2,p=1$c2FsdHNhbHQ$aGFzaGhhc2g";
    const AccountBook book = parse("# accounts\n"
                                   "alice operator " + hash + "\n"
                                   "bob listener " + hash + "\n"
                                   "carol admin " + hash + "\n"            // no such role
                                   "dave listener plain-text-password\n"   // not a hash
                                   "bad/name operator " + hash + "\n"
                                   "alice listener " + hash + "\n"         // the name again
                                   "erin listener " + hash + " more\n"
                                   "\n");
    ASSERT_EQ(book.accounts.size(), 2u);
    EXPECT_EQ(book.accounts[0].name, "alice");
    EXPECT_EQ(book.accounts[0].role, Role::operator_);
    EXPECT_EQ(book.accounts[1].role, Role::listener);
    ASSERT_EQ(notices.size(), 5u);
    EXPECT_EQ(notices[0].rfind("web-users.txt line 4:", 0), 0u) << notices[0];
    EXPECT_EQ(notices[4].rfind("web-users.txt line 8:", 0), 0u) << notices[4];
    EXPECT_EQ(findAccount(book, "dave"), nullptr);
}

TEST(Accounts, WrittenWholeForItsOwnerOnlyAndPasswordsMatchTheirHash) {
    marvane::testing::TempWorkingDir dir("marvane-accounts");
    ASSERT_TRUE(passwordHashingReady());
    AccountBook book;
    book.accounts.push_back({"alice", Role::operator_, hashPassword("correct horse")});
    book.accounts.push_back({"bob", Role::listener, hashPassword("battery staple")});
    ASSERT_EQ(book.accounts[0].hash.rfind("$argon2id$", 0), 0u);
    std::string error;
    ASSERT_TRUE(writeAccounts(book, kAccountsFileName, error)) << error;
    struct stat s {};
    ASSERT_EQ(::stat(kAccountsFileName, &s), 0);
    EXPECT_EQ(s.st_mode & 0777, 0600u);
    EXPECT_NE(::stat("web-users.txt.new", &s), 0);  // nothing left beside it

    const AccountBook read = readAccounts();
    ASSERT_EQ(read.accounts.size(), 2u);
    EXPECT_TRUE(checkPassword(findAccount(read, "alice"), "correct horse"));
    EXPECT_FALSE(checkPassword(findAccount(read, "alice"), "battery staple"));
    EXPECT_FALSE(checkPassword(findAccount(read, "alice"), ""));
    EXPECT_TRUE(checkPassword(findAccount(read, "bob"), "battery staple"));
    // No account: never a match, whatever the password.
    EXPECT_FALSE(checkPassword(nullptr, "no such account: never matches"));
}

}  // namespace
