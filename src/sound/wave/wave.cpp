// SPDX-License-Identifier: GPL-3.0-or-later
// Events, the device-independent half of the wave functions, and the choice
// of back end.
#include "sound/wave/wave.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "sound/wave/backend.h"
#include "sound/wave/manual.h"

namespace marvane::sound::wave {

struct Event {
    std::mutex lock;
    std::condition_variable changed;
    bool signalled = false;
    bool manualReset = false;
    std::atomic<int> waiters{0};
};

namespace {

std::atomic<const Backend*> activeBackend{nullptr};
std::atomic<unsigned> listGeneration{0};
std::atomic<int> abandonedPending{0};
std::atomic<CaptureTap> captureTap{nullptr};

// Signals the device's event, if it still has one. Called with the lock held.
void signalLocked(WaveDevice* device) {
    if (HANDLE event = device->event.load()) SetEvent(event);
}

void keepReason(WaveDevice* device, const char* reason) {
    if (device->failReason[0] == '\0' && reason != nullptr)
        std::snprintf(device->failReason, sizeof device->failReason, "%s", reason);
}

void markDone(WAVEHDR* header) {
    DWORD flags = header->dwFlags.load();
    header->dwFlags.store((flags & ~WHDR_INQUEUE) | WHDR_DONE);
}

// Hands every queued buffer back marked done. Called with the lock held;
// true when there was one.
bool returnAllBuffers(WaveDevice* device) {
    bool any = false;
    for (WAVEHDR* header = device->head; header != nullptr;) {
        WAVEHDR* next = header->lpNext;
        header->lpNext = nullptr;
        if (device->direction == Direction::input) {
            header->dwBytesRecorded = static_cast<DWORD>(header->reserved);
        }
        markDone(header);
        any = true;
        header = next;
    }
    device->head = device->tail = nullptr;
    return any;
}

MMRESULT resetDevice(WaveDevice* device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->recording = false;
    if (returnAllBuffers(device)) signalLocked(device);
    return MMSYSERR_NOERROR;
}

MMRESULT openDevice(WaveDevice** handle, Direction direction, UINT deviceId,
                    const WAVEFORMATEX* format, DWORD_PTR callback, DWORD flags) {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    const Backend* backend = activeBackend.load();
    if (backend == nullptr) return MMSYSERR_NODRIVER;
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels != 1 ||
        format->wBitsPerSample != 16 || format->nSamplesPerSec == 0 ||
        format->nSamplesPerSec > 384000) {
        return WAVERR_BADFORMAT;
    }
    if ((flags & 0x70000) != CALLBACK_EVENT || callback == 0) return MMSYSERR_INVALPARAM;

    auto* device = new WaveDevice;
    device->direction = direction;
    device->backend = backend;
    device->event.store(reinterpret_cast<HANDLE>(callback));
    device->rate = static_cast<int>(format->nSamplesPerSec);
    MMRESULT result = backend->open(device, deviceId);
    if (result != MMSYSERR_NOERROR) {
        delete device;
        return result;
    }
    *handle = device;
    SetEvent(device->event.load());
    return MMSYSERR_NOERROR;
}

MMRESULT closeDevice(WaveDevice* device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    resetDevice(device);
    device->backend->close(device);
    HANDLE event = device->event.load();
    delete device;
    SetEvent(event);
    return MMSYSERR_NOERROR;
}

// The back end's close of an abandoned device, on a thread of its own.
void closeAbandoned(WaveDevice* device) {
    try {
        device->backend->close(device);
        delete device;
    } catch (const std::exception&) {
        // Left as it is: a device that cannot be closed is never freed.
    }
    abandonedPending.fetch_sub(1);
}

MMRESULT abandonDevice(WaveDevice* device, const char* reason) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->failed.store(true);
        keepReason(device, reason);
        device->recording = false;
        returnAllBuffers(device);
        device->event.store(nullptr);
    }
    device->queueChanged.notify_all();
    abandonedPending.fetch_add(1);
    try {
        std::thread(closeAbandoned, device).detach();
    } catch (const std::exception&) {
        abandonedPending.fetch_sub(1);  // never closed: it does nothing more either
    }
    return MMSYSERR_NOERROR;
}

