// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/stop_signals.h"

#include "ptt/ptt.h"

#include <pthread.h>
#include <unistd.h>

#include <exception>
#include <thread>

namespace marvane::app {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTSTP);
    return set;
}

void waitForStopSignals(void (*onStop)(int)) {
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == SIGTSTP)
            suspendUnkeyed();
        else
            onStop(signal);
    }
}

} // namespace

sigset_t blockStopSignals(int extra) {
    sigset_t set = stopSignals();
    if (extra != 0) sigaddset(&set, extra);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    return set;
}

bool endsTheRun(int signal) { return signal == SIGINT || signal == SIGTERM || signal == SIGHUP; }

void suspendUnkeyed() {
    ptt::suspendKeying();
    // SIGSTOP cannot be caught or blocked: the whole process stops here and
    // goes on from here at SIGCONT.
    ::kill(::getpid(), SIGSTOP);
    ptt::resumeKeying();
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGTSTP: return "SIGTSTP";
    default: return "a signal";
    }
}

bool startStopSignalThread(void (*onStop)(int signal)) {
    try {
        std::thread(waitForStopSignals, onStop).detach();
        return true;
    } catch (const std::exception&) {
        const sigset_t set = stopSignals();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
}

} // namespace marvane::app
