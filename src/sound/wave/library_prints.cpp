// SPDX-License-Identifier: GPL-3.0-or-later
// The sound libraries' own prints kept off the operator's screen and log.
// PortAudio prints its inner failures with vfprintf(stderr, ...) and offers
// no hook to stop it; ALSA's plugins and JACK do the same. The process's
// `stderr` becomes a stream that drops such lines and passes every other line
// on to descriptor 2 as it comes. Descriptor 2 itself stays as it was, so
// that what is written to it directly (a sanitizer's report) is untouched.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sound/wave/portaudio.h"

namespace marvane::sound::wave::portaudio {

namespace {

// How the prints begin.
constexpr const char* kLibraryPrints[] = {
    "Expression '",                 // PortAudio's failed checks
    "ALSA lib ",                    // ALSA's own error handler
    "Cannot connect to server",     // JACK, probed by PortAudio
    "jack server is not running",
    "JackShm",
    "bt_audio_service_open",        // old Bluetooth ALSA plugin
};
constexpr std::size_t kLongestStart = 32;

enum class LineState { undecided, passing, dropping };

// One per filtered stream. The stream's own lock is not one a thread checker
// sees, so the state has its own.
struct Filter {
    explicit Filter(int fd) : fd(fd) {}
    int fd;
    std::mutex lock;
    LineState state = LineState::undecided;
    char start[kLongestStart] = {};  // the undecided beginning of the line
    std::size_t length = 0;
};

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to say so
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// What the beginning of a line, as far as it has come, makes of it.
LineState classify(const char* start, std::size_t length) {
    bool couldBe = false;
    for (const char* print : kLibraryPrints) {
        const std::size_t n = std::strlen(print);
        if (length >= n) {
            if (std::memcmp(start, print, n) == 0) return LineState::dropping;
        } else if (std::memcmp(start, print, length) == 0) {
            couldBe = true;
        }
    }
    return couldBe ? LineState::undecided : LineState::passing;
}

ssize_t filterWrite(void* cookie, const char* data, std::size_t size) {
    auto* f = static_cast<Filter*>(cookie);
    std::lock_guard<std::mutex> guard(f->lock);
    std::size_t i = 0;
    while (i < size) {
        const char* end = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
        const std::size_t lineEnd = end != nullptr ? static_cast<std::size_t>(end - data) + 1 : size;
        if (f->state == LineState::undecided) {
            // Take characters until the line is told apart or ends.
            while (i < lineEnd && f->state == LineState::undecided) {
                const char c = data[i++];
                if (c == '\n') {
                    // A short line that began like a print but is none.
                    writeAll(f->fd, f->start, f->length);
                    writeAll(f->fd, "\n", 1);
                    f->length = 0;
                    break;
                }
                f->start[f->length++] = c;
                f->state = classify(f->start, f->length);
                if (f->state == LineState::undecided && f->length == kLongestStart)
                    f->state = LineState::passing;
                if (f->state == LineState::passing) writeAll(f->fd, f->start, f->length);
                if (f->state != LineState::undecided) f->length = 0;
            }
            continue;
        }
        if (f->state == LineState::passing) writeAll(f->fd, data + i, lineEnd - i);
        if (end != nullptr) f->state = LineState::undecided;
        i = lineEnd;
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

bool isLibraryPrint(const char* line) {
    return classify(line, std::min(std::strlen(line), kLongestStart)) == LineState::dropping;
}

std::FILE* openLibraryPrintFilter(int fd) {
    // Lives as long as the stream, which is never closed; kept here, where a
    // leak checker sees it (the stream's hold on it is libc's own).
    static std::mutex keptLock;
    static auto* kept = new std::vector<std::unique_ptr<Filter>>;
    auto* filter = new Filter(fd);
    {
        std::lock_guard<std::mutex> guard(keptLock);
        kept->emplace_back(filter);
    }
    cookie_io_functions_t io{};
    io.write = filterWrite;
    std::FILE* stream = fopencookie(filter, "w", io);
    if (stream == nullptr) return nullptr;
    // Unbuffered, as standard error is: every write goes out at once.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

void filterLibraryPrints() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::fflush(stderr);
        if (std::FILE* filtered = openLibraryPrintFilter(STDERR_FILENO)) stderr = filtered;
    });
}

}  // namespace marvane::sound::wave::portaudio
