// SPDX-License-Identifier: GPL-3.0-or-later
// The page's one WebSocket: binary audio and spectrum messages from the
// station, small JSON objects both ways.
//
// Binary, station to page; the first byte says what follows:
//   1 Opus:     [1][flags][sequence u16 LE] one 20 ms Opus packet (16 kHz in, mono)
//   2 PCM:      [2][flags][sequence u16 LE] 320 samples, 16-bit LE, 16000 per second
//   3 spectrum: [3][flags] 366 bins packed ten bits each (458 bytes)
//   flags bit 0: the station transmits (the audio is what goes on the air)
//
// JSON, station to page: {"type":"hello","name":..,"role":..,"codec":"opus"|"pcm",
// "rate":16000,"bins":366,"listeners":n}, {"type":"status",...}, {"type":"pong","t":..},
// {"type":"full","max":n}, {"type":"refused","what":..,"why":..}, {"type":"bye","why":..}.
// JSON, page to station: {"type":"hello","codecs":["opus","pcm"]} first, then
// {"type":"ping","t":..}; what only a controller may ask ("transmit", "tune",
// "stream") is refused to everyone else. Every message is checked against the
// session's role.
#pragma once

#include "web/accounts.h"

#include <map>
#include <string>
#include <vector>

namespace marvane::web {

inline constexpr unsigned char kOpusMessage = 1;
inline constexpr unsigned char kPcmMessage = 2;
inline constexpr unsigned char kSpectrumMessage = 3;
inline constexpr unsigned char kTransmitFlag = 1;
inline constexpr int kMaxPageMessage = 4096;

// A flat JSON object: string, number, true/false/null values and arrays of
// strings. Nothing nested further.
struct PageMessage {
    std::map<std::string, std::string> values;             // numbers as their text
    std::map<std::string, std::vector<std::string>> lists;
    std::string text(const std::string& key) const;
    bool has(const std::string& key) const { return values.count(key) != 0; }
};

// False for anything that is not such an object.
bool parsePageMessage(const std::string& json, PageMessage& out);

// The text as a JSON string, quotes included.
std::string jsonString(const std::string& text);

// The least role that may send a message type; false for an unknown type.
bool leastRoleFor(const std::string& type, Role& least);
// Whether role is at least least.
bool roleAllows(Role role, Role least);

}  // namespace marvane::web