void failReasonOf(WaveDevice* device, char* text, std::size_t size) {
    if (text == nullptr || size == 0) return;
    text[0] = '\0';
    if (device == nullptr) return;
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->failed.load()) std::snprintf(text, size, "%s", device->failReason);
}

MMRESULT prepareHeader(WaveDevice* device, WAVEHDR* header) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    if (header->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags.fetch_or(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT unprepareHeader(WaveDevice* device, WAVEHDR* header) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    if (header->dwFlags.load() & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags.fetch_and(~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT queueBuffer(WaveDevice* device, WAVEHDR* header) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr) return MMSYSERR_INVALPARAM;
    DWORD flags = header->dwFlags.load();
    if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (device->failed.load()) return MMSYSERR_NODRIVER;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        header->dwBytesRecorded = 0;
        header->reserved = 0;
        header->lpNext = nullptr;
        header->dwFlags.store((flags & ~WHDR_DONE) | WHDR_INQUEUE);
        if (device->tail != nullptr) {
            device->tail->lpNext = header;
        } else {
            device->head = header;
        }
        device->tail = header;
    }
    device->queueChanged.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT fullName(Direction direction, UINT_PTR deviceId, std::string& name) {
    const Backend* backend = activeBackend.load();
    if (backend == nullptr || deviceId >= backend->numDevs(direction)) {
        return MMSYSERR_BADDEVICEID;
    }
    if (!backend->deviceName(direction, static_cast<UINT>(deviceId), name)) return MMSYSERR_ERROR;
    return MMSYSERR_NOERROR;
}

MMRESULT copyCaps(Direction direction, UINT_PTR deviceId, char* name) {
    std::string whole;
    MMRESULT result = fullName(direction, deviceId, whole);
    if (result == MMSYSERR_NOERROR) shortenDeviceName(name, whole);
    return result;
}

UINT defaultId(Direction direction) {
    const Backend* backend = activeBackend.load();
    return backend == nullptr ? WAVE_MAPPER : backend->defaultDevice(direction);
}

}  // namespace

// ---- events ----

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
    auto* event = new Event;
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE event) {
    if (event == nullptr) return FALSE;
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->signalled = true;
    }
    event->changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    if (event == nullptr) return FALSE;
    std::lock_guard<std::mutex> guard(event->lock);
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) {
    if (event == nullptr) return WAIT_TIMEOUT;
    std::unique_lock<std::mutex> guard(event->lock);
    event->waiters.fetch_add(1);
    if (milliseconds == INFINITE) {
        event->changed.wait(guard, [event] { return event->signalled; });
    } else {
        event->changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                [event] { return event->signalled; });
    }
    event->waiters.fetch_sub(1);
    if (!event->signalled) return WAIT_TIMEOUT;
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE event) {
    if (event == nullptr) return FALSE;
    delete event;
    return TRUE;
}

// ---- device lists ----

UINT waveInGetNumDevs() {
    const Backend* backend = activeBackend.load();
    return backend == nullptr ? 0 : backend->numDevs(Direction::input);
}

UINT waveOutGetNumDevs() {
    const Backend* backend = activeBackend.load();
    return backend == nullptr ? 0 : backend->numDevs(Direction::output);
}

MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, WAVEINCAPSA* caps, UINT size) {
    if (caps == nullptr || size < sizeof(WAVEINCAPSA)) return MMSYSERR_INVALPARAM;
    char name[MAXPNAMELEN] = {};
    MMRESULT result = copyCaps(Direction::input, deviceId, name);
    if (result != MMSYSERR_NOERROR) return result;
    std::memset(caps, 0, sizeof *caps);
    std::memcpy(caps->szPname, name, sizeof name);
    caps->wChannels = 1;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, WAVEOUTCAPSA* caps, UINT size) {
    if (caps == nullptr || size < sizeof(WAVEOUTCAPSA)) return MMSYSERR_INVALPARAM;
    char name[MAXPNAMELEN] = {};
    MMRESULT result = copyCaps(Direction::output, deviceId, name);
    if (result != MMSYSERR_NOERROR) return result;
    std::memset(caps, 0, sizeof *caps);
    std::memcpy(caps->szPname, name, sizeof name);
    caps->wChannels = 1;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetFullName(UINT deviceId, std::string& name) {
    return fullName(Direction::input, deviceId, name);
}

MMRESULT waveOutGetFullName(UINT deviceId, std::string& name) {
    return fullName(Direction::output, deviceId, name);
}

UINT waveInGetDefaultId() { return defaultId(Direction::input); }
UINT waveOutGetDefaultId() { return defaultId(Direction::output); }

// ---- capture ----

MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD_PTR, DWORD flags) {
    return openDevice(handle, Direction::input, deviceId, format, callback, flags);
}

