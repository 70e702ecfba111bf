// SPDX-License-Identifier: GPL-3.0-or-later
// marvane-client's command line.
#pragma once

#include <string>

namespace marvane::client {

struct Options {
    std::string host;
    int port = 0;
    const char* rxPath = nullptr;
    const char* txPath = nullptr;
    bool ratesGiven = false;
    int rxRate = 0;
    int txRate = 0;
    const char* info = nullptr;
    bool ping = false;
    double seconds = -1.0;
    bool quiet = false;
    bool live = false;
    bool listDevices = false;
    const char* outputName = nullptr;
    const char* inputName = nullptr;

    bool halfRx() const { return ratesGiven && rxRate == 1; }
    bool halfTx() const { return ratesGiven && txRate == 1; }
};

// Returns -1 when the arguments are fine, else the exit status (after
// printing the usage or what is wrong).
int parseOptions(int argc, char** argv, Options& options);

}  // namespace marvane::client
