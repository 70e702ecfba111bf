// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session) end a run as
// closing the window does. They are blocked in every thread and taken with
// sigwait on one, never by a handler, so that the shutdown runs as ordinary
// code; the headless run and the window share this. SIGTSTP (Ctrl+Z) is taken
// the same way: the station unkeys before it stops. SIGTTIN and SIGTTOU are
// ignored, so that a station in the background never stops on its terminal.

#include <csignal>

namespace marvane::app {

// Blocks the stop signals and `extra` (0: none) in the calling thread, and so
// in every thread started from it afterwards: call it before any thread
// starts. Ignores SIGPIPE: a log reader or a peer that went away must not end
// the station. Returns the set of blocked signals, for sigwait.
sigset_t blockStopSignals(int extra);

// Starts a detached thread that waits for the stop signals and calls
// onStop(signal) on it for each one that ends the run; SIGTSTP it handles
// itself (suspendUnkeyed). A thread that cannot start ends nothing:
// the two signals are unblocked again in the calling thread (and so in the
// threads it starts later), so that they still end the process, by their
// default action; returns false then.
bool startStopSignalThread(void (*onStop)(int signal));

// Whether the signal ends the run (SIGINT, SIGTERM, SIGHUP).
bool endsTheRun(int signal);

// SIGTSTP: drops and holds the PTT lines, stops the whole process as the
// terminal asked, and once it continues lets keying go on as before.
void suspendUnkeyed();

// "SIGINT", "SIGTERM", ... for the log.
const char* signalName(int signal);

} // namespace marvane::app
