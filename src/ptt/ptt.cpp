#include "ptt/ptt.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace marvane::ptt {
namespace {

// pttPort and the layer that opened it change only under portMutex, and each
// pair of line changes runs under it, so keying never uses a closed handle.
// Opening a port never holds it: open() and the termios calls can block in
// some drivers, and keying must not wait behind them.
std::mutex portMutex;
int pttPort = -1;
const SerialLines* lineLayer = &termiosSerialLines();

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

}  // namespace

void openPttPort(char choice) {
    const std::string device = serialDeviceFor(choice);
    std::lock_guard changing(changeMutex);
    // The old port goes first: from here keying finds no port. It is closed
    // (HUPCL drops its lines) before the new one opens, so that a device that
    // takes one open at a time can be chosen again.
    int oldPort;
    const SerialLines* layer;
    {
        std::lock_guard lock(portMutex);
        oldPort = pttPort;
        pttPort = -1;
        layer = lineLayer;
    }
    if (oldPort >= 0) layer->close(oldPort);
    if (device.empty()) return;
    const int fd = layer->open(device.c_str());
    if (fd < 0) return;
    // Linux raises RTS and DTR at open, which keys many radios: drop them
    // before anything else, then once more after the termios change in case
    // the driver re-asserts them with the flow-control change.
    layer->dropLines(fd, kLineRts | kLineDtr);
    layer->prepare(fd);
    layer->dropLines(fd, kLineRts | kLineDtr);
    std::lock_guard lock(portMutex);
    pttPort = fd;
}

void pttOn() {
    {
        std::lock_guard lock(portMutex);
        if (pttPort >= 0) {
            lineLayer->raiseLines(pttPort, kLineRts);
            lineLayer->raiseLines(pttPort, kLineDtr);
        }
    }
    notify(1);
}

void pttOff() {
    {
        std::lock_guard lock(portMutex);
        if (pttPort >= 0) {
            lineLayer->dropLines(pttPort, kLineRts);
            lineLayer->dropLines(pttPort, kLineDtr);
        }
    }
    notify(0);
}

char loadPttChoice() {
    std::FILE* f = std::fopen("txport.bin", "r");
    if (!f) return 0;
    char choice = 0;
    char word[104];  // read and ignored; the width keeps a long word in bounds
    if (std::fscanf(f, "%c %103s", &choice, word) < 1) choice = 0;
    std::fclose(f);
    return choice;
}

void savePttChoice(char choice) {
    std::FILE* f = std::fopen("txport.bin", "w");
    if (!f) return;
    std::fprintf(f, "%c comport\n", choice);
    std::fclose(f);
}

void setPttObserver(PttObserver o) { observer.store(o); }

void setSerialLines(const SerialLines* lines) {
    std::lock_guard changing(changeMutex);
    std::lock_guard lock(portMutex);
    closePortLocked();
    lineLayer = lines ? lines : &termiosSerialLines();
}

bool pttPortOpen() {
    std::lock_guard lock(portMutex);
    return pttPort >= 0;
}

}  // namespace marvane::ptt
