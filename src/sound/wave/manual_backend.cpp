// SPDX-License-Identifier: GPL-3.0-or-later
// The manually clocked back end: no thread, no clock; tests complete buffers.
#include "sound/wave/manual.h"

#include <condition_variable>
#include <mutex>

namespace marvane::sound::wave {

namespace {

struct ManualSide {
    std::vector<std::string> names;
    std::vector<bool> capsFail;
    MMRESULT openResult = MMSYSERR_NOERROR;
    int opens = 0;
    UINT lastId = 0;
    int lastRate = 0;
    WaveDevice* device = nullptr;
};

struct ManualState {
    std::mutex lock;
    bool installed = false;
    bool keepsTime = false;
    bool listChanged = false;  // setDevices since the last start
    bool holdOpens = false;
    int heldOpens = 0;
    std::condition_variable opensReleased;
    ManualSide side[2];
    std::vector<std::int16_t> played;
};

ManualState& state() {
    static auto* s = new ManualState;  // never destroyed: devices may outlive main
    return *s;
}

ManualSide& sideOf(Direction direction) {
    return state().side[direction == Direction::input ? 0 : 1];
}

void manualStart() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().listChanged = false;
}

bool manualListOutdated() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().listChanged;
}

bool manualKeepsTime() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().keepsTime;
}

UINT manualNumDevs(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    return static_cast<UINT>(sideOf(direction).names.size());
}

bool manualDeviceName(Direction direction, UINT id, std::string& name) {
    std::lock_guard<std::mutex> guard(state().lock);
    ManualSide& side = sideOf(direction);
    if (id >= side.names.size() || side.capsFail[id]) return false;
    name = side.names[id];
    return true;
}

UINT manualDefaultDevice(Direction) { return WAVE_MAPPER; }

MMRESULT manualOpen(WaveDevice* device, UINT id) {
    std::unique_lock<std::mutex> guard(state().lock);
    if (state().holdOpens) {
        ++state().heldOpens;
        state().opensReleased.wait(guard, [] { return !state().holdOpens; });
        --state().heldOpens;
    }
    ManualSide& side = sideOf(device->direction);
    side.opens++;
    side.lastId = id;
    side.lastRate = device->rate;
    if (side.openResult != MMSYSERR_NOERROR) return side.openResult;
    if (id != WAVE_MAPPER && id >= side.names.size()) return MMSYSERR_BADDEVICEID;
    if (id == WAVE_MAPPER && side.names.empty()) return MMSYSERR_BADDEVICEID;
    side.device = device;
    return MMSYSERR_NOERROR;
}

void manualClose(WaveDevice* device) {
    std::lock_guard<std::mutex> guard(state().lock);
    ManualSide& side = sideOf(device->direction);
    if (side.device == device) side.device = nullptr;
}

}  // namespace

const Backend manualBackend = {"manual",         manualStart,         manualNumDevs,
                               manualDeviceName, manualDefaultDevice, manualOpen,
                               manualClose,      manualListOutdated,  manualKeepsTime};

namespace manual {

void install() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().installed = true;
}

void uninstall() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().installed = false;
    state().keepsTime = false;
}

void keepTime(bool on) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().keepsTime = on;
}

void holdOpens(bool on) {
    {
        std::lock_guard<std::mutex> guard(state().lock);
        state().holdOpens = on;
    }
    state().opensReleased.notify_all();
}

int heldOpens() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().heldOpens;
}

bool installed() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().installed;
}

void setDevices(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    std::lock_guard<std::mutex> guard(state().lock);
    ManualSide& in = state().side[0];
    ManualSide& out = state().side[1];
    in.names = inputs;
    out.names = outputs;
    in.capsFail.assign(inputs.size(), false);
    out.capsFail.assign(outputs.size(), false);
    in.openResult = out.openResult = MMSYSERR_NOERROR;
    in.opens = out.opens = 0;
    state().played.clear();
    state().listChanged = true;
}

void failCaps(Direction direction, UINT id) {
    std::lock_guard<std::mutex> guard(state().lock);
    ManualSide& side = sideOf(direction);
    if (id < side.capsFail.size()) side.capsFail[id] = true;
}

void setOpenResult(Direction direction, MMRESULT result) {
    std::lock_guard<std::mutex> guard(state().lock);
    sideOf(direction).openResult = result;
}

int openCount(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    return sideOf(direction).opens;
}

UINT lastOpenedId(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    return sideOf(direction).lastId;
}

int lastOpenedRate(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    return sideOf(direction).lastRate;
}

// The helpers below hold the back end's lock while they use the open device:
// a close, which takes the same lock, cannot free it under them.

bool isOpen(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    return sideOf(direction).device != nullptr;
}

std::size_t queued(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    WaveDevice* device = sideOf(direction).device;
    return device == nullptr ? 0 : queuedBuffers(device);
}

int waiters(Direction direction) {
    std::lock_guard<std::mutex> guard(state().lock);
    WaveDevice* device = sideOf(direction).device;
    return device == nullptr ? 0 : waitersOn(device->event.load());
}

bool completeCapture(std::int16_t firstValue) {
    std::lock_guard<std::mutex> guard(state().lock);
    WaveDevice* device = sideOf(Direction::input).device;
    if (device == nullptr) return false;
    std::size_t n = headRemaining(device);
    if (n == 0) return false;
    {
        std::lock_guard<std::mutex> deviceGuard(device->lock);
        if (!device->recording) return false;
    }
    std::vector<std::int16_t> samples(n);
    for (std::size_t i = 0; i < n; ++i) samples[i] = static_cast<std::int16_t>(firstValue + i);
    deliverCapture(device, samples.data(), n);
    return true;
}

bool completePlayback() {
    std::lock_guard<std::mutex> guard(state().lock);
    WaveDevice* device = sideOf(Direction::output).device;
    if (device == nullptr) return false;
    std::size_t n = headRemaining(device);
    if (n == 0) return false;
    std::vector<std::int16_t> samples(n);
    std::size_t got = pullPlayback(device, samples.data(), n);
    state().played.insert(state().played.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(got));
    return got == n;
}

std::vector<std::int16_t> played() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().played;
}

void clearPlayed() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().played.clear();
}

void failDevice(Direction direction, const char* reason) {
    std::lock_guard<std::mutex> guard(state().lock);
    WaveDevice* device = sideOf(direction).device;
    if (device != nullptr) markFailed(device, reason);
}

}  // namespace manual

}  // namespace marvane::sound::wave
