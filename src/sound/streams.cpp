// SPDX-License-Identifier: GPL-3.0-or-later
// Capture and playback block streams over the wave service: four buffers in
// flight per stream, told of finished buffers by the stream's event, and a
// device that is (re)opened lazily on the pump's thread after a select. A
// device that fails or hangs is let go without waiting for it and looked for
// again until it is back (see sound.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

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

using Clock = std::chrono::steady_clock;

int inputCount = 0;
int outputCount = 0;
std::string inputFullNames[maxListedDevices];
std::string outputFullNames[maxListedDevices];
int inputDefault = -1;
int outputDefault = -1;
// The wave service's list build that the listed devices above come from.
unsigned listedGeneration = 0;

// The names a lost device is looked for by first; written by any thread.
std::mutex namesLock;
std::string wantedPlaybackName;
std::string wantedCaptureName;

std::atomic<SoundStatusObserver> statusObserver{nullptr};
std::atomic<bool> waitingNow{false};

// An id no device has: a device chosen in an older list that is not in the
// present one does not open (another device is never opened in its place).
constexpr UINT noDevice = static_cast<UINT>(-2);

// Each sound message is a log line of its own.
void say(const char* text) { config::notice("%s", text); }

const char* role(bool capture) { return capture ? "capture" : "playback"; }

SoundStream& streamOf(bool capture) { return capture ? captureStream : playbackStream; }

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

void closeDevice(SoundStream& s, bool capture) {
    if (s.deviceHandle == nullptr) return;
    if (capture) {
        waveInReset(s.deviceHandle);
        waveInClose(s.deviceHandle);
    } else {
        waveOutReset(s.deviceHandle);
        waveOutClose(s.deviceHandle);
    }
    s.deviceHandle = nullptr;
}

// Puts a stream back to its state before any configure. Devices still open
// are closed and buffers freed, so that a repeated start leaks nothing.
void resetStream(SoundStream& s, bool capture) {
    closeDevice(s, capture);
    if (s.bufferEvent != nullptr) CloseHandle(s.bufferEvent);
    s.bufferEvent = nullptr;
    for (int i = 0; i < streamBufferCount; ++i) {
        resetHeader(s.headers[i]);
        delete[] s.buffers[i];
        s.buffers[i] = nullptr;
    }
    s.lost.store(false);
    s.lostSince.store(0);
    s.deviceName.clear();
    s.defaultDevice = false;
    s.lostReason.clear();
    s.nextLook = {};
    s.paceDue = {};
    s.openedAt = {};
    s.delivered = false;
}

bool deviceWorking(const SoundStream& s, bool capture) {
    return capture ? !waveInFailed(s.deviceHandle) : !waveOutFailed(s.deviceHandle);
}

bool isDone(const WAVEHDR& header) { return (header.dwFlags.load() & WHDR_DONE) != 0; }

bool anyDone(const SoundStream& s) {
    for (const WAVEHDR& header : s.headers)
        if (isDone(header)) return true;
    return false;
}

// ---- names of devices ----

MMRESULT fullNameOf(bool capture, UINT id, std::string& name) {
    return capture ? waveInGetFullName(id, name) : waveOutGetFullName(id, name);
}

// What the messages call the device of that id.
std::string labelOf(bool capture, UINT id) {
    std::string name;
    if (id == WAVE_MAPPER) {
        const UINT fallback = capture ? waveInGetDefaultId() : waveOutGetDefaultId();
        if (fallback != WAVE_MAPPER && fullNameOf(capture, fallback, name) == MMSYSERR_NOERROR &&
            !name.empty())
            return name;
        return "the system's default device";
    }
    if (fullNameOf(capture, id, name) == MMSYSERR_NOERROR && !name.empty()) return name;
    return "device " + std::to_string(static_cast<int>(id));
}

// The wave service's present device list, for findDeviceByName; taken anew
// before each search. Pump thread only.
constexpr int maxScanned = 64;
std::string scannedNames[2][maxScanned];
int scannedCount[2] = {0, 0};

const char* scannedInput(int i) { return i >= 0 && i < scannedCount[0] ? scannedNames[0][i].c_str() : ""; }
const char* scannedOutput(int i) { return i >= 0 && i < scannedCount[1] ? scannedNames[1][i].c_str() : ""; }

