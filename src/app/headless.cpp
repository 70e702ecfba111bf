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
#include "app/service_notify.h"
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

constexpr int kLastLinesMs = 2000;

void logLine(const char* format, ...) {
    char text[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    config::logLine(text);
}

// Guards the boxes' last texts below; held for copies only: the line goes to
// the log queue, which never waits.
std::mutex boxGuard;

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

// What `systemctl status` shows: the client and whether the station
// receives for it or transmits; the caller holds boxGuard.
void tellServiceLocked() {
    char status[96];
    if (std::strcmp(modeBox.text, "RX") == 0)
        std::snprintf(status, sizeof status, "receiving for %s", addressBox.text);
    else if (std::strcmp(modeBox.text, "TX") == 0)
        std::snprintf(status, sizeof status, "transmitting for %s", addressBox.text);
    else
        std::snprintf(status, sizeof status, "no client");
    setServiceStatus(StatusPart::station, status);
}

void showText(ShownBox& box, const char* text) {
    // The pump writes a single blank for an empty box; "-" reads better.
    if (std::strcmp(text, " ") == 0) text = "-";
    char line[64];
    {
        std::lock_guard lock(boxGuard);
        if (box.shown && std::strncmp(box.text, text, sizeof box.text - 1) == 0) return;
        std::snprintf(box.text, sizeof box.text, "%s", text);
        box.shown = true;
        std::snprintf(line, sizeof line, "%s %s", box.name, box.text);
        if (&box == &modeBox) tellServiceLocked();
    }
    config::logLine(line);
}

void setAddressText(const char* text) { showText(addressBox, text); }
void setModeText(const char* text) { showText(modeBox, text); }
void setInfoText(const char* text) { showText(infoBox, text); }
// Only a transmission that starts is "mode TX" in the log: operators look
// for it there.
void passTransmitStage() {}

void setLevelBar(int position) {
    {
        std::lock_guard lock(boxGuard);
        if (shownLevel == position) return;
        shownLevel = position;
    }
    char line[32];
    std::snprintf(line, sizeof line, "level %d", position);
    config::logLine(line);
}

const audio::StatusSink headlessSink{setAddressText, setModeText, setInfoText, setLevelBar,
                                     passTransmitStage};

void logConnection(bool accepted, const char* address) {
    logLine("%s %s", accepted ? "connected" : "disconnected", address);
}

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
    // The last lines go out if the output takes them; a log nobody reads
    // does not hold up the end.
    config::flushLog(kLastLinesMs);
    // The other threads are never stopped: they end with the process, and no
    // static object is destroyed under them.
    std::_Exit(0);
}

} // namespace marvane::app
