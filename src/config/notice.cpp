// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/notice.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace marvane::config {
namespace {

constexpr int kLineSize = 480;  // the stamp, a 400-character text and the line end

struct LogQueue {
    std::mutex guard;  // held for copies only, never while writing
    std::condition_variable queued;
    std::condition_variable written;
    char lines[kLogQueueLines][kLineSize];
    int lengths[kLogQueueLines] = {};
    int head = 0;
    int count = 0;
    unsigned long long dropped = 0;
    unsigned long long enqueued = 0;
    unsigned long long done = 0;  // lines written or given up on
    bool writerStarted = false;
    bool writerFailed = false;
};

// Never destroyed: threads may still log while the process exits.
LogQueue& logQueue() {
    static auto* q = new LogQueue;
    return *q;
}

bool writeAll(const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

[[noreturn]] void runLogWriter() {
    LogQueue& q = logQueue();
    char line[kLineSize];
    for (;;) {
        int length;
        unsigned long long dropped;
        {
            std::unique_lock lock(q.guard);
            q.queued.wait(lock, [&q] { return q.count > 0 || q.dropped > 0; });
            dropped = q.dropped;
            q.dropped = 0;
            length = 0;
            if (q.count > 0) {
                length = q.lengths[q.head];
                std::memcpy(line, q.lines[q.head], static_cast<size_t>(length));
                q.head = (q.head + 1) % kLogQueueLines;
                --q.count;
            }
        }
        if (dropped > 0) {
            char stamp[16];
            timeStamp(stamp);
            char text[64];
            const int n = std::snprintf(text, sizeof text, "%s log: %llu lines dropped\n", stamp, dropped);
            writeAll(text, static_cast<size_t>(n));
        }
        if (length > 0) writeAll(line, static_cast<size_t>(length));
        {
            std::lock_guard lock(q.guard);
            if (length > 0) ++q.done;
        }
        q.written.notify_all();
    }
}

// Starts the writer at the first line; without a thread the line is written
// by its caller, as before there was a queue.
bool startWriter(LogQueue& q) {
    if (q.writerStarted) return !q.writerFailed;
    q.writerStarted = true;
    try {
        std::thread(runLogWriter).detach();
    } catch (const std::exception&) {
        q.writerFailed = true;
    }
    return !q.writerFailed;
}

void queueLine(const char* text) {
    char stamp[16];
    timeStamp(stamp);
    LogQueue& q = logQueue();
    {
        std::lock_guard lock(q.guard);
        if (startWriter(q)) {
            if (q.count == kLogQueueLines) {
                ++q.dropped;
                return;
            }
            const int at = (q.head + q.count) % kLogQueueLines;
            int n = std::snprintf(q.lines[at], kLineSize, "%s %s\n", stamp, text);
            if (n >= kLineSize) {
                n = kLineSize - 1;
                q.lines[at][n - 1] = '\n';
            }
            q.lengths[at] = n;
            ++q.count;
            ++q.enqueued;
            q.queued.notify_one();
            return;
        }
    }
    char line[kLineSize];
    const int n = std::snprintf(line, sizeof line, "%s %s\n", stamp, text);
    writeAll(line, static_cast<size_t>(n < kLineSize ? n : kLineSize - 1));
}

std::atomic<NoticeSink> sink{nullptr};

}  // namespace

void timeStamp(char (&stamp)[16]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
}

void logLine(const char* text) { queueLine(text); }

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
    if (NoticeSink s = sink.load())
        s(text);
    else
        queueLine(text);
}

bool flushLog(int ms) {
    LogQueue& q = logQueue();
    std::unique_lock lock(q.guard);
    const unsigned long long target = q.enqueued;
    return q.written.wait_for(lock, std::chrono::milliseconds(ms),
                              [&q, target] { return q.done >= target; });
}

void setNoticeSink(NoticeSink s) { sink.store(s); }

}  // namespace marvane::config
