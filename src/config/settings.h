// SPDX-License-Identifier: GPL-3.0-or-later
// "marvane.conf": the settings of the Linux port, an INI file in the working
// directory with one section per subsystem. Read once at start-up into one
// plain record that each subsystem reads from. A bad line is one notice
// naming the file, the line and the key, and that key keeps its default; a
// setting that guards who may reach the transmitter fails closed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace marvane::config {

inline constexpr const char* kSettingsFileName = "marvane.conf";

// An IPv4 network, address and mask in host byte order.
struct Ipv4Network {
    uint32_t address;
    uint32_t mask;
};

struct LinkSettings {
    int port = 3020;
    uint32_t listenAddress = 0;          // host order; 0 is every local address
    bool allowEveryone = true;           // no allow line
    std::vector<Ipv4Network> allow;      // when not everyone
};

struct TransmitSettings {
    int maxSeconds = 180;     // longest transmission from its "T"; 0 no limit
    int silenceSeconds = 10;  // silence that ends a transmission; 0 no limit
};

// How the transmitter is keyed. none: a bad [ptt] line, and nothing keys
// (never a guess at a device).
enum class PttMethod { serial, hamlib, none };

// [ptt]: serial keys through the Com Port menu's port and "txport.bin";
// hamlib through a rig that hamlib drives (CAT command, RTS or DTR of the
// rig's own port, a CM108 sound interface's GPIO pin, a GPIO line).
struct PttSettings {
    PttMethod method = PttMethod::serial;
    int rigModel = 0;          // hamlib's model number; 0: not given
    std::string rigPort;       // the rig's device or host:port; empty: hamlib's default
    std::string pttType = "RIG";  // RIG, RTS, DTR, CM108, GPIO or GPION
    std::string pttPort;       // the PTT's own device or GPIO line; empty: the rig's port
    int serialSpeed = 0;       // the CAT port's speed; 0: the rig's default
    // Lines of marvane.conf, for notices at start-up (0: not in the file).
    int methodLine = 0;
    int rigModelLine = 0;
};

// [sound]: a sound device lost for longer than give_up_seconds ends the
// station with a failure status, so that a service manager can start it
// afresh; 0: never, the station looks for the device for as long as it runs.
struct SoundSettings {
    int giveUpSeconds = 0;
};

// [web]: the web station, HTTPS only.
struct WebSettings {
    int port = 8443;                  // 0: no web station
    uint32_t listenAddress = 0;       // host order; 0 is every local address
    std::string certificate;          // PEM files; both empty: a self-signed pair
    std::string key;
    int maxListeners = 50;
    int maxPerAddress = 16;           // connections from one address
    int sessionHours = 12;
    bool guests = false;              // anyone may listen without an account
    int frameMs = 20;                 // the listeners' Opus frames: 10 or 20 ms
};

struct Settings {
    LinkSettings link;
    TransmitSettings transmit;
    PttSettings ptt;
    SoundSettings sound;
    WebSettings web;
};

// The settings in force: every default until loadSettings has run.
const Settings& settings();

// Reads "marvane.conf" (path) and makes it the settings in force; a missing
// file means every default. Notices for every bad line. Call at start-up,
// before the threads that read the settings start.
void loadSettings(const char* path = kSettingsFileName);

// Parses the text of a settings file; fileName names it in the notices.
Settings parseSettings(const std::string& text, const char* fileName);

// Whether an IPv4 address (host order) may connect under these settings.
bool clientAllowed(const LinkSettings& link, uint32_t address);

}  // namespace marvane::config