int findPresent(bool capture, const std::string& name) {
    if (name.empty()) return -1;
    const int side = capture ? 0 : 1;
    const UINT count = capture ? waveInGetNumDevs() : waveOutGetNumDevs();
    scannedCount[side] = static_cast<int>(std::min<UINT>(count, maxScanned));
    for (int i = 0; i < scannedCount[side]; ++i) {
        scannedNames[side][i].clear();
        fullNameOf(capture, static_cast<UINT>(i), scannedNames[side][i]);
    }
    return findDeviceByName(name, scannedCount[side], capture ? scannedInput : scannedOutput);
}

// The id to open for the stream's selected number: the number itself while
// the lists are the ones it was chosen from, else the listed device found
// again by its whole name.
UINT selectedId(const SoundStream& s, bool capture) {
    const int number = s.deviceNumber.load();
    if (number < 0 || waveListGeneration() == listedGeneration) return static_cast<UINT>(number);
    const int found = findPresent(capture, capture ? inputFullNames[number] : outputFullNames[number]);
    return found >= 0 ? static_cast<UINT>(found) : noDevice;
}

// Where a device is looked for again. A lost one: by the wanted name, then
// by its own whole name, or as the default device again. One that worked
// until the lists were rebuilt: the same device, by its name only.
bool findAgain(const SoundStream& s, bool capture, bool wasWorking, UINT& id) {
    int found = -1;
    if (!wasWorking) {
        std::string wanted;
        {
            std::lock_guard<std::mutex> guard(namesLock);
            wanted = capture ? wantedCaptureName : wantedPlaybackName;
        }
        found = findPresent(capture, wanted);
    }
    if (found < 0 && !s.defaultDevice) found = findPresent(capture, s.deviceName);
    if (found >= 0) {
        id = static_cast<UINT>(found);
        return true;
    }
    id = WAVE_MAPPER;
    return s.defaultDevice;
}

// ---- loss and return ----

const char* openFailure(MMRESULT result) {
    switch (result) {
        case MMSYSERR_BADDEVICEID: return "no such device";
        case WAVERR_BADFORMAT: return "it takes no format that can be used";
        default: return "it does not open";
    }
}

void publishStatus() {
    char text[700] = "";
    std::size_t used = 0;
    for (bool capture : {true, false}) {
        const SoundStream& s = streamOf(capture);
        if (!s.lost.load() || used >= sizeof text) continue;
        used += static_cast<std::size_t>(std::snprintf(
            text + used, sizeof text - used, "%s%s device lost: %s: %s", used > 0 ? "; " : "",
            role(capture), s.deviceName.c_str(), s.lostReason.c_str()));
    }
    if (SoundStatusObserver observer = statusObserver.load()) observer(text);
}

// The stream has no working device from now on; said once per loss. A
// device that fails again before it was back is looked for again quietly.
void markLost(SoundStream& s, bool capture, const char* reason) {
    const auto now = Clock::now();
    s.nextLook = now + lookAgainEvery;
    if (s.lost.load()) return;
    s.lostReason = reason != nullptr && reason[0] != '\0' ? reason : "it stopped working";
    s.lostSince.store(std::max<std::int64_t>(1, now.time_since_epoch().count()));
    s.lost.store(true);
    config::notice("%s device lost: %s: %s", role(capture), s.deviceName.c_str(),
                   s.lostReason.c_str());
    publishStatus();
}

// Lets go of a device that failed or hangs, without waiting for it.
void loseDevice(SoundStream& s, bool capture, const char* hangReason = nullptr) {
    char reason[160] = "";
    if (capture)
        waveInGetFailReason(s.deviceHandle, reason, sizeof reason);
    else
        waveOutGetFailReason(s.deviceHandle, reason, sizeof reason);
    if (reason[0] == '\0' && hangReason != nullptr)
        std::snprintf(reason, sizeof reason, "%s", hangReason);
    if (s.deviceHandle != nullptr) {
        if (capture)
            waveInAbandon(s.deviceHandle, reason);
        else
            waveOutAbandon(s.deviceHandle, reason);
        s.deviceHandle = nullptr;
    }
    markLost(s, capture, reason);
}

