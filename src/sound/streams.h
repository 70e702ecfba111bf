// SPDX-License-Identifier: GPL-3.0-or-later
// The records behind the sound streams, for the stream logic and its tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "sound/wave/wave.h"

namespace marvane::sound {

constexpr int streamBufferCount = 4;
constexpr int maxListedDevices = 8;
constexpr int deviceNameSlot = 100;

struct SoundStream {
    wave::WaveDevice* deviceHandle = nullptr;  // HWAVEIN or HWAVEOUT
    // Written by select on any thread, read by the pump: reopenPending last.
    std::atomic<int> deviceNumber{0};
    std::atomic<bool> reopenPending{false};
    std::atomic<bool> blocking{false};
    int blockSamples = 0;
    int sampleRate = 0;
    wave::HANDLE bufferEvent = nullptr;
    wave::WAVEHDR headers[streamBufferCount];
    std::int16_t* buffers[streamBufferCount] = {};
    int nextIndex = 0;  // capture only: the buffer the next read takes

    // A device that failed, hung or did not open is lost until a device is
    // open again and has finished a buffer. Meanwhile the stream reads
    // silence and drops blocks at a working device's pace, and looks for the
    // device again every lookAgainEvery. Audio pump thread only, but for the
    // atomics, which any thread may read.
    std::atomic<bool> lost{false};
    std::atomic<std::int64_t> lostSince{0};  // steady clock, ns; 0 while it works
    std::string deviceName;       // the device in use, or lost, for the messages
    bool defaultDevice = false;   // opened as the system's default device
    std::string lostReason;
    std::chrono::steady_clock::time_point nextLook{};
    std::chrono::steady_clock::time_point paceDue{};
    std::chrono::steady_clock::time_point openedAt{};
    bool delivered = false;  // the open device has finished a buffer
};

constexpr auto lookAgainEvery = std::chrono::seconds(2);
// A waiting stream gives up on a device that keeps time but finishes no
// buffer for this many slices: it hangs. A device just opened may take
// longer to start (a sound server's idle sink does): a device looked for
// again, which is not waited for, gets startLimit.
constexpr wave::DWORD waitSliceMs = 100;
constexpr int hungSlices = 20;
constexpr int startSlices = 50;
constexpr auto startLimit = std::chrono::seconds(5);

extern SoundStream captureStream;
extern SoundStream playbackStream;
extern wave::WAVEFORMATEX waveFormat;
extern char inputDeviceNames[maxListedDevices][deviceNameSlot];
extern char outputDeviceNames[maxListedDevices][deviceNameSlot];

// Prints one line on the standard output at once (the one-shot commands'
// output, not the log).
void sayLine(const char* text);

}  // namespace marvane::sound
