// SPDX-License-Identifier: GPL-3.0-or-later
// Serial line control for PTT: the device a "COMn:" name stands for, and the
// few calls the keying needs, behind a table of function pointers so tests can
// watch the exact sequence of line changes.
#pragma once

#include <string>

namespace marvane::ptt {

// Line bits as the modem-control ioctls use them.
inline constexpr int kLineRts = 0x004;  // TIOCM_RTS
inline constexpr int kLineDtr = 0x002;  // TIOCM_DTR

struct SerialLines {
    // Opens the device without becoming its controlling terminal and without
    // waiting for carrier; returns a descriptor, or -1.
    int (*open)(const char* device);
    void (*close)(int fd);
    // Raise / drop the lines named by the bit mask (kLineRts, kLineDtr):
    // 0, or the errno of a change that failed (a USB adapter unplugged).
    int (*raiseLines)(int fd, int lines);
    int (*dropLines)(int fd, int lines);
    // Turns hardware flow control off and hang-up-on-close on; everything
    // else (speed, framing) stays as the driver had it.
    void (*prepare)(int fd);
};

// The real implementation: open(2), termios, TIOCMBIS/TIOCMBIC.
const SerialLines& termiosSerialLines();

// Device for port choice '1'..'8' ("COM1:".."COM8:"): the entry for that port
// in "comports.txt" in the working directory (lines like "COM3 /dev/ttyUSB0"),
// else /dev/ttyS0../dev/ttyS7. Empty for any other choice.
std::string serialDeviceFor(char choice);

}  // namespace marvane::ptt
