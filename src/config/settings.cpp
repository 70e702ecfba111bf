// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/settings.h"

#include "config/notice.h"
#include "config/settings_file.h"

#include <arpa/inet.h>
#include <ini.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace marvane::config {
namespace {

Settings current;

// What the parser carries from line to line.
struct Parse {
    const char* fileName;
    const std::string* text;
    std::size_t offset = 0;
    int line = 0;              // the line the reader handed over last
    bool lineTooLong = false;  // that line was cut to fit the parser's buffer
    bool continuing = false;   // the line before was a setting
    bool allowSeen = false;
    bool allowTaken = false;   // at least one allow entry was valid
    bool methodBad = false;    // a [ptt] method line was not taken
    bool hamlibBad = false;    // a [ptt] line for hamlib was not taken
    int pttTypeLine = 0;
    Settings settings;
};

// Like fgets over the text, but always one whole line per call: a line too
// long for the parser's buffer is cut and marked, so that line numbers in the
// notices stay right. A line that is neither blank, a comment, a section, a
// setting nor the continuation of one is reported here: the parser itself
// only counts such lines.
char* readLine(char* out, int size, void* user) {
    Parse& p = *static_cast<Parse*>(user);
    const std::string& text = *p.text;
    if (p.offset >= text.size()) return nullptr;
    std::size_t end = text.find('\n', p.offset);
    if (end == std::string::npos) end = text.size();
    const std::size_t length = end - p.offset;
    const std::size_t kept = std::min(length, static_cast<std::size_t>(size - 2));
    std::memcpy(out, text.data() + p.offset, kept);
    out[kept] = '\n';
    out[kept + 1] = '\0';
    // A NUL byte would end the line early inside the parser: make it visible.
    for (std::size_t i = 0; i < kept; ++i)
        if (out[i] == '\0') out[i] = '?';
    p.offset = end + 1;
    ++p.line;
    p.lineTooLong = kept < length;

    const char* s = out;
    const bool indented = *s == ' ' || *s == '\t';
    while (*s != '\0' && std::isspace(static_cast<unsigned char>(*s))) ++s;
    if (*s == '\0' || *s == '#' || *s == ';') return out;  // blank or comment
    if (*s == '[') {
        p.continuing = false;
        return out;
    }
    const bool setting = std::strpbrk(s, "=:") != nullptr;
    if (setting || (indented && p.continuing)) {
        p.continuing = true;
    } else {
        notice("%s line %d: neither a [section], a key = value nor a comment; ignored",
               p.fileName, p.line);
        p.continuing = false;
    }
    return out;
}

// The value without a trailing "# comment" and surrounding blanks (the
// parser itself strips only "; comments").
std::string valueOf(const char* raw) {
    std::string v(raw);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i] == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(v[i - 1])))) {
            v.resize(i);
            break;
        }
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.pop_back();
    std::size_t start = 0;
    while (start < v.size() && std::isspace(static_cast<unsigned char>(v[start]))) ++start;
    return v.substr(start);
}

bool parseWhole(const std::string& v, long low, long high, int& out) {
    if (v.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < low || n > high || !std::isdigit(static_cast<unsigned char>(v[0])))
        return false;
    out = static_cast<int>(n);
    return true;
}

bool parseAddress(const std::string& text, uint32_t& out) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    out = ntohl(a.s_addr);
    return true;
}

// "a.b.c.d" or "a.b.c.d/n"; host bits of a network are ignored.
bool parseNetwork(const std::string& entry, Ipv4Network& out) {
    const std::size_t slash = entry.find('/');
    int bits = 32;
    if (slash != std::string::npos && !parseWhole(entry.substr(slash + 1), 0, 32, bits))
        return false;
    uint32_t address;
    if (!parseAddress(entry.substr(0, slash), address)) return false;
    out.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    out.address = address & out.mask;
    return true;
}

