// marvane: for now the link server alone, without a window or a sound card.
// Prints one line for each accepted and each ended connection and exits on
// SIGINT or SIGTERM.

#include "link/link_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

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

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") != 0) {
            std::fprintf(stderr, "usage: marvane [--headless]\n");
            return 1;
        }
    }

    // The signals are taken by sigwait below; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    marvane::link::setConnectionObserver(logConnection);
    marvane::link::startLinkServer();

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::fflush(stdout);
    // The link server thread is never stopped: it ends with the process.
    std::_Exit(0);
}
