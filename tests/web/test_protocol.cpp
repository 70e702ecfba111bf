// SPDX-License-Identifier: GPL-3.0-or-later
// What a page sends: only flat JSON objects are taken, and each message
// type has the least role that may send it; a listener or guest never gets
// control of the radio.

#include "web/protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace marvane::web;

TEST(PageMessages, FlatObjectsAreTakenAndAnythingElseRefused) {
    PageMessage m;
    ASSERT_TRUE(parsePageMessage(R"( {"type":"hello","codecs":["opus","pcm"],"t":12.5,"x":true} )", m));
    EXPECT_EQ(m.text("type"), "hello");
    EXPECT_EQ(m.text("t"), "12.5");
    EXPECT_EQ(m.lists["codecs"], (std::vector<std::string>{"opus", "pcm"}));
    ASSERT_TRUE(parsePageMessage(R"({"type":"a\"b\\c\u0041"})", m));
    EXPECT_EQ(m.text("type"), "a\"b\\cA");
    ASSERT_TRUE(parsePageMessage("{}", m));
    for (const char* bad : {"", "[]", "{", "{\"a\":}", "{\"a\":{\"b\":1}}", "{\"a\":[1]}",
                            "{\"a\":1,}", "{\"a\":1} x", "{\"a\":1,\"a\":2}", "{\"a\":\"\x01\"}",
                            "{a:1}", "{\"a\":1e}", "{\"a\":nan}"})
        EXPECT_FALSE(parsePageMessage(bad, m)) << bad;
    EXPECT_FALSE(parsePageMessage("{\"a\":\"" + std::string(5000, 'x') + "\"}", m));
}

TEST(PageMessages, ControlOfTheRadioIsForOperatorsOnly) {
    Role least;
    for (const char* type : {"transmit", "release", "tune", "stream"}) {
        ASSERT_TRUE(leastRoleFor(type, least)) << type;
        EXPECT_FALSE(roleAllows(Role::guest, least)) << type;
        EXPECT_FALSE(roleAllows(Role::listener, least)) << type;
        EXPECT_TRUE(roleAllows(Role::operator_, least)) << type;
    }
    for (const char* type : {"hello", "ping"}) {
        ASSERT_TRUE(leastRoleFor(type, least));
        EXPECT_TRUE(roleAllows(Role::guest, least));
    }
    EXPECT_FALSE(leastRoleFor("", least));
    EXPECT_FALSE(leastRoleFor("Transmit", least));
}

}  // namespace