void parseAllow(Parse& p, const std::string& value) {
    if (!p.allowSeen) {
        p.allowSeen = true;
        p.settings.link.allowEveryone = false;
        p.settings.link.allow.clear();
    }
    std::size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ',' || std::isspace(static_cast<unsigned char>(value[i])))) ++i;
        std::size_t j = i;
        while (j < value.size() && value[j] != ',' && !std::isspace(static_cast<unsigned char>(value[j]))) ++j;
        if (j == i) break;
        const std::string entry = value.substr(i, j - i);
        Ipv4Network network{};
        if (parseNetwork(entry, network)) {
            p.settings.link.allow.push_back(network);
            p.allowTaken = true;
        } else {
            notice("%s line %d: [link] allow: \"%s\" is not an IPv4 address or network "
                   "(a.b.c.d or a.b.c.d/n); it is left out",
                   p.fileName, p.line, entry.c_str());
        }
        i = j;
    }
}

// What a [ptt] line that is not taken costs: nothing is ever keyed on a
// guess at the device that was meant.
const char* pttKept(const char* key) {
    return std::strcmp(key, "method") == 0 ? "nothing is keyed" : "nothing is keyed through hamlib";
}

void markPttBad(Parse& p, const char* key) {
    if (std::strcmp(key, "method") == 0)
        p.methodBad = true;
    else
        p.hamlibBad = true;
}

// A device path, a host:port or a GPIO line: one word of printable
// characters, short enough for hamlib's port names.
bool parseDevice(const std::string& v, std::string& out) {
    if (v.empty() || v.size() > 200) return false;
    for (const char c : v)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    out = v;
    return true;
}

void badValue(const Parse& p, const char* section, const char* key, const std::string& value,
              const char* expected, const char* kept) {
    notice("%s line %d: [%s] %s: \"%s\" is not %s; %s", p.fileName, p.line, section, key,
           value.c_str(), expected, kept);
}

// One [ptt] line; false for a key that is not one of the section's.
bool onPttSetting(Parse& p, const char* key, const std::string& value) {
    PttSettings& ptt = p.settings.ptt;
    auto keyIs = [&](const char* k) { return std::strcmp(key, k) == 0; };
    const char* expected = nullptr;
    if (keyIs("method")) {
        ptt.methodLine = p.line;
        if (value == "serial")
            ptt.method = PttMethod::serial;
        else if (value == "hamlib")
            ptt.method = PttMethod::hamlib;
        else
            expected = "serial or hamlib";
    } else if (keyIs("rig_model")) {
        ptt.rigModelLine = p.line;
        if (!parseWhole(value, 1, 999999, ptt.rigModel))
            expected = "a hamlib rig model number (rigctl -l lists them; 2 is a rigctld)";
    } else if (keyIs("rig_port")) {
        if (!parseDevice(value, ptt.rigPort)) expected = "a device (/dev/ttyUSB0) or host:port";
    } else if (keyIs("ptt_type")) {
        p.pttTypeLine = p.line;
        std::string type;
        for (const char c : value) type += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (type == "RIG" || type == "RTS" || type == "DTR" || type == "CM108" || type == "GPIO" ||
            type == "GPION")
            ptt.pttType = type;
        else
            expected = "RIG, RTS, DTR, CM108, GPIO or GPION";
    } else if (keyIs("ptt_port")) {
        if (!parseDevice(value, ptt.pttPort)) expected = "a device (/dev/hidraw0) or GPIO line number";
    } else if (keyIs("serial_speed")) {
        if (!parseWhole(value, 50, 10000000, ptt.serialSpeed))
            expected = "a speed in bits per second (e.g. 19200)";
    } else {
        return false;
    }
    if (expected) {
        badValue(p, "ptt", key, value, expected, pttKept(key));
        markPttBad(p, key);
    }
    return true;
}

