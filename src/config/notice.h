// SPDX-License-Identifier: GPL-3.0-or-later
// Notices for the operator and the station's log: settings that were not
// taken, refused clients, keying that failed, and in a run without a window
// every change the station goes through. One time-stamped line each on the
// standard output, written by a thread of its own: a line is queued and the
// caller goes on, so that nobody reading the output (a pager left waiting,
// a terminal paused with Ctrl+S, a stalled ssh session) can hold up the
// audio or the link. Lines that find the queue full are dropped and counted,
// and the count is written once the output takes lines again.
#pragma once

namespace marvane::config {

// printf-style; the line end is added. Control characters in the text (line
// ends, escape sequences) are shown as '?', so a notice is always one line.
[[gnu::format(printf, 1, 2)]] void notice(const char* format, ...);

// One line of the station's own text into the log, stamped now; never waits.
void logLine(const char* text);

// Waits up to `ms` for the lines queued so far to be written: the last lines
// of an orderly end. Returns false when the output would not take them.
bool flushLog(int ms);

// The local time as the log lines begin with it, "12:00:01".
void timeStamp(char (&stamp)[16]);

// Where notices go instead of the log (null: back to the log). For one-shot
// commands that print their own output, and for tests.
using NoticeSink = void (*)(const char* text);
void setNoticeSink(NoticeSink sink);

// Lines that may wait for the output; more are dropped and counted.
inline constexpr int kLogQueueLines = 256;

}  // namespace marvane::config
