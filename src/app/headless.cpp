// SPDX-License-Identifier: GPL-3.0-or-later
// The station without a window. The status boxes, each keying call, each
// exchange with the directory and the link's connections are shown as
// time-stamped lines on the standard output, one per change:
//
//   12:00:01 address idle          12:00:02 connected 127.0.0.1
//   12:00:01 mode -                12:00:02 address 127.0.0.1   (a blank box is "-")
//   12:00:01 info -                12:00:02 mode RX
//   12:00:02 announce ok           12:00:02 level 0
//   12:00:05 info W1AW             12:00:07 mode TX
//   12:00:07 ptt on                12:00:10 ptt off
//   12:00:20 announcing off        12:00:20 withdraw failed: cannot connect to ...
//   12:00:30 stopping on SIGTERM   12:00:30 stopped
//
// SIGINT, SIGTERM and SIGHUP end the run as closing the window does; SIGTSTP
// unkeys before the station stops; SIGUSR1 is the
// "Anounce" menu command.

#include "app/headless.h"

#include "announce/announce.h"
#include "app/station.h"
#include "app/stop_signals.h"
#include "audio/audio_pump.h"
#include "config/notice.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "ptt/ptt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace marvane::app {

namespace {

// Never destroyed: other threads may still log while the process exits.
std::mutex& logGuard() {
    static auto* guard = new std::mutex;
    return *guard;
}

// The sound messages end without a line end. The standard output goes
// through writeOut, which remembers whether the last byte written ended a
// line, so that a log line never continues such a message.
std::atomic<bool> atLineStart{true};

ssize_t writeOut(void*, const char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    if (size > 0) atLineStart.store(bytes[size - 1] == '\n');
    return static_cast<ssize_t>(size);
}

void watchLineEnds() {
    cookie_io_functions_t functions{};
    functions.write = writeOut;
    if (std::FILE* out = fopencookie(nullptr, "w", functions)) {
        std::fflush(stdout);
        stdout = out;
    }
}

// One line with the local time in front; the caller holds logGuard.
void printLocked(const char* text) {
    char stamp[16];
    config::timeStamp(stamp);
    // The stream's own lock keeps another writer out between test and line.
    flockfile(stdout);
    std::fprintf(stdout, "%s%s %s\n", atLineStart.load() ? "" : "\n", stamp, text);
    std::fflush(stdout);
    funlockfile(stdout);
}

void logLine(const char* format, ...) {
    char text[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard lock(logGuard());
    printLocked(text);
}

// The last text shown for one status box, so that only changes are printed.
struct ShownBox {
    const char* name;
    char text[24];
    bool shown;
};

ShownBox addressBox{"address", {}, false};
ShownBox modeBox{"mode", {}, false};
ShownBox infoBox{"info", {}, false};
int shownLevel = -1;

void showText(ShownBox& box, const char* text) {
    // The pump writes a single blank for an empty box; "-" reads better.
    if (std::strcmp(text, " ") == 0) text = "-";
    std::lock_guard lock(logGuard());
    if (box.shown && std::strncmp(box.text, text, sizeof box.text - 1) == 0) return;
    std::snprintf(box.text, sizeof box.text, "%s", text);
    box.shown = true;
    char line[64];
    std::snprintf(line, sizeof line, "%s %s", box.name, box.text);
    printLocked(line);
}

void setAddressText(const char* text) { showText(addressBox, text); }
void setModeText(const char* text) { showText(modeBox, text); }
void setInfoText(const char* text) { showText(infoBox, text); }

void setLevelBar(int position) {
    std::lock_guard lock(logGuard());
    if (shownLevel == position) return;
    shownLevel = position;
    char line[32];
    std::snprintf(line, sizeof line, "level %d", position);
    printLocked(line);
}

const audio::StatusSink headlessSink{setAddressText, setModeText, setInfoText, setLevelBar};

void logConnection(bool accepted, const char* address) {
    logLine("%s %s", accepted ? "connected" : "disconnected", address);
}

void logNotice(const char* text) { logLine("%s", text); }

void logPtt(int on) { logLine("ptt %s", on ? "on" : "off"); }

void logAnnounce(int, int, const char* outcome) { logLine("%s", outcome); }

// The refresh's info-box step: a new "I" word from the client is shown.
void showPeerInfo() {
    link::LinkState& state = link::linkState;
    if (state.peerInfoChanged.load() == 0) return;
    state.peerInfoChanged.store(0);
    char word[20];
    state.copyPeerInfo(word);
    // The word comes from the network: no control characters into the log.
    for (char& c : word)
        if (c != '\0' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)) c = '?';
    setInfoText(word);
}

} // namespace

int runHeadless() {
    // Taken by sigtimedwait below, never by a handler; every thread inherits
    // the mask, so the signals reach only this one.
    const sigset_t signals = blockStopSignals(SIGUSR1);
    watchLineEnds();

    config::setNoticeSink(logNotice);
    link::setConnectionObserver(logConnection);
    ptt::setPttObserver(logPtt);
    announce::setAnnounceObserver(logAnnounce);
    startStation(&headlessSink, nullptr);

    // Woken every 50 ms, as the window's refresh is, to show the client's info word.
    const timespec tick{0, 50 * 1000 * 1000};
    int signal = 0;
    for (;;) {
        signal = sigtimedwait(&signals, nullptr, &tick);
        if (endsTheRun(signal)) break;
        if (signal == SIGTSTP) {
            logLine("suspended on SIGTSTP, transmitter unkeyed");
            suspendUnkeyed();
            logLine("continued");
        }
        if (signal == SIGUSR1) {
            logLine("announcing %s", announceMenuOn.load() ? "off" : "on");
            toggleAnnouncing();
        }
        showPeerInfo();
    }

    logLine("stopping on %s", signalName(signal));
    shutdownStation();
    logLine("stopped");
    // The other threads are never stopped: they end with the process, and no
    // static object is destroyed under them.
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace marvane::app
