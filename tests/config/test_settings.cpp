// SPDX-License-Identifier: GPL-3.0-or-later
// "marvane.conf": what each line gives, what a bad line costs (one notice
// naming the line and the key, that key's default), and that the allow list
// fails closed.

#include "config/notice.h"
#include "config/settings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace {

using namespace marvane::config;

std::vector<std::string> notices;
void keep(const char* text) { notices.emplace_back(text); }

Settings parse(const std::string& text) {
    notices.clear();
    setNoticeSink(keep);
    Settings s = parseSettings(text, "marvane.conf");
    setNoticeSink(nullptr);
    return s;
}

uint32_t ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

TEST(Settings, GoodLinesCommentsAndAnAllowListOverSeveralLines) {
    const Settings s = parse("# station\n"
                             "[link]\n"
                             "port = 4020   # not the default\n"
                             "listen = 127.0.0.1 ; loopback only\n"
                             "allow = 192.168.1.77/24, 203.0.113.7\n"
                             "   10.0.0.0/8\n"
                             "[transmit]\n"
                             "max_seconds = 0\n"
                             "silence_seconds=30\n"
                             "[sound]\n"
                             "give_up_seconds = 120\n");
    EXPECT_TRUE(notices.empty()) << notices.front();
    EXPECT_EQ(s.sound.giveUpSeconds, 120);
    EXPECT_EQ(s.link.port, 4020);
    EXPECT_EQ(s.link.listenAddress, ip("127.0.0.1"));
    EXPECT_FALSE(s.link.allowEveryone);
    EXPECT_TRUE(clientAllowed(s.link, ip("192.168.1.3")));  // host bits of the network ignored
    EXPECT_TRUE(clientAllowed(s.link, ip("203.0.113.7")));
    EXPECT_TRUE(clientAllowed(s.link, ip("10.200.1.1")));   // the continued line
    EXPECT_FALSE(clientAllowed(s.link, ip("203.0.113.8")));
    EXPECT_FALSE(clientAllowed(s.link, ip("192.168.2.1")));
    EXPECT_EQ(s.transmit.maxSeconds, 0);
    EXPECT_EQ(s.transmit.silenceSeconds, 30);
}

TEST(Settings, EachBadLineIsOneNoticeAndItsKeyKeepsTheDefault) {
    const Settings s = parse("[link]\n"
                             "port = 0x10\n"
                             "\n"
                             "just words\n"
                             "[transmit]\n"
                             "max_seconds = -1\n"
                             "silence_seconds = 99999999999\n"
                             "colour = red\n"
                             "[sound]\n"
                             "give_up_seconds = 2 minutes\n");
    ASSERT_EQ(notices.size(), 6u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 2: [link] port: \"0x10\"", 0), 0u) << notices[0];
    EXPECT_EQ(notices[1].rfind("marvane.conf line 4:", 0), 0u) << notices[1];
    EXPECT_EQ(notices[2].rfind("marvane.conf line 6: [transmit] max_seconds:", 0), 0u);
    EXPECT_EQ(notices[3].rfind("marvane.conf line 7: [transmit] silence_seconds:", 0), 0u);
    EXPECT_EQ(notices[4], "marvane.conf line 8: [transmit] colour: no such setting; ignored");
    EXPECT_EQ(notices[5], "marvane.conf line 10: [sound] give_up_seconds: \"2 minutes\" is not a "
                          "number of seconds (0 to 604800, 0 for never); 0 (never) is kept");
    EXPECT_EQ(s.sound.giveUpSeconds, 0);
    EXPECT_EQ(s.link.port, 3020);
    EXPECT_EQ(s.transmit.maxSeconds, 180);
    EXPECT_EQ(s.transmit.silenceSeconds, 10);
    EXPECT_TRUE(s.link.allowEveryone);
}

// A typo in a setting that guards the transmitter must not open the station.
TEST(Settings, AllowAndListenFailClosed) {
    Settings s = parse("[link]\nallow = 192.168.1.300 host.example 10.0.0.0/33\n");
    EXPECT_EQ(notices.size(), 4u);  // three entries and the fallback
    EXPECT_FALSE(s.link.allowEveryone);
    EXPECT_TRUE(clientAllowed(s.link, ip("127.0.0.1")));
    EXPECT_FALSE(clientAllowed(s.link, ip("127.0.0.2")));
    EXPECT_FALSE(clientAllowed(s.link, ip("192.168.1.30")));

    s = parse("[link]\nallow = 192.168.1.0/24 " + std::string(250, '1') + "\n");
    ASSERT_EQ(notices.size(), 2u);  // the line is too long; nothing of it is taken
    EXPECT_NE(notices[0].find("line 2: [link] allow: the line is too long"), std::string::npos);
    EXPECT_FALSE(clientAllowed(s.link, ip("192.168.1.1")));
    EXPECT_TRUE(clientAllowed(s.link, ip("127.0.0.1")));

    s = parse("[link]\nlisten = 0.0.0.0.0\n");
    EXPECT_EQ(s.link.listenAddress, ip("127.0.0.1"));
}