// What the [ptt] lines give together: hamlib keys only with everything it
// needs named, never with a device guessed for it.
void settlePtt(Parse& p) {
    PttSettings& ptt = p.settings.ptt;
    if (p.methodBad) ptt.method = PttMethod::none;
    if (ptt.method != PttMethod::hamlib) return;
    if (p.hamlibBad) {
        ptt.method = PttMethod::none;
        return;
    }
    const bool ownDevice = ptt.pttType == "CM108" || ptt.pttType == "GPIO" || ptt.pttType == "GPION";
    const bool serialLine = ptt.pttType == "RTS" || ptt.pttType == "DTR";
    if (ptt.rigModel == 0) {
        notice("%s line %d: [ptt] method = hamlib needs rig_model, the rig's hamlib model number "
               "(2 for a rigctld); nothing is keyed",
               p.fileName, ptt.methodLine);
        ptt.method = PttMethod::none;
    } else if (ptt.pttPort.empty() && (ownDevice || (serialLine && ptt.rigPort.empty()))) {
        notice("%s line %d: [ptt] ptt_type = %s needs ptt_port, %s; nothing is keyed", p.fileName,
               p.pttTypeLine, ptt.pttType.c_str(),
               ptt.pttType == "CM108" ? "the interface's device (e.g. /dev/hidraw0)"
               : ownDevice            ? "the GPIO line's number"
                                      : "the serial port whose line keys (or rig_port)");
        ptt.method = PttMethod::none;
    }
}

// One [web] line; false for a key that is not one of the section's. What
// guards access fails closed: a bad listen address serves loopback only, a
// bad guests line lets no guest in.
bool onWebSetting(Parse& p, const char* key, const std::string& value) {
    WebSettings& web = p.settings.web;
    auto keyIs = [&](const char* k) { return std::strcmp(key, k) == 0; };
    struct Whole {
        int* target;
        long low, high;
        const char* expected;
    };
    const Whole none{nullptr, 0, 0, nullptr};
    const Whole whole =
        keyIs("port") ? Whole{&web.port, 0, 65535, "a port number (1 to 65535, 0 for no web station)"}
        : keyIs("max_listeners") ? Whole{&web.maxListeners, 1, 10000, "a number of listeners (1 to 10000)"}
        : keyIs("max_per_address") ? Whole{&web.maxPerAddress, 1, 10000, "a number of connections (1 to 10000)"}
        : keyIs("session_hours") ? Whole{&web.sessionHours, 1, 24 * 366, "a number of hours (1 to 8784)"}
        : none;
    if (whole.target) {
        const int fallback = *whole.target;
        if (!parseWhole(value, whole.low, whole.high, *whole.target)) {
            *whole.target = fallback;
            char kept[64];
            std::snprintf(kept, sizeof kept, "the default %d is kept", fallback);
            badValue(p, "web", key, value, whole.expected, kept);
        }
        return true;
    }
    if (keyIs("listen")) {
        if (!parseAddress(value, web.listenAddress)) {
            web.listenAddress = INADDR_LOOPBACK;
            badValue(p, "web", key, value, "an IPv4 address", "the web station listens on 127.0.0.1 only");
        }
    } else if (keyIs("certificate") || keyIs("key")) {
        std::string& path = keyIs("key") ? web.key : web.certificate;
        if (value.empty() || parseDevice(value, path))
            path = value;
        else
            badValue(p, "web", key, value, "a file name without blanks", "it is left empty");
    } else if (keyIs("frame_ms")) {
        if (value == "10" || value == "20") {
            web.frameMs = value == "10" ? 10 : 20;
        } else {
            char kept[64];
            std::snprintf(kept, sizeof kept, "the default %d is kept", web.frameMs);
            badValue(p, "web", key, value, "10 or 20", kept);
        }
    } else if (keyIs("guests")) {
        if (value == "yes" || value == "no") {
            web.guests = value == "yes";
        } else {
            web.guests = false;
            badValue(p, "web", key, value, "yes or no", "nobody listens without an account");
        }
    } else {
        return false;
    }
    return true;
}

