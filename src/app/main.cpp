// SPDX-License-Identifier: GPL-3.0-or-later
// marvane: the station in its main window, or without one (--headless, or
// when no display can be opened); and the one-shot commands for a station
// without a screen (--list-devices, --unkey, and the web station's accounts:
// --add-user, --remove-user, --list-users).

#include "app/commands.h"
#include "app/headless.h"
#include "app/main_window.h"
#include "web/accounts.h"

#include <cstdio>
#include <cstring>

namespace {

// --add-user NAME [--listener], --remove-user NAME, --list-users; -1 when the
// arguments are none of these.
int accountCommand(int argc, char** argv) {
    const char* option = argv[1];
    if (std::strcmp(option, "--add-user") == 0 && (argc == 3 || argc == 4)) {
        const bool listener = argc == 4 && std::strcmp(argv[3], "--listener") == 0;
        if (argc == 4 && !listener) return -1;
        return marvane::web::addUserCommand(argv[2], listener);
    }
    if (std::strcmp(option, "--remove-user") == 0 && argc == 3)
        return marvane::web::removeUserCommand(argv[2]);
    if (std::strcmp(option, "--list-users") == 0 && argc == 2) return marvane::web::listUsersCommand();
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strstr(argv[1], "-user") != nullptr) {
        const int code = accountCommand(argc, argv);
        if (code >= 0) return code;
        marvane::app::printUsage(stderr);
        return 1;
    }
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
