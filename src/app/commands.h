#pragma once
// The command-line options that do one thing and exit, for setting up and
// looking after a station without a screen.

#include <cstdio>

namespace marvane::app {

// The options, one a line, as --help shows them.
void printUsage(std::FILE* out);

// --version: "marvane 1.0".
void printVersion();

// --list-devices: both device lists, as the settings files number them.
// Returns the exit code.
int listDevices();

// --unkey: drops RTS and DTR on the PTT port that "txport.bin" names and
// closes it again, whatever a station that ended before left on it. Returns
// the exit code: 1 when the chosen port cannot be opened.
int unkey();

} // namespace marvane::app
