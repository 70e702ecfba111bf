#include "app/stop_signals.h"

#include <pthread.h>

#include <exception>
#include <thread>

namespace marvane::app {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void waitForStopSignals(void (*onStop)(int)) {
    const sigset_t set = stopSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) == 0) onStop(signal);
    }
}

} // namespace

sigset_t blockStopSignals(int extra) {
    sigset_t set = stopSignals();
    if (extra != 0) sigaddset(&set, extra);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return set;
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
