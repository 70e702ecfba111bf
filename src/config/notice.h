// SPDX-License-Identifier: GPL-3.0-or-later
// Notices for the operator: settings that were not taken, refused clients,
// keying that failed. One line each on the standard output, time-stamped;
// the headless run routes them into its log.
#pragma once

namespace marvane::config {

// printf-style; the line end is added. Control characters in the text (line
// ends, escape sequences) are shown as '?', so a notice is always one line.
[[gnu::format(printf, 1, 2)]] void notice(const char* format, ...);

// The local time as the log lines begin with it, "12:00:01".
void timeStamp(char (&stamp)[16]);

// Where notices go (null: back to the standard output). Called from any
// thread; the sink serialises its own output.
using NoticeSink = void (*)(const char* text);
void setNoticeSink(NoticeSink sink);

}  // namespace marvane::config
