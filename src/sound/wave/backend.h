// SPDX-License-Identifier: GPL-3.0-or-later
// What a back end of the wave service provides, and the device side of the
// buffer queue that back ends drive. The queue logic (order, WHDR_DONE before
// the event, reset) lives here once; a back end only moves samples and keeps
// time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "sound/wave/wave.h"

namespace marvane::sound::wave {

enum class Direction { input, output };

struct Backend {
    const char* name;
    // (Re)builds the device lists.
    void (*start)();
    UINT (*numDevs)(Direction direction);
    // The whole name of device id; false when the device cannot report it.
    bool (*deviceName)(Direction direction, UINT id, std::string& name);
    // The listed device that the system's default device (WAVE_MAPPER) is,
    // or WAVE_MAPPER when it is none of them.
    UINT (*defaultDevice)(Direction direction);
    // Starts the device's I/O at device->rate; id may be WAVE_MAPPER.
    MMRESULT (*open)(WaveDevice* device, UINT id);
    // Stops the device's I/O: no deliver or pull happens once it returns.
    // May run on a thread of its own (an abandoned device).
    void (*close)(WaveDevice* device);
    // Whether a new start() would list other devices than the last one did.
    bool (*listOutdated)();
    // Whether the devices finish buffers by their own clock.
    bool (*keepsTime)();
};

struct WaveDevice {
    Direction direction = Direction::input;
    const Backend* backend = nullptr;
    // Signalled under `lock` only, so that once an abandon has cleared it no
    // device thread signals the stream's event again.
    std::atomic<HANDLE> event{nullptr};
    int rate = 0;
    void* backendData = nullptr;

    std::mutex lock;                      // guards the queue, recording and failReason
    std::condition_variable queueChanged; // a buffer was queued, or wake() was called
    WAVEHDR* head = nullptr;
    WAVEHDR* tail = nullptr;
    bool recording = false;
    bool wakeRequested = false;
    std::atomic<bool> failed{false};
    char failReason[160] = {};
};

// Capture side: stores samples into the queued buffers in order while
// recording; a buffer that becomes full is marked done and the event is
// signalled. Samples with no buffer to go to are lost (an overrun).
void deliverCapture(WaveDevice* device, const std::int16_t* samples, std::size_t count);

// Playback side: takes up to count samples from the queued buffers in order,
// marking each emptied buffer done and signalling the event. Returns the
// number of samples taken; fewer than count means the queue ran dry.
std::size_t pullPlayback(WaveDevice* device, std::int16_t* dest, std::size_t count);

// Waits until a playback buffer is queued or wake() is called; true when
// something is queued.
bool waitUntilQueued(WaveDevice* device);
void wake(WaveDevice* device);

// The device stopped working: later deliveries and pulls do nothing, and the
// event is signalled once so that a waiting stream sees it. The first reason
// given is kept.
void markFailed(WaveDevice* device, const char* reason);

// Samples still missing in the oldest queued buffer (0 when none is queued),
// and the number of queued buffers.
std::size_t headRemaining(WaveDevice* device);
std::size_t queuedBuffers(WaveDevice* device);

extern const Backend portAudioBackend;
extern const Backend virtualBackend;
extern const Backend manualBackend;

// A device name cut to MAXPNAMELEN - 1 bytes for the capabilities record.
// A longer name loses its middle, not its end, so that what tells two cards
// of one make apart (ALSA's "(hw:1,0)") stays: "USB Audio CODEC: USB Audio
// Device (hw:1,0)" is listed as "USB Audio CODEC: US... (hw:1,0)". A cut
// never splits a UTF-8 character.
void shortenDeviceName(char* dest, const std::string& name);

}  // namespace marvane::sound::wave
