#include "ptt/ptt.h"

#include "config/notice.h"
#include "config/settings_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace marvane::ptt {
namespace {

// pttPort and the layer that opened it change only under portMutex, and each
// pair of line changes runs under it, so keying never uses a closed handle.
// Opening a port for a new choice never holds it: open() and the termios
// calls can block in some drivers, and keying must not wait behind them.
std::mutex portMutex;
int pttPort = -1;
const SerialLines* lineLayer = &termiosSerialLines();
// The device of the chosen port, and whether it failed (it did not open, or a
// line change failed): then the next keying call opens it again, once.
std::string chosenDevice;
bool portFailed = false;
// While the process is being stopped (Ctrl+Z) the lines stay down; keyWanted
// is what the last keying call asked for, restored when it continues.
bool suspended = false;
bool keyWanted = false;

// One port change (openPttPort, setSerialLines) at a time.
std::mutex changeMutex;

std::atomic<PttObserver> observer{nullptr};

void closePortLocked() {
    if (pttPort < 0) return;
    lineLayer->close(pttPort);
    pttPort = -1;
}

void notify(int on) {
    if (PttObserver o = observer.load()) o(on);
}

// Opens and prepares a port: -1 (errno set) when it does not open.
int openPrepared(const SerialLines* layer, const char* device) {
    const int fd = layer->open(device);
    if (fd < 0) return -1;
    // Linux raises RTS and DTR at open, which keys many radios: drop them
    // before anything else, then once more after the termios change in case
    // the driver re-asserts them with the flow-control change.
    layer->dropLines(fd, kLineRts | kLineDtr);
    layer->prepare(fd);
    layer->dropLines(fd, kLineRts | kLineDtr);
    return fd;
}

// The keying call's one new attempt at a port that failed (portMutex held).
void reopenLocked(const char* what) {
    closePortLocked();
    errno = 0;
    pttPort = openPrepared(lineLayer, chosenDevice.c_str());
    if (pttPort < 0) {
        config::notice("%s failed: cannot open %s: %s", what, chosenDevice.c_str(),
                       std::strerror(errno ? errno : ENODEV));
        return;
    }
    portFailed = false;
}

// Both lines up or down, RTS first, under portMutex.
void keyLocked(bool on) {
    const char* what = on ? "ptt on" : "ptt off";
    if (portFailed && !chosenDevice.empty()) reopenLocked(what);
    if (pttPort < 0) return;
    auto change = on ? lineLayer->raiseLines : lineLayer->dropLines;
    int error = change(pttPort, kLineRts);
    const int dtrError = change(pttPort, kLineDtr);
    if (error == 0) error = dtrError;
    if (error != 0) {
        config::notice("%s failed: %s", what, std::strerror(error));
        portFailed = true;
    }
}

}  // namespace

void openPttPort(char choice) {
    const std::string device = serialDeviceFor(choice);
    std::lock_guard changing(changeMutex);
    // The old port goes first: from here keying finds no port. Its lines are
    // dropped before it is closed (another program may hold it open, so that
    // HUPCL does not act), so that a device that takes one open at a time
    // can be chosen again.
    int oldPort;
    const SerialLines* layer;
    {
        std::lock_guard lock(portMutex);
        oldPort = pttPort;
        pttPort = -1;
        chosenDevice.clear();
        portFailed = false;
        layer = lineLayer;
    }
    if (oldPort >= 0) {
        layer->dropLines(oldPort, kLineRts | kLineDtr);
        layer->close(oldPort);
    }
    if (device.empty()) return;
    errno = 0;
    const int fd = openPrepared(layer, device.c_str());
    const int openError = errno ? errno : ENODEV;
    std::lock_guard lock(portMutex);
    chosenDevice = device;
    if (fd < 0) {
        config::notice("ptt port: cannot open %s: %s; it is tried again at each keying",
                       device.c_str(), std::strerror(openError));
        portFailed = true;
        return;
    }
    pttPort = fd;
}

void pttOn() {
    {
        std::lock_guard lock(portMutex);
        keyWanted = true;
        if (suspended) return;
        keyLocked(true);
    }
    notify(1);
}

void pttOff() {
    {
        std::lock_guard lock(portMutex);
        keyWanted = false;
        if (!suspended) keyLocked(false);
    }
    notify(0);
}

void suspendKeying() {
    bool wasKeyed;
    {
        std::lock_guard lock(portMutex);
        if (suspended) return;
        suspended = true;
        wasKeyed = keyWanted;
        keyLocked(false);
    }
    if (wasKeyed) notify(0);
}

void resumeKeying() {
    bool rekey;
    {
        std::lock_guard lock(portMutex);
        if (!suspended) return;
        suspended = false;
        rekey = keyWanted;
        if (rekey) keyLocked(true);
    }
    if (rekey) notify(1);
}

char loadPttChoice() {
    const config::SettingsFile file("txport.bin");
    if (!file.file()) return 0;
    char choice = 0;
    char word[104];  // read and ignored; the width keeps a long word in bounds
    if (std::fscanf(file.file(), "%c %103s", &choice, word) < 1) choice = 0;
    return choice;
}

void savePttChoice(char choice) {
    std::FILE* f = config::openSettingsForWriting("txport.bin");
    if (!f) return;
    std::fprintf(f, "%c comport\n", choice);
    std::fclose(f);
}

void setPttObserver(PttObserver o) { observer.store(o); }

void setSerialLines(const SerialLines* lines) {
    std::lock_guard changing(changeMutex);
    std::lock_guard lock(portMutex);
    closePortLocked();
    chosenDevice.clear();
    portFailed = false;
    lineLayer = lines ? lines : &termiosSerialLines();
}

bool pttPortOpen() {
    std::lock_guard lock(portMutex);
    return pttPort >= 0;
}

}  // namespace marvane::ptt
