// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real PTT library from the command line, for tests that watch the
// lines from outside (with the modem-line shim preloaded). Each argument is one
// step, run in order in the working directory:
//   open=C   openPttPort(C)          startup  openPttPort(loadPttChoice())
//   on       pttOn()                 off      pttOff()
//   keying   the settings of marvane.conf, then startKeying()
//   stop     stopKeying()
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "ptt/ptt.h"

int main(int argc, char** argv) {
    using namespace marvane::ptt;
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        if (std::strncmp(step, "open=", 5) == 0 && step[5] != '\0') {
            openPttPort(step[5]);
        } else if (std::strcmp(step, "startup") == 0) {
            openPttPort(loadPttChoice());
        } else if (std::strcmp(step, "keying") == 0) {
            marvane::config::loadSettings();
            startKeying();
        } else if (std::strcmp(step, "stop") == 0) {
            stopKeying();
        } else if (std::strcmp(step, "on") == 0) {
            pttOn();
        } else if (std::strcmp(step, "off") == 0) {
            pttOff();
        } else {
            std::fprintf(stderr, "ptt_probe: unknown step %s\n", step);
            return 2;
        }
    }
    std::printf("port %s\n", pttPortOpen() ? "open" : "closed");
    return 0;
}
