// SPDX-License-Identifier: GPL-3.0-or-later
// Capture and playback block streams over the wave service: four buffers in
// flight per stream, told of finished buffers by the stream's event, and a
// device that is (re)opened lazily on the pump's thread after a select.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/notice.h"
#include "sound/sound.h"
#include "sound/streams.h"

namespace marvane::sound {

using namespace wave;

SoundStream captureStream;
SoundStream playbackStream;
WAVEFORMATEX waveFormat;
char inputDeviceNames[maxListedDevices][deviceNameSlot];
char outputDeviceNames[maxListedDevices][deviceNameSlot];

namespace {

int inputCount = 0;
int outputCount = 0;
std::string inputFullNames[maxListedDevices];
std::string outputFullNames[maxListedDevices];
int inputDefault = -1;
int outputDefault = -1;

// Each sound message is a log line of its own.
void say(const char* text) { config::notice("%s", text); }

int listedDefault(UINT id, int count) {
    return id != WAVE_MAPPER && static_cast<int>(id) < count ? static_cast<int>(id) : -1;
}

void resetHeader(WAVEHDR& header) {
    header.lpData = nullptr;
    header.dwBufferLength = 0;
    header.dwBytesRecorded = 0;
    header.dwUser = 0;
    header.dwFlags.store(0);
    header.dwLoops = 0;
    header.lpNext = nullptr;
    header.reserved = 0;
}

// Puts a stream back to its state before any configure. Devices still open
// are closed and buffers freed, so that a repeated start leaks nothing.
void resetStream(SoundStream& s, bool capture) {
    if (s.deviceHandle != nullptr) {
        if (capture) {
            waveInReset(s.deviceHandle);
            waveInClose(s.deviceHandle);
        } else {
            waveOutReset(s.deviceHandle);
            waveOutClose(s.deviceHandle);
        }
    }
    s.deviceHandle = nullptr;
    if (s.bufferEvent != nullptr) CloseHandle(s.bufferEvent);
    s.bufferEvent = nullptr;
    for (int i = 0; i < streamBufferCount; ++i) {
        resetHeader(s.headers[i]);
        delete[] s.buffers[i];
        s.buffers[i] = nullptr;
    }
}

bool deviceWorking(const SoundStream& s, bool capture) {
    return capture ? !waveInFailed(s.deviceHandle) : !waveOutFailed(s.deviceHandle);
}

// A stream without a working device still paces its caller: about one
// block's time per call.
void waitWithoutDevice(SoundStream& s) {
    DWORD ms = 100;
    if (s.blockSamples > 0 && s.sampleRate > 0) {
        ms = static_cast<DWORD>(
            std::clamp(static_cast<long long>(s.blockSamples) * 1000 / s.sampleRate, 1LL, 1000LL));
    }
    WaitForSingleObject(s.bufferEvent, ms);
}

void setFormatRate(int rate) {
    waveFormat.nSamplesPerSec = static_cast<DWORD>(rate);
    waveFormat.nAvgBytesPerSec = waveFormat.nBlockAlign * static_cast<DWORD>(rate);
}

void openCapture() {
    SoundStream& s = captureStream;
    if (s.deviceHandle != nullptr) {
        waveInReset(s.deviceHandle);
        waveInClose(s.deviceHandle);
    }
    setFormatRate(s.sampleRate);
    MMRESULT result = waveInOpen(&s.deviceHandle, static_cast<UINT>(s.deviceNumber.load()),
                                 &waveFormat, reinterpret_cast<DWORD_PTR>(s.bufferEvent), 0,
                                 CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) say("Sound Interface Start, waveInOpen() failed.");
}

void openPlayback() {
    SoundStream& s = playbackStream;
    if (s.deviceHandle != nullptr) {
        waveOutReset(s.deviceHandle);
        waveOutClose(s.deviceHandle);
    }
    setFormatRate(s.sampleRate);
    MMRESULT result = waveOutOpen(&s.deviceHandle, static_cast<UINT>(s.deviceNumber.load()),
                                  &waveFormat, reinterpret_cast<DWORD_PTR>(s.bufferEvent), 0,
                                  CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) say("Sound Interface Start, waveOutOpen() failed.");
}

void prepareBuffer(SoundStream& s, int i, bool capture) {
    WAVEHDR& header = s.headers[i];
    header.lpData = reinterpret_cast<char*>(s.buffers[i]);
    header.dwBufferLength = static_cast<DWORD>(2 * s.blockSamples);
    header.dwFlags.store(0);
    if (capture) {
        waveInPrepareHeader(s.deviceHandle, &header, sizeof header);
    } else {
        waveOutPrepareHeader(s.deviceHandle, &header, sizeof header);
    }
}

void requeueCapture() {
    SoundStream& s = captureStream;
    int i = s.nextIndex;
    waveInUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
    prepareBuffer(s, i, true);
    waveInAddBuffer(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
    s.nextIndex = (i + 1) % streamBufferCount;
}

void requeuePlayback(int i) {
    SoundStream& s = playbackStream;
    waveOutUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
    prepareBuffer(s, i, false);
    waveOutWrite(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
}

bool isDone(const WAVEHDR& header) { return (header.dwFlags.load() & WHDR_DONE) != 0; }

// Count of finished playback buffers and the highest finished index.
int countFinishedBuffers(int& highest) {
    int n = 0;
    for (int i = 0; i < streamBufferCount; ++i) {
        if (isDone(playbackStream.headers[i])) {
            ++n;
            highest = i;
        }
    }
    return n;
}

}  // namespace

void initSoundCards() {
    resetStream(captureStream, true);
    resetStream(playbackStream, false);

    waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    waveFormat.nChannels = 1;
    waveFormat.wBitsPerSample = 16;
    waveFormat.nSamplesPerSec = 48000;
    waveFormat.nBlockAlign = static_cast<WORD>(waveFormat.nChannels * waveFormat.wBitsPerSample / 8);
    waveFormat.nAvgBytesPerSec = waveFormat.nBlockAlign * waveFormat.nSamplesPerSec;
    waveFormat.cbSize = 0;

    startWaveService();
    inputCount = static_cast<int>(std::min<UINT>(waveInGetNumDevs(), maxListedDevices));
    outputCount = static_cast<int>(std::min<UINT>(waveOutGetNumDevs(), maxListedDevices));
    if (inputCount == 0 || outputCount == 0) say("No audio device found.");

    std::memset(inputDeviceNames, 0, sizeof inputDeviceNames);
    std::memset(outputDeviceNames, 0, sizeof outputDeviceNames);
    for (int i = 0; i < inputCount; ++i) {
        WAVEINCAPSA caps;
        if (waveInGetDevCapsA(static_cast<UINT_PTR>(i), &caps, sizeof caps) == MMSYSERR_NOERROR) {
            std::memcpy(inputDeviceNames[i], caps.szPname, MAXPNAMELEN);
        }
    }
    for (int i = 0; i < outputCount; ++i) {
        WAVEOUTCAPSA caps;
        if (waveOutGetDevCapsA(static_cast<UINT_PTR>(i), &caps, sizeof caps) == MMSYSERR_NOERROR) {
            std::memcpy(outputDeviceNames[i], caps.szPname, MAXPNAMELEN);
        }
    }
    for (int i = 0; i < maxListedDevices; ++i) {
        inputFullNames[i].clear();
        outputFullNames[i].clear();
        if (i < inputCount) waveInGetFullName(static_cast<UINT>(i), inputFullNames[i]);
        if (i < outputCount) waveOutGetFullName(static_cast<UINT>(i), outputFullNames[i]);
    }
    inputDefault = listedDefault(waveInGetDefaultId(), inputCount);
    outputDefault = listedDefault(waveOutGetDefaultId(), outputCount);

    captureStream.bufferEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    playbackStream.bufferEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    captureStream.reopenPending.store(true);
    playbackStream.reopenPending.store(true);
    captureStream.deviceNumber.store(0);
    playbackStream.deviceNumber.store(0);
    playbackStream.blocking.store(false);
    captureStream.blocking.store(true);
}

int inputDeviceCount() { return inputCount; }
int outputDeviceCount() { return outputCount; }

const char* inputDeviceName(int i) {
    return i >= 0 && i < inputCount ? inputDeviceNames[i] : "";
}

const char* outputDeviceName(int i) {
    return i >= 0 && i < outputCount ? outputDeviceNames[i] : "";
}

const char* inputDeviceFullName(int i) {
    return i >= 0 && i < inputCount ? inputFullNames[i].c_str() : "";
}

const char* outputDeviceFullName(int i) {
    return i >= 0 && i < outputCount ? outputFullNames[i].c_str() : "";
}

int inputDefaultDevice() { return inputDefault; }
int outputDefaultDevice() { return outputDefault; }

void sayLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}


void configureCapture(int blockSamples, int rate) {
    SoundStream& s = captureStream;
    s.sampleRate = rate;
    // Cleared before the open, so a select made meanwhile is not lost.
    if (s.reopenPending.exchange(false)) openCapture();
    s.blockSamples = std::max(blockSamples, 0);
    waveInReset(s.deviceHandle);
    waveInStop(s.deviceHandle);
    s.nextIndex = 0;
    for (int i = 0; i < streamBufferCount; ++i) {
        waveInUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
        delete[] s.buffers[i];
        s.buffers[i] = new std::int16_t[static_cast<std::size_t>(s.blockSamples)];
        prepareBuffer(s, i, true);
        requeueCapture();
    }
    waveInStart(s.deviceHandle);
    ResetEvent(s.bufferEvent);
}

void configurePlayback(int blockSamples, int rate) {
    SoundStream& s = playbackStream;
    s.sampleRate = rate;
    s.reopenPending.store(false);
    openPlayback();
    s.blockSamples = std::max(blockSamples, 0);
    waveOutReset(s.deviceHandle);
    for (int i = 0; i < streamBufferCount; ++i) {
        waveOutUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
        delete[] s.buffers[i];
        s.buffers[i] = new std::int16_t[static_cast<std::size_t>(s.blockSamples)]();
        prepareBuffer(s, i, false);
        requeuePlayback(i);
    }
}

bool readCaptureBlock(std::int16_t* dest) {
    SoundStream& s = captureStream;
    if (s.reopenPending.load()) configureCapture(s.blockSamples, s.sampleRate);
    const bool blocking = s.blocking.load();
    if (!deviceWorking(s, true)) {
        if (blocking) waitWithoutDevice(s);
        return false;
    }
    if (!isDone(s.headers[s.nextIndex])) {
        if (!blocking) return false;
        // Buffers finish in the order handed over, so the wakeup is for this
        // one; the loop only guards against reading a buffer still in use.
        do {
            WaitForSingleObject(s.bufferEvent, INFINITE);
            if (!deviceWorking(s, true)) return false;
        } while (!isDone(s.headers[s.nextIndex]));
    }
    int finished = 0;
    for (int i = 0; i < streamBufferCount; ++i) finished += isDone(s.headers[i]) ? 1 : 0;
    const bool overrun = finished == streamBufferCount;
    std::memcpy(dest, s.buffers[s.nextIndex], static_cast<std::size_t>(s.blockSamples) * 2);
    requeueCapture();
    ResetEvent(s.bufferEvent);
    return overrun;
}

bool writePlaybackBlock(const std::int16_t* src) {
    SoundStream& s = playbackStream;
    if (s.reopenPending.load()) configurePlayback(s.blockSamples, s.sampleRate);
    const bool blocking = s.blocking.load();
    if (!deviceWorking(s, false)) {
        if (blocking) waitWithoutDevice(s);
        return true;
    }
    int highest = 0;
    int n = countFinishedBuffers(highest);
    int target;
    bool indication;
    const auto bytes = static_cast<std::size_t>(s.blockSamples) * 2;
    if (n == 0) {
        if (!blocking) return true;
        do {
            WaitForSingleObject(s.bufferEvent, INFINITE);
            if (!deviceWorking(s, false)) return true;
            n = countFinishedBuffers(highest);
        } while (n == 0);
        target = highest;
        indication = false;
    } else if (n == streamBufferCount) {
        // The output ran dry: restart it behind two blocks of silence.
        std::memset(s.buffers[0], 0, bytes);
        std::memset(s.buffers[1], 0, bytes);
        requeuePlayback(0);
        requeuePlayback(1);
        target = 2;
        indication = true;
    } else {
        target = highest;
        indication = false;
    }
    std::memcpy(s.buffers[target], src, bytes);
    requeuePlayback(target);
    return indication;
}

void selectCaptureDevice(int number, bool blocking) {
    if (number >= inputCount) number = -1;
    captureStream.blocking.store(blocking);
    captureStream.deviceNumber.store(number);
    captureStream.reopenPending.store(true);
}

void selectPlaybackDevice(int number, bool blocking) {
    if (number >= outputCount) number = -1;
    playbackStream.blocking.store(blocking);
    playbackStream.deviceNumber.store(number);
    playbackStream.reopenPending.store(true);
}

void closeSoundDevices() {
    if (captureStream.deviceHandle != nullptr) {
        waveInReset(captureStream.deviceHandle);
        waveInClose(captureStream.deviceHandle);
        captureStream.deviceHandle = nullptr;
    }
    if (playbackStream.deviceHandle != nullptr) {
        waveOutReset(playbackStream.deviceHandle);
        waveOutClose(playbackStream.deviceHandle);
        playbackStream.deviceHandle = nullptr;
    }
    captureStream.reopenPending.store(true);
    playbackStream.reopenPending.store(true);
}

}  // namespace marvane::sound
