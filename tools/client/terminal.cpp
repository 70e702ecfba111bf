// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace marvane::client {

namespace {

volatile sig_atomic_t stopCount = 0;

void onStopSignal(int) { stopCount = stopCount + 1; }

// What raw mode changed, for the handlers that put it back.
struct RawState {
    int fd = -1;
    termios saved{};
    termios raw{};
    volatile sig_atomic_t active = 0;
    bool handlersInstalled = false;
    struct sigaction previous[NSIG]{};
};

RawState rawState;

void restoreTerminal() {
    if (rawState.active) {
        tcsetattr(rawState.fd, TCSANOW, &rawState.saved);
        rawState.active = 0;
    }
}

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// The terminal first, then whatever handled the signal before us (a
// sanitizer, or the default action) gets it.
void onFatalSignal(int sig) {
    int saved = errno;
    restoreTerminal();
    sigaction(sig, &rawState.previous[sig], nullptr);
    raise(sig);
    errno = saved;
}

void onSuspend(int) {
    int saved = errno;
    bool wasRaw = rawState.active;
    restoreTerminal();
    signal(SIGTSTP, SIG_DFL);
    // The signal is blocked while its handler runs: unblocked, the raise
    // stops the process right here until SIGCONT.
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &own, nullptr);
    raise(SIGTSTP);
    struct sigaction again {};
    again.sa_handler = onSuspend;
    sigemptyset(&again.sa_mask);
    sigaction(SIGTSTP, &again, nullptr);
    if (wasRaw) {
        tcsetattr(rawState.fd, TCSANOW, &rawState.raw);
        rawState.active = 1;
    }
    errno = saved;
}

void installRawHandlers() {
    if (rawState.handlersInstalled)
        return;
    rawState.handlersInstalled = true;
    std::atexit(restoreTerminal);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onFatalSignal;
    for (int sig : kFatalSignals)
        sigaction(sig, &action, &rawState.previous[sig]);
    action.sa_handler = onSuspend;
    sigaction(SIGTSTP, &action, nullptr);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHush = false;
#else
constexpr bool kHush = true;
#endif

std::FILE* ownMessages = nullptr;
int savedError = -1;

}  // namespace

std::FILE* messages() { return ownMessages != nullptr ? ownMessages : stderr; }

void hushLibraries() {
    if (!kHush || savedError >= 0)
        return;
    std::fflush(stderr);
    savedError = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (savedError < 0 || null < 0 || (ownMessages = fdopen(savedError, "w")) == nullptr) {
        if (null >= 0)
            close(null);
        if (savedError >= 0)
            close(savedError);
        savedError = -1;
        return;
    }
    setvbuf(ownMessages, nullptr, _IONBF, 0);
    dup2(null, STDERR_FILENO);
    close(null);
}

void unhushLibraries() {
    if (savedError < 0)
        return;
    std::fflush(stderr);
    dup2(savedError, STDERR_FILENO);
    std::fclose(ownMessages);  // closes savedError
    ownMessages = nullptr;
    savedError = -1;
}

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return stopCount > 0; }
int stopRequests() { return stopCount; }

bool enterRawMode(int fd) {
    termios current{};
    if (!isatty(fd) || tcgetattr(fd, &current) != 0)
        return false;
    rawState.fd = fd;
    rawState.saved = current;
    termios raw = current;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    rawState.raw = raw;
    installRawHandlers();
    if (tcsetattr(fd, TCSANOW, &raw) != 0)
        return false;
    rawState.active = 1;
    return true;
}

void leaveRawMode() { restoreTerminal(); }

std::size_t decodeKey(const std::uint8_t* bytes, std::size_t length, Key& key) {
    key = Key::none;
    std::size_t i = 0;
    while (i < length && key == Key::none) {
        std::uint8_t b = bytes[i++];
        if (b == ' ') {
            key = Key::transmit;
        } else if (b == 0x03) {  // Ctrl+C
            key = Key::quit;
        } else if (b == 0x1b) {
            // Escape alone; a cursor or function key sends Escape with more
            // in the same read, which is skipped (CSI: up to a final byte).
            if (i == length) {
                key = Key::quit;
            } else if (bytes[i] == '[' || bytes[i] == 'O') {
                ++i;
                while (i < length && !(bytes[i] >= 0x40 && bytes[i] <= 0x7e))
                    ++i;
                if (i < length)
                    ++i;
            } else if (bytes[i] == 0x1b) {
                key = Key::quit;
            } else {
                ++i;  // Alt with a key
            }
        }
    }
    return i;
}

bool readKeys(int fd, std::vector<Key>& keys) {
    keys.clear();
    std::uint8_t buffer[256];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    auto length = static_cast<std::size_t>(n);
    for (std::size_t used = 0; used < length;) {
        Key key;
        used += decodeKey(buffer + used, length - used, key);
        if (key != Key::none)
            keys.push_back(key);
    }
    return true;
}

void StatusLine::open() { terminal = isatty(STDOUT_FILENO) != 0; }

void StatusLine::show(const std::string& text) {
    if (terminal) {
        std::printf("\r%s\033[K", text.c_str());
    } else {
        if (shown && secondsSince(lastPrinted) < 1.0)
            return;
        lastPrinted = Clock::now();
        std::printf("%s\n", text.c_str());
    }
    shown = true;
    std::fflush(stdout);
}

void StatusLine::note(const char* format, ...) {
    if (terminal && shown) {
        std::printf("\r\033[K");
        std::fflush(stdout);
    }
    std::FILE* out = messages();
    std::fputs("marvane-client: ", out);
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    std::fputc('\n', out);
    std::fflush(out);
}

void StatusLine::close() {
    if (terminal && shown) {
        std::printf("\n");
        std::fflush(stdout);
    }
    shown = false;
}

}  // namespace marvane::client
