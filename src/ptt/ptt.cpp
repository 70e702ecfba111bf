// SPDX-License-Identifier: GPL-3.0-or-later
#include "ptt/ptt.h"

#include "config/notice.h"
#include "config/settings.h"
#include "config/settings_file.h"
#include "ptt/keying.h"

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
// One port change (openPttPort, setSerialLines) at a time.
std::mutex changeMutex;

std::atomic<PttObserver> observer{nullptr};

// The keying front: the chosen method, and each keying call, start and stop
// made one at a time under keyingMutex (taken before portMutex).
std::mutex keyingMutex;
const KeyingMethod* method = &serialKeying();
// While the process is being stopped (Ctrl+Z) the transmitter stays unkeyed;
// keyWanted is what the last keying call asked for, restored when it continues.
bool suspended = false;
bool keyWanted = false;

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

namespace {

// ---- the serial method: the Com Port menu's port ----

void startSerial(const config::PttSettings&) {
    const char choice = loadPttChoice();
    const std::string device = serialDeviceFor(choice);
    if (device.empty())
        config::notice("ptt: keyed by a serial port's RTS and DTR; no port is chosen (Com Port menu)");
    else
        config::notice("ptt: keyed by RTS and DTR of COM%c (%s)", choice, device.c_str());
    openPttPort(choice);
}

void keySerial(bool on) {
    std::lock_guard lock(portMutex);
    keyLocked(on);
}

void stopSerial() { openPttPort('0'); }

constexpr KeyingMethod kSerialKeying{"serial", startSerial, keySerial, stopSerial};

// ---- no method: a bad [ptt] line, or after stopKeying ----

void startNothing(const config::PttSettings&) {
    config::notice("ptt: nothing is keyed: [ptt] in %s is not usable (see above)",
                   config::kSettingsFileName);
}
void keyNothing(bool) {}
void stopNothing() {}

constexpr KeyingMethod kNoKeying{"none", startNothing, keyNothing, stopNothing};

}  // namespace

const KeyingMethod& serialKeying() { return kSerialKeying; }

void startKeying() {
    const config::PttSettings& chosen = config::settings().ptt;
    std::lock_guard lock(keyingMutex);
    method->stop();
    switch (chosen.method) {
    case config::PttMethod::serial: method = &kSerialKeying; break;
    case config::PttMethod::hamlib: method = &hamlibKeying(); break;
    case config::PttMethod::none: method = &kNoKeying; break;
    }
    method->start(chosen);
}

void stopKeying() {
    std::lock_guard lock(keyingMutex);
    method->stop();
    method = &kNoKeying;
}

const char* keyingMethodName() {
    std::lock_guard lock(keyingMutex);
    return method->name;
}

bool keyingBySerialPort() {
    std::lock_guard lock(keyingMutex);
    return method == &kSerialKeying;
}

void pttOn() {
    {
        std::lock_guard lock(keyingMutex);
        keyWanted = true;
        if (suspended) return;
        method->key(true);
    }
    notify(1);
}

void pttOff() {
    {
        std::lock_guard lock(keyingMutex);
        keyWanted = false;
        if (!suspended) method->key(false);
    }
    notify(0);
}

void suspendKeying() {
    bool wasKeyed;
    {
        std::lock_guard lock(keyingMutex);
        if (suspended) return;
        suspended = true;
        wasKeyed = keyWanted;
        method->key(false);
    }
    if (wasKeyed) notify(0);
}

void resumeKeying() {
    bool rekey;
    {
        std::lock_guard lock(keyingMutex);
        if (!suspended) return;
        suspended = false;
        rekey = keyWanted;
        if (rekey) method->key(true);
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
