#pragma once
// SIGINT and SIGTERM end a run as closing the window does. They are blocked in
// every thread and taken with sigwait on one, never by a handler, so that the
// shutdown runs as ordinary code; the headless run and the window share this.

#include <csignal>

namespace marvane::app {

// Blocks SIGINT, SIGTERM and `extra` (0: none) in the calling thread, and so
// in every thread started from it afterwards: call it before any thread
// starts. Ignores SIGPIPE: a log reader or a peer that went away must not end
// the station. Returns the set of blocked signals, for sigwait.
sigset_t blockStopSignals(int extra);

// Starts a detached thread that waits for SIGINT or SIGTERM and calls
// onStop(signal) on it for each one. A thread that cannot start ends nothing:
// the two signals are unblocked again in the calling thread (and so in the
// threads it starts later), so that they still end the process, by their
// default action; returns false then.
bool startStopSignalThread(void (*onStop)(int signal));

} // namespace marvane::app
