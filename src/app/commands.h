// SPDX-License-Identifier: GPL-3.0-or-later
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

// --unkey: unkeys the transmitter by the keying method of "marvane.conf"
// (RTS and DTR of the port "txport.bin" names, or the rig) and lets go of it
// again, whatever a station that ended before left keyed. Returns the exit
// code: 1 when the port or the rig could not be reached.
int unkey();

} // namespace marvane::app