// [ptt]: what a rig needs is taken as written; a bad or missing value keys
// nothing through hamlib, never a guessed device, and serial keying does not
// stand in for it.
TEST(Settings, PttLinesAndWhatABadOneCosts) {
    Settings s = parse("[ptt]\nmethod = hamlib\nrig_model = 3073\nrig_port = /dev/ttyUSB0\n"
                       "ptt_type = cm108\nptt_port = /dev/hidraw1  # the interface\n"
                       "serial_speed = 19200\n");
    EXPECT_TRUE(notices.empty()) << notices.front();
    EXPECT_EQ(s.ptt.method, PttMethod::hamlib);
    EXPECT_EQ(s.ptt.rigModel, 3073);
    EXPECT_EQ(s.ptt.rigModelLine, 3);
    EXPECT_EQ(s.ptt.rigPort, "/dev/ttyUSB0");
    EXPECT_EQ(s.ptt.pttType, "CM108");
    EXPECT_EQ(s.ptt.pttPort, "/dev/hidraw1");
    EXPECT_EQ(s.ptt.serialSpeed, 19200);

    s = parse("[ptt]\nmethod = hamlib\nrig_model = ic7300\nptt_type = VOX\nserial_speed = fast\n");
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 3: [ptt] rig_model: \"ic7300\"", 0), 0u);
    EXPECT_EQ(notices[1].rfind("marvane.conf line 4: [ptt] ptt_type: \"VOX\"", 0), 0u);
    EXPECT_NE(notices[2].find("line 5: [ptt] serial_speed:"), std::string::npos);
    EXPECT_EQ(s.ptt.method, PttMethod::none);

    s = parse("[ptt]\nmethod = rts\n");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "marvane.conf line 2: [ptt] method: \"rts\" is not serial or hamlib; "
                          "nothing is keyed");
    EXPECT_EQ(s.ptt.method, PttMethod::none);

    // What hamlib would fill in by itself is a device of its choosing.
    s = parse("[ptt]\nmethod = hamlib\nrig_port = /dev/ttyUSB0\n");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 2: [ptt] method = hamlib needs rig_model", 0), 0u);
    EXPECT_EQ(s.ptt.method, PttMethod::none);
    s = parse("[ptt]\nmethod = hamlib\nrig_model = 1\nptt_type = CM108\n");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 4: [ptt] ptt_type = CM108 needs ptt_port", 0), 0u);
    EXPECT_EQ(s.ptt.method, PttMethod::none);

    // Lines for hamlib that serial keying does not use cost only their notice.
    s = parse("[ptt]\nrig_model = -2\n");
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(s.ptt.method, PttMethod::serial);
}

TEST(Settings, WebSectionAndWhatABadLineCostsThere) {
    Settings s = parse("[web]\n"
                       "port = 9443\n"
                       "listen = 127.0.0.1\n"
                       "certificate = /etc/ssl/station.pem\n"
                       "key = /etc/ssl/station.key\n"
                       "max_listeners = 5\n"
                       "max_per_address = 2\n"
                       "session_hours = 24\n"
                       "guests = yes\n"
                       "frame_ms = 10\n");
    EXPECT_TRUE(notices.empty()) << notices.front();
    EXPECT_EQ(s.web.port, 9443);
    EXPECT_EQ(s.web.listenAddress, ip("127.0.0.1"));
    EXPECT_EQ(s.web.certificate, "/etc/ssl/station.pem");
    EXPECT_EQ(s.web.key, "/etc/ssl/station.key");
    EXPECT_EQ(s.web.maxListeners, 5);
    EXPECT_EQ(s.web.maxPerAddress, 2);
    EXPECT_EQ(s.web.sessionHours, 24);
    EXPECT_TRUE(s.web.guests);
    EXPECT_EQ(s.web.frameMs, 10);

    // What guards access fails closed; the rest keeps its default.
    s = parse("[web]\nport = https\nlisten = 0.0.0.O\nmax_listeners = 0\nguests = Yes\n"
              "certificate = my cert.pem\nwebsocket = on\n");
    ASSERT_EQ(notices.size(), 6u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 2: [web] port: \"https\"", 0), 0u) << notices[0];
    EXPECT_EQ(notices[5], "marvane.conf line 7: [web] websocket: no such setting; ignored");
    EXPECT_EQ(s.web.port, 8443);
    EXPECT_EQ(s.web.listenAddress, ip("127.0.0.1"));
    EXPECT_EQ(s.web.maxListeners, 50);
    EXPECT_FALSE(s.web.guests);
    EXPECT_TRUE(s.web.certificate.empty());
    EXPECT_EQ(parse("[web]\nport = 0\n").web.port, 0);  // no web station
    // Opus frames of another length than 10 or 20 ms are not offered.
    EXPECT_EQ(parse("[web]\nframe_ms = 5\n").web.frameMs, 20);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind("marvane.conf line 2: [web] frame_ms: \"5\"", 0), 0u) << notices[0];
}

}  // namespace