MMRESULT waveInClose(HWAVEIN handle) { return closeDevice(handle); }
MMRESULT waveInReset(HWAVEIN handle) { return resetDevice(handle); }

MMRESULT waveInStart(HWAVEIN handle) {
    if (handle == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->recording = true;
    return MMSYSERR_NOERROR;
}

// Stopping returns a partly filled buffer as done; empty ones stay queued.
MMRESULT waveInStop(HWAVEIN handle) {
    if (handle == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->recording = false;
    WAVEHDR* header = handle->head;
    if (header != nullptr && header->reserved > 0) {
        handle->head = header->lpNext;
        if (handle->head == nullptr) handle->tail = nullptr;
        header->lpNext = nullptr;
        header->dwBytesRecorded = static_cast<DWORD>(header->reserved);
        markDone(header);
        signalLocked(handle);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT) {
    return prepareHeader(handle, header);
}
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT) {
    return unprepareHeader(handle, header);
}
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT) {
    return queueBuffer(handle, header);
}

// ---- playback ----

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT deviceId, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD_PTR, DWORD flags) {
    return openDevice(handle, Direction::output, deviceId, format, callback, flags);
}

MMRESULT waveOutClose(HWAVEOUT handle) { return closeDevice(handle); }
MMRESULT waveOutReset(HWAVEOUT handle) { return resetDevice(handle); }

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT) {
    return prepareHeader(handle, header);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT) {
    return unprepareHeader(handle, header);
}
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT) {
    return queueBuffer(handle, header);
}

bool waveInFailed(HWAVEIN handle) { return handle == nullptr || handle->failed.load(); }
bool waveOutFailed(HWAVEOUT handle) { return handle == nullptr || handle->failed.load(); }

void waveInGetFailReason(HWAVEIN handle, char* text, std::size_t size) {
    failReasonOf(handle, text, size);
}
void waveOutGetFailReason(HWAVEOUT handle, char* text, std::size_t size) {
    failReasonOf(handle, text, size);
}

MMRESULT waveInAbandon(HWAVEIN handle, const char* reason) { return abandonDevice(handle, reason); }
MMRESULT waveOutAbandon(HWAVEOUT handle, const char* reason) { return abandonDevice(handle, reason); }
int waveAbandonedPending() { return abandonedPending.load(); }

void waveInSetTap(CaptureTap tap) { captureTap.store(tap); }

bool waveListOutdated() {
    const Backend* backend = activeBackend.load();
    return backend != nullptr && backend->listOutdated();
}

void waveRescanDevices() {
    const Backend* backend = activeBackend.load();
    if (backend == nullptr) return;
    backend->start();
    listGeneration.fetch_add(1);
}

unsigned waveListGeneration() { return listGeneration.load(); }

bool waveDevicesKeepTime() {
    const Backend* backend = activeBackend.load();
    return backend != nullptr && backend->keepsTime();
}

// ---- back end side ----

void deliverCapture(WaveDevice* device, const std::int16_t* samples, std::size_t count) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->failed.load() || !device->recording) return;
    if (CaptureTap tap = captureTap.load(std::memory_order_relaxed)) tap(samples, count);
    bool finished = false;
    while (device->head != nullptr) {
        WAVEHDR* header = device->head;
        std::size_t room = (header->dwBufferLength - header->reserved) / 2;
        std::size_t n = count < room ? count : room;
        if (n > 0) {
            std::memcpy(header->lpData + header->reserved, samples, n * 2);
            header->reserved += n * 2;
            samples += n;
            count -= n;
        }
        if (n < room) break;  // buffer not full yet: everything stored
        device->head = header->lpNext;
        if (device->head == nullptr) device->tail = nullptr;
        header->lpNext = nullptr;
        header->dwBytesRecorded = static_cast<DWORD>(header->reserved);
        markDone(header);
        finished = true;
        if (count == 0) break;
    }
    if (finished) signalLocked(device);
}