// A device open again that has finished a buffer is back.
void noticeReturn(SoundStream& s, bool capture) {
    if (!s.lost.load() || !deviceWorking(s, capture) || !anyDone(s)) return;
    s.lost.store(false);
    s.lostSince.store(0);
    s.lostReason.clear();
    config::notice("%s device back: %s", role(capture), s.deviceName.c_str());
    publishStatus();
}

void setFormatRate(int rate) {
    waveFormat.nSamplesPerSec = static_cast<DWORD>(rate);
    waveFormat.nAvgBytesPerSec = waveFormat.nBlockAlign * static_cast<DWORD>(rate);
}

// Opens device id for the stream, whose device is closed; the stream's
// names follow it.
MMRESULT openStreamDevice(SoundStream& s, bool capture, UINT id) {
    setFormatRate(s.sampleRate);
    s.deviceName = labelOf(capture, id);
    s.defaultDevice = id == WAVE_MAPPER;
    s.openedAt = Clock::now();
    s.delivered = false;
    const auto event = reinterpret_cast<DWORD_PTR>(s.bufferEvent);
    return capture ? waveInOpen(&s.deviceHandle, id, &waveFormat, event, 0, CALLBACK_EVENT)
                   : waveOutOpen(&s.deviceHandle, id, &waveFormat, event, 0, CALLBACK_EVENT);
}

