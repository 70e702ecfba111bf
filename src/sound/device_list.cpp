// SPDX-License-Identifier: GPL-3.0-or-later
// The device lists as text, for `marvane --list-devices`:
//
//   Playback devices (scconfig.txt line 1, scnames.txt line 1):
//      0  USB Audio CODEC: USB Audio (hw:1,0)  [chosen]
//      1  default  [system default]
//     -1  the system's default device
//   Capture devices (scconfig.txt line 2, scnames.txt line 2):
//     no capture device found
#include <cstdio>
#include <string>

#include "config/notice.h"
#include "sound/sound.h"
#include "sound/streams.h"

namespace marvane::sound {

namespace {

void printList(const char* role, const char* Role, int line, int count, const char* (*name)(int),
               int defaultDevice, int choice) {
    // A number past the list opens the system's default device.
    const int opened = choice >= 0 && choice < count ? choice : -1;
    sayLine((std::string(Role) + " devices (scconfig.txt line " + std::to_string(line) +
             ", scnames.txt line " + std::to_string(line) + "):")
                .c_str());
    if (count == 0) {
        sayLine((std::string("  no ") + role + " device found").c_str());
        return;
    }
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%4d  ", i);
        std::string text = number + std::string(name(i));
        if (i == defaultDevice) text += "  [system default]";
        if (i == opened) text += "  [chosen]";
        sayLine(text.c_str());
    }
    sayLine(opened == -1 ? "  -1  the system's default device  [chosen]"
                         : "  -1  the system's default device");
}

}  // namespace

void printDeviceLists() {
    // Notices (a name in scnames.txt that matches nothing) as plain lines
    // among the lists.
    config::setNoticeSink(sayLine);
    loadSoundCardChoice();
    initSoundCards();
    resolveSoundCardNames();
    printList("playback", "Playback", 1, outputDeviceCount(), outputDeviceFullName,
              outputDefaultDevice(), playbackChoice);
    printList("capture", "Capture", 2, inputDeviceCount(), inputDeviceFullName,
              inputDefaultDevice(), captureChoice);
}

}  // namespace marvane::sound