std::size_t pullPlayback(WaveDevice* device, std::int16_t* dest, std::size_t count) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->failed.load()) return 0;
    std::size_t taken = 0;
    bool finished = false;
    while (device->head != nullptr && taken < count) {
        WAVEHDR* header = device->head;
        std::size_t left = (header->dwBufferLength - header->reserved) / 2;
        std::size_t n = count - taken < left ? count - taken : left;
        std::memcpy(dest + taken, header->lpData + header->reserved, n * 2);
        header->reserved += n * 2;
        taken += n;
        if (n < left) break;
        device->head = header->lpNext;
        if (device->head == nullptr) device->tail = nullptr;
        header->lpNext = nullptr;
        markDone(header);
        finished = true;
    }
    if (finished) signalLocked(device);
    return taken;
}

bool waitUntilQueued(WaveDevice* device) {
    std::unique_lock<std::mutex> guard(device->lock);
    device->queueChanged.wait(guard, [device] {
        return device->head != nullptr || device->wakeRequested;
    });
    return device->head != nullptr;
}

void wake(WaveDevice* device) {
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->wakeRequested = true;
    }
    device->queueChanged.notify_all();
}

void markFailed(WaveDevice* device, const char* reason) {
    {
        std::lock_guard<std::mutex> guard(device->lock);
        keepReason(device, reason);
        device->failed.store(true);
        signalLocked(device);
    }
    device->queueChanged.notify_all();
}

std::size_t headRemaining(WaveDevice* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    if (device->head == nullptr) return 0;
    return (device->head->dwBufferLength - device->head->reserved) / 2;
}

std::size_t queuedBuffers(WaveDevice* device) {
    std::lock_guard<std::mutex> guard(device->lock);
    std::size_t n = 0;
    for (WAVEHDR* header = device->head; header != nullptr; header = header->lpNext) ++n;
    return n;
}

namespace {

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The longest start of text within `limit` bytes that ends between two
// characters, without the spaces it would end in.
std::string headWithin(const std::string& text, std::size_t limit) {
    std::size_t n = std::min(limit, text.size());
    while (n > 0 && n < text.size() && continuationByte(text[n])) --n;
    while (n > 0 && text[n - 1] == ' ') --n;
    return text.substr(0, n);
}

// The part that tells devices of one make apart: a closing "(...)" of at
// most 16 bytes with the space before it, else the last 10 bytes (from a
// character's start).
std::string distinguishingTail(const std::string& name) {
    if (!name.empty() && name.back() == ')') {
        const std::size_t open = name.rfind('(');
        if (open != std::string::npos && name.size() - open <= 16) {
            return name.substr(open > 0 && name[open - 1] == ' ' ? open - 1 : open);
        }
    }
    std::size_t start = name.size() - 10;
    while (start < name.size() && continuationByte(name[start])) ++start;
    return name.substr(start);
}

}  // namespace

void shortenDeviceName(char* dest, const std::string& name) {
    constexpr std::size_t room = MAXPNAMELEN - 1;
    constexpr const char* cut = "...";
    std::string shown;
    if (name.size() <= room) {
        shown = name;
    } else {
        const std::string tail = distinguishingTail(name);
        shown = headWithin(name, room - 3 - tail.size()) + cut + tail;
    }
    std::memcpy(dest, shown.c_str(), shown.size() + 1);
}

void startWaveService() {
    const Backend* backend;
    const char* virtualDir = std::getenv("MARVANE_VIRTUAL_SOUND");
    if (manual::installed()) {
        backend = &manualBackend;
    } else if (virtualDir != nullptr && virtualDir[0] != '\0') {
        backend = &virtualBackend;
    } else {
        backend = &portAudioBackend;
    }
    activeBackend.store(backend);
    backend->start();
    listGeneration.fetch_add(1);
}

namespace manual {
int waitersOn(HANDLE event) { return event == nullptr ? 0 : event->waiters.load(); }
}  // namespace manual

}  // namespace marvane::sound::wave
