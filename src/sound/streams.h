// SPDX-License-Identifier: GPL-3.0-or-later
// The records behind the sound streams, for the stream logic and its tests.
#pragma once

#include <atomic>
#include <cstdint>

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
};

extern SoundStream captureStream;
extern SoundStream playbackStream;
extern wave::WAVEFORMATEX waveFormat;
extern char inputDeviceNames[maxListedDevices][deviceNameSlot];
extern char outputDeviceNames[maxListedDevices][deviceNameSlot];

// Prints one line on the standard output at once (the one-shot commands'
// output, not the log).
void sayLine(const char* text);

}  // namespace marvane::sound
