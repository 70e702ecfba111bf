// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/notice.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace marvane::config {
namespace {

void printLine(const char* text) {
    char stamp[16];
    timeStamp(stamp);
    flockfile(stdout);
    std::fprintf(stdout, "%s %s\n", stamp, text);
    std::fflush(stdout);
    funlockfile(stdout);
}

std::atomic<NoticeSink> sink{printLine};

}  // namespace

void timeStamp(char (&stamp)[16]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
}

void notice(const char* format, ...) {
    char text[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // A notice quotes what a file or a client gave: a line end or an escape
    // sequence in it must not break the line or drive the terminal.
    for (char* c = text; *c != '\0'; ++c)
        if ((static_cast<unsigned char>(*c) < 0x20 && *c != '\t') || *c == 0x7f) *c = '?';
    sink.load()(text);
}

void setNoticeSink(NoticeSink s) { sink.store(s ? s : printLine); }

}  // namespace marvane::config
