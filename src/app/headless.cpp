// The station without a window: for now the link server alone. Prints one line
// for each accepted and each ended connection and exits on SIGINT or SIGTERM.

#include "app/headless.h"

#include "link/link_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

namespace marvane::app {

namespace {

void logConnection(bool accepted, const char* address) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::printf("%s %s %s\n", stamp, accepted ? "connected" : "disconnected", address);
    std::fflush(stdout);
}

} // namespace

int runHeadless() {
    // The signals are taken by sigwait below; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    link::setConnectionObserver(logConnection);
    link::startLinkServer();

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::fflush(stdout);
    // The link server thread is never stopped: it ends with the process.
    std::_Exit(0);
}

} // namespace marvane::app