int onSetting(void* user, const char* section, const char* key, const char* raw) {
    Parse& p = *static_cast<Parse*>(user);
    const std::string value = valueOf(raw);
    auto sectionIs = [&](const char* s) { return std::strcmp(section, s) == 0; };
    auto keyIs = [&](const char* k) { return std::strcmp(key, k) == 0; };

    if (p.lineTooLong) {
        notice("%s line %d: [%s] %s: the line is too long (over %d characters); %s",
               p.fileName, p.line, section, key, INI_MAX_LINE - 2,
               sectionIs("link") && keyIs("allow") ? "write the list over several indented lines"
               : sectionIs("ptt")                    ? pttKept(key)
                                                     : "the default is kept");
        if (sectionIs("link") && keyIs("allow")) parseAllow(p, "");
        if (sectionIs("ptt")) markPttBad(p, key);
        return 1;
    }
    if (sectionIs("link")) {
        LinkSettings& link = p.settings.link;
        if (keyIs("port")) {
            if (!parseWhole(value, 1, 65535, link.port))
                badValue(p, section, key, value, "a port number (1 to 65535)",
                         "the default 3020 is kept");
            return 1;
        }
        if (keyIs("listen")) {
            // A typo must not open the link on every address when a single
            // one was meant: it listens on the loopback address then.
            if (!parseAddress(value, link.listenAddress)) {
                link.listenAddress = INADDR_LOOPBACK;
                badValue(p, section, key, value, "an IPv4 address",
                         "the link listens on 127.0.0.1 only");
            }
            return 1;
        }
        if (keyIs("allow")) {
            parseAllow(p, value);
            return 1;
        }
    } else if (sectionIs("transmit")) {
        TransmitSettings& tx = p.settings.transmit;
        int* target = keyIs("max_seconds") ? &tx.maxSeconds
                      : keyIs("silence_seconds") ? &tx.silenceSeconds
                                                 : nullptr;
        if (target) {
            const int fallback = *target;
            if (!parseWhole(value, 0, 24 * 3600, *target)) {
                *target = fallback;
                char kept[64];
                std::snprintf(kept, sizeof kept, "the default %d is kept", fallback);
                badValue(p, section, key, value, "a number of seconds (0 to 86400, 0 for no limit)",
                         kept);
            }
            return 1;
        }
    } else if (sectionIs("ptt")) {
        if (onPttSetting(p, key, value)) return 1;
    } else if (sectionIs("sound")) {
        if (keyIs("give_up_seconds")) {
            int& seconds = p.settings.sound.giveUpSeconds;
            if (!parseWhole(value, 0, 7 * 24 * 3600, seconds)) {
                char kept[64];
                std::snprintf(kept, sizeof kept, "%d%s is kept", seconds,
                              seconds == 0 ? " (never)" : " s");
                badValue(p, section, key, value, "a number of seconds (0 to 604800, 0 for never)",
                         kept);
            }
            return 1;
        }
    } else if (sectionIs("web")) {
        if (onWebSetting(p, key, value)) return 1;
    } else if (!*section) {
        notice("%s line %d: %s: a setting before any [section]; ignored", p.fileName, p.line, key);
        return 1;
    }
    notice("%s line %d: [%s] %s: no such setting; ignored", p.fileName, p.line, section, key);
    return 1;
}

}  // namespace

const Settings& settings() { return current; }

Settings parseSettings(const std::string& text, const char* fileName) {
    Parse p;
    p.fileName = fileName;
    p.text = &text;
    ini_parse_stream(readLine, &p, onSetting, &p);
    LinkSettings& link = p.settings.link;
    if (p.allowSeen && !p.allowTaken) {
        // A typo never opens the station.
        link.allow.assign(1, Ipv4Network{INADDR_LOOPBACK, ~uint32_t{0}});
        notice("%s: [link] allow lists no valid address: only 127.0.0.1 may connect", fileName);
    }
    settlePtt(p);
    return p.settings;
}

void loadSettings(const char* path) {
    std::string text;
    switch (readSettingsFile(path, text)) {
    case SettingsRead::ok: current = parseSettings(text, path); break;
    case SettingsRead::missing: current = Settings{}; break;
    case SettingsRead::unreadable:
        // It may hold an allow list: the station must not open to everyone.
        current = Settings{};
        current.link.allowEveryone = false;
        current.link.allow.assign(1, Ipv4Network{INADDR_LOOPBACK, ~uint32_t{0}});
        notice("%s: only 127.0.0.1 may connect until the file can be read", path);
        break;
    }
}

bool clientAllowed(const LinkSettings& link, uint32_t address) {
    if (link.allowEveryone) return true;
    for (const Ipv4Network& n : link.allow)
        if ((address & n.mask) == n.address) return true;
    return false;
}

}  // namespace marvane::config
