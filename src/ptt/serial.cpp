// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptt/serial.h"

#include "config/settings_file.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <sstream>

static_assert(marvane::ptt::kLineRts == TIOCM_RTS && marvane::ptt::kLineDtr == TIOCM_DTR);

namespace marvane::ptt {
namespace {

int openSerial(const char* device) {
    // O_NONBLOCK: do not wait for carrier; no byte is ever read or written.
    return ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void closeSerial(int fd) { ::close(fd); }

int raiseSerialLines(int fd, int lines) { return ::ioctl(fd, TIOCMBIS, &lines) == 0 ? 0 : errno; }

int dropSerialLines(int fd, int lines) { return ::ioctl(fd, TIOCMBIC, &lines) == 0 ? 0 : errno; }

void prepareSerial(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    // With HUPCL the kernel drops RTS and DTR when the last descriptor closes,
    // so a process that dies while keyed does not leave the transmitter on.
    t.c_cflag |= HUPCL;
    ::tcsetattr(fd, TCSANOW, &t);
}

const SerialLines kTermiosLines{openSerial, closeSerial, raiseSerialLines, dropSerialLines,
                                prepareSerial};

// "COM3", "com3" and "COM3:" all name port 3.
int portNumberOf(std::string name) {
    if (!name.empty() && name.back() == ':') name.pop_back();
    if (name.size() != 4) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
    if (name[3] < '1' || name[3] > '9') return 0;
    return name[3] - '0';
}

}  // namespace

const SerialLines& termiosSerialLines() { return kTermiosLines; }

std::string serialDeviceFor(char choice) {
    if (choice < '1' || choice > '8') return {};
    const int port = choice - '0';
    std::string text;
    config::readSettingsFile("comports.txt", text);
    std::istringstream map(text);
    std::string line;
    while (std::getline(map, line)) {
        std::istringstream words(line);
        std::string name, device;
        if (words >> name >> device && portNumberOf(name) == port) return device;
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace marvane::ptt
