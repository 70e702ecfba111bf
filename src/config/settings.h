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

struct Settings {
    LinkSettings link;
    TransmitSettings transmit;
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
