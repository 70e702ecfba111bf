// SPDX-License-Identifier: GPL-3.0-or-later
// Directory announcer: makes the station known to a web directory by an HTTP
// GET every 280 s while announcing is on, and withdraws it when switched off.
#pragma once

#include <chrono>

namespace marvane::announce {

// The five settings from "url.txt"; each word at most 99 characters.
struct DirectorySettings {
    char host[100];
    char path[100];
    char call[100];
    char qrg[100];
    char loc[100];
};

inline constexpr int kDirectoryPort = 80;
// Lookup, connect and the wait for the server to close, together.
inline constexpr std::chrono::seconds kExchangeLimit{10};

// 'Y' switches announcing on: reads "url.txt" (writes it with the defaults when
// missing) and wakes the announcer loop, started at the first switch-on, to
// announce 1000 ms later and then every 280000 ms. Nothing when already on.
// Any other character switches it off and sends the withdraw request on the
// calling thread, returning when that exchange has ended (at most 10 s).
void setAnnouncing(char c);

// Fills s from "url.txt" (the switch-on's read): five white-space-separated
// words, each cut to 99 characters; a missing word leaves its field and the
// later ones. Without the file, the defaults are used and written.
void loadUrlFile(DirectorySettings& s);

// One exchange with the directory: an announcement (withdraw 0) or a withdraw
// request. 0 when the request went out and the server closed; -1 when no
// connection could be made or the exchange ran over kExchangeLimit.
int announce(int withdraw);

// Body of the announcer thread; setAnnouncing starts the one loop. Never returns.
void runAnnouncer();

// Told of every announce() outcome, on the calling thread: "announce ok",
// "withdraw ok", "announce failed: cannot connect to localhost:80", ...
using AnnounceObserver = void (*)(int withdraw, int result, const char* outcome);
void setAnnounceObserver(AnnounceObserver observer);

// A consistent copy of the current settings, and their replacement (both
// under the settings lock; a request in flight keeps the copy it took).
DirectorySettings currentDirectorySettings();
void replaceDirectorySettings(const DirectorySettings& settings);

// For tests only: the delay after a switch-on and the period (1000 ms and
// 280000 ms otherwise). Takes effect at the loop's next wake.
void setAnnouncerTimingForTests(std::chrono::milliseconds firstDelay,
                                std::chrono::milliseconds period);

}  // namespace marvane::announce
