// SPDX-License-Identifier: GPL-3.0-or-later
// marvane-client: a command-line client of the Marvane link protocol.
//
//   marvane-client HOST[:PORT] [--rx FILE.wav] [--tx FILE.wav] [--rates RX,TX]
//                  [--info WORD] [--ping] [--seconds N] [--quiet]
//   marvane-client HOST[:PORT] --live [--output NAME] [--input NAME] [...]
//   marvane-client --list-devices
//
// Exit status: 0 done, 1 usage or file error, 2 connection refused or lost,
// 3 sound device missing or failed.

#include "connection.h"
#include "file_modes.h"
#include "live.h"
#include "live_audio.h"
#include "options.h"
#include "terminal.h"

using namespace marvane::client;

int main(int argc, char** argv) {
    static Options options;
    int status = parseOptions(argc, argv, options);
    if (status >= 0)
        return status;
    installStopSignals();
    if (options.listDevices) {
        if (!startSound())
            return kExitSound;
        listDevices();
        return kExitOk;
    }
    return options.live ? runLiveSession(options) : runFileSession(options);
}
