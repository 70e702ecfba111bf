// SPDX-License-Identifier: GPL-3.0-or-later
// marvane: the station in its main window, or without one (--headless, or
// when no display can be opened); and the one-shot commands for a station
// without a screen (--list-devices, --unkey).

#include "app/commands.h"
#include "app/headless.h"
#include "app/main_window.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 2) {
        marvane::app::printUsage(stderr);
        return 1;
    }
    const char* option = argc == 2 ? argv[1] : "";
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        marvane::app::printUsage(stdout);
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        marvane::app::printVersion();
        return 0;
    }
    if (std::strcmp(option, "--list-devices") == 0) return marvane::app::listDevices();
    if (std::strcmp(option, "--unkey") == 0) return marvane::app::unkey();
    const bool headless = std::strcmp(option, "--headless") == 0;
    if (!headless && option[0] != '\0') {
        marvane::app::printUsage(stderr);
        return 1;
    }
    if (!headless) {
        const int code = marvane::app::runMainWindow(argc, argv);
        if (code >= 0) return code;
    }
    return marvane::app::runHeadless();
}
