// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's terminal: stop signals, raw mode for single keys (restored
// on every way out, signals included), the keys the live client knows, and
// one status line that is rewritten in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "connection.h"

namespace marvane::client {

// The stream of the client's own messages: standard error, or a copy of it
// while libraries are hushed. PortAudio and ALSA print their inner failures
// (a device gone, say) straight to standard error, in the middle of the
// operator's screen; while the live session runs, that goes to /dev/null.
// Sanitizer builds leave standard error alone: their reports must be seen.
std::FILE* messages();
void hushLibraries();
void unhushLibraries();

// SIGINT, SIGTERM, SIGHUP and SIGQUIT ask the client to stop (counted, so a
// second one can mean "at once"); SIGPIPE is ignored.
void installStopSignals();
bool stopRequested();
int stopRequests();

// Puts the terminal on `fd` into raw mode: keys one by one, no echo, Ctrl+C
// and Ctrl+Z as plain keys. Its settings come back when leaveRawMode is
// called, at exit, on a fatal signal, and while the client is stopped
// (SIGTSTP); SIGCONT makes it raw again. False when fd is not a terminal.
bool enterRawMode(int fd);
void leaveRawMode();

enum class Key { none, transmit, quit };

// One read of what has been typed on fd: `keys` gets the keys that mean
// something, in order. False once the input has ended.
bool readKeys(int fd, std::vector<Key>& keys);
// The first key in a run of bytes (none when nothing in it means anything);
// returns the number of bytes used.
std::size_t decodeKey(const std::uint8_t* bytes, std::size_t length, Key& key);

// The status line on standard output. On a terminal it is redrawn in place;
// otherwise a line is printed at most once a second.
struct StatusLine {
    bool terminal = false;
    bool shown = false;
    Clock::time_point lastPrinted{};

    void open();
    void show(const std::string& text);
    // A message on standard error on a line of its own.
    void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Leaves the line as it stands and moves to the next.
    void close();
};

}  // namespace marvane::client