// The open of a select: the old device is let go first (at once if it
// failed, so that a hung one does not hold up the pump).
void openSelected(bool capture) {
    SoundStream& s = streamOf(capture);
    if (s.deviceHandle != nullptr) {
        if (deviceWorking(s, capture))
            closeDevice(s, capture);
        else
            loseDevice(s, capture);
    }
    const MMRESULT result = openStreamDevice(s, capture, selectedId(s, capture));
    if (result == MMSYSERR_NOERROR) return;
    say(capture ? "Sound Interface Start, waveInOpen() failed."
                : "Sound Interface Start, waveOutOpen() failed.");
    markLost(s, capture, openFailure(result));
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

// All four capture buffers to the device in the order 0 to 3, recording.
void startCapture() {
    SoundStream& s = captureStream;
    waveInReset(s.deviceHandle);
    waveInStop(s.deviceHandle);
    s.nextIndex = 0;
    for (int i = 0; i < streamBufferCount; ++i) requeueCapture();
    waveInStart(s.deviceHandle);
    ResetEvent(s.bufferEvent);
}

// Four blocks of silence queued: the device plays them at once.
void startPlayback() {
    SoundStream& s = playbackStream;
    waveOutReset(s.deviceHandle);
    for (int i = 0; i < streamBufferCount; ++i) {
        if (s.buffers[i] != nullptr)
            std::memset(s.buffers[i], 0, static_cast<std::size_t>(s.blockSamples) * 2);
        requeuePlayback(i);
    }
}

void startDevice(bool capture) {
    if (capture)
        startCapture();
    else
        startPlayback();
}

// Opens a device looked for again and starts it; false when it did not open.
bool reopen(SoundStream& s, bool capture, UINT id) {
    if (openStreamDevice(s, capture, id) != MMSYSERR_NOERROR) return false;
    startDevice(capture);
    return true;
}

// The lists are rebuilt with every device closed; those open before are
// opened again at once (a working one then loses what was queued, once).
// False while an abandoned device is still closing.
bool rescanDevices() {
    if (waveAbandonedPending() > 0) return false;
    bool wasOpen[2];
    bool wasWorking[2];
    for (bool capture : {true, false}) {
        SoundStream& s = streamOf(capture);
        wasOpen[capture] = s.deviceHandle != nullptr;
        wasWorking[capture] = !s.lost.load();
        closeDevice(s, capture);
    }
    waveRescanDevices();
    for (bool capture : {true, false}) {
        SoundStream& s = streamOf(capture);
        UINT id;
        if (!wasOpen[capture]) continue;
        if (!findAgain(s, capture, wasWorking[capture], id) || !reopen(s, capture, id))
            markLost(s, capture, "not found again after the sound cards changed");
    }
    return true;
}

// Every lookAgainEvery while the device is lost and closed.
void lookAgain(SoundStream& s, bool capture) {
    const auto now = Clock::now();
    if (!s.lost.load() || s.deviceHandle != nullptr || now < s.nextLook || s.blockSamples <= 0)
        return;
    s.nextLook = now + lookAgainEvery;
    if (waveListOutdated() && !rescanDevices()) return;
    UINT id;
    if (findAgain(s, capture, false, id)) reopen(s, capture, id);
}

// What every read and write does first: a device that failed meanwhile is
// let go and said lost, one that is back is said back (or let go again if it
// does not start), and, from reads only (never in the middle of a
// transmission), lost devices are looked for.
void tendStreams(bool lookForLost) {
    for (bool capture : {true, false}) {
        SoundStream& s = streamOf(capture);
        if (s.deviceHandle != nullptr && !deviceWorking(s, capture)) loseDevice(s, capture);
        noticeReturn(s, capture);
        if (s.lost.load() && s.deviceHandle != nullptr && waveDevicesKeepTime() &&
            Clock::now() - s.openedAt > startLimit)
            loseDevice(s, capture, "it does not start");
        if (lookForLost) lookAgain(s, capture);
    }
}

// A stream without a device still paces its caller: one block's time per
// call, on a steady schedule, so that a pump reading silence keeps its rate.
void paceWithoutDevice(SoundStream& s) {
    std::chrono::nanoseconds block = std::chrono::milliseconds(100);
    if (s.blockSamples > 0 && s.sampleRate > 0)
        block = std::chrono::nanoseconds(static_cast<long long>(s.blockSamples) * 1000000000LL /
                                         s.sampleRate);
    block = std::clamp<std::chrono::nanoseconds>(block, std::chrono::milliseconds(1),
                                                 std::chrono::seconds(1));
    const auto now = Clock::now();
    if (s.paceDue + block < now) s.paceDue = now;  // fallen behind: no burst to catch up
    s.paceDue += block;
    std::this_thread::sleep_until(s.paceDue);
}

enum class Wait { ready, failed, hung };

// Waits until ready() (a buffer finished). A device that keeps time and
// finishes nothing for hungSlices slices hangs: the wait never outlasts it.
template <class Ready>
Wait waitForDevice(SoundStream& s, bool capture, Ready ready) {
    const bool timed = waveDevicesKeepTime();
    const int limit = s.delivered ? hungSlices : startSlices;
    int quiet = 0;
    Wait outcome = Wait::ready;
    waitingNow.store(true);
    while (!ready()) {
        const DWORD woken = WaitForSingleObject(s.bufferEvent, waitSliceMs);
        if (!deviceWorking(s, capture)) {
            outcome = Wait::failed;
            break;
        }
        if (woken == WAIT_TIMEOUT && timed && ++quiet >= limit) {
            outcome = Wait::hung;
            break;
        }
    }
    waitingNow.store(false);
    return outcome;
}

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
    // Devices let go earlier are closed before the lists are built anew.
    for (int i = 0; i < 500 && waveAbandonedPending() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    listedGeneration = waveListGeneration();
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
    setDeviceNames("", "");
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
    if (s.reopenPending.exchange(false)) openSelected(true);
    s.blockSamples = std::max(blockSamples, 0);
    // The device hands every buffer back before any is freed.
    waveInReset(s.deviceHandle);
    waveInStop(s.deviceHandle);
    for (int i = 0; i < streamBufferCount; ++i) {
        waveInUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
        delete[] s.buffers[i];
        s.buffers[i] = new std::int16_t[static_cast<std::size_t>(s.blockSamples)];
    }
    startCapture();
}

void configurePlayback(int blockSamples, int rate) {
    SoundStream& s = playbackStream;
    s.sampleRate = rate;
    s.reopenPending.store(false);
    openSelected(false);
    s.blockSamples = std::max(blockSamples, 0);
    waveOutReset(s.deviceHandle);
    for (int i = 0; i < streamBufferCount; ++i) {
        waveOutUnprepareHeader(s.deviceHandle, &s.headers[i], sizeof(WAVEHDR));
        delete[] s.buffers[i];
        s.buffers[i] = new std::int16_t[static_cast<std::size_t>(s.blockSamples)]();
    }
    startPlayback();
}

bool readCaptureBlock(std::int16_t* dest) {
    SoundStream& s = captureStream;
    tendStreams(true);
    if (s.reopenPending.load()) configureCapture(s.blockSamples, s.sampleRate);
    const bool blocking = s.blocking.load();
    const auto bytes = static_cast<std::size_t>(s.blockSamples) * 2;
    if (!deviceWorking(s, true)) {
        if (s.deviceHandle != nullptr) loseDevice(s, true);
        if (blocking) {
            paceWithoutDevice(s);
            std::memset(dest, 0, bytes);
        }
        return false;
    }
    if (!isDone(s.headers[s.nextIndex])) {
        if (!blocking) return false;
        if (s.lost.load()) {
            // Looked for again and not started yet: silence at the pace of a
            // block meanwhile, never a wait for it.
            paceWithoutDevice(s);
            std::memset(dest, 0, bytes);
            return false;
        }
        // Buffers finish in the order handed over, so a wakeup is for this
        // one; the loop only guards against reading a buffer still in use.
        const Wait outcome = waitForDevice(s, true, [&s] { return isDone(s.headers[s.nextIndex]); });
        if (outcome != Wait::ready) {
            loseDevice(s, true, "no audio from it for 2 s");
            std::memset(dest, 0, bytes);
            return false;
        }
    }
    s.delivered = true;
    int finished = 0;
    for (int i = 0; i < streamBufferCount; ++i) finished += isDone(s.headers[i]) ? 1 : 0;
    const bool overrun = finished == streamBufferCount;
    noticeReturn(s, true);
    std::memcpy(dest, s.buffers[s.nextIndex], bytes);
    requeueCapture();
    ResetEvent(s.bufferEvent);
    return overrun;
}

bool writePlaybackBlock(const std::int16_t* src) {
    SoundStream& s = playbackStream;
    tendStreams(false);
    if (s.reopenPending.load()) configurePlayback(s.blockSamples, s.sampleRate);
    const bool blocking = s.blocking.load();
    if (!deviceWorking(s, false)) {
        if (s.deviceHandle != nullptr) loseDevice(s, false);
        if (blocking) paceWithoutDevice(s);
        return true;
    }
    int highest = 0;
    int n = countFinishedBuffers(highest);
    int target;
    bool indication;
    const auto bytes = static_cast<std::size_t>(s.blockSamples) * 2;
    if (n == 0) {
        if (!blocking) return true;
        if (s.lost.load()) {
            paceWithoutDevice(s);  // looked for again and not started yet
            return true;
        }
        const Wait outcome =
            waitForDevice(s, false, [&] { return (n = countFinishedBuffers(highest)) > 0; });
        if (outcome != Wait::ready) {
            loseDevice(s, false, "it stopped playing for 2 s");
            return true;
        }
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
    s.delivered = true;
    noticeReturn(s, false);
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
    for (bool capture : {true, false}) {
        SoundStream& s = streamOf(capture);
        if (s.deviceHandle != nullptr && !deviceWorking(s, capture)) {
            // Failed: let go without waiting for it.
            if (capture)
                waveInAbandon(s.deviceHandle, nullptr);
            else
                waveOutAbandon(s.deviceHandle, nullptr);
            s.deviceHandle = nullptr;
        }
        closeDevice(s, capture);
        s.reopenPending.store(true);
    }
}

// ---- devices that go away and come back ----

void setDeviceNames(const std::string& playbackName, const std::string& captureName) {
    std::lock_guard<std::mutex> guard(namesLock);
    wantedPlaybackName = playbackName;
    wantedCaptureName = captureName;
}

bool captureDeviceLost() { return captureStream.lost.load(); }
bool playbackDeviceLost() { return playbackStream.lost.load(); }

double soundDeviceLostSeconds() {
    std::int64_t first = 0;
    for (const SoundStream* s : {&captureStream, &playbackStream}) {
        const std::int64_t since = s->lostSince.load();
        if (since != 0 && (first == 0 || since < first)) first = since;
    }
    if (first == 0) return 0;
    const auto lostFor = Clock::now().time_since_epoch() - Clock::duration(first);
    return std::max(0.0, std::chrono::duration<double>(lostFor).count());
}

const char* soundTroubleWord() {
    const bool capture = captureStream.lost.load();
    const bool playback = playbackStream.lost.load();
    if (capture && playback) return "no sound devices";
    if (capture) return "no capture device";
    if (playback) return "no playback device";
    return "";
}

void setSoundStatusObserver(SoundStatusObserver observer) { statusObserver.store(observer); }

bool waitingForDevice() { return waitingNow.load(); }

void setCaptureTap(CaptureTap tap) { waveInSetTap(tap); }

}  // namespace marvane::sound
