// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual devices for running without a sound card: "Virtual Input" plays
// DIR/capture.wav in a loop, "Virtual Output" writes what it plays to
// DIR/playback.wav. Each runs on its own thread, one chunk at a time, paced
// against a monotonic deadline so that the rate does not drift. Capture
// comes in small pieces, as a sound card's does, so that whoever takes the
// capture as it arrives sees it before a block is whole.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sound/wave/backend.h"
#include "sound/wave/capture_file.h"

namespace marvane::sound::wave {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t chunkSamples = 1024;       // playback
constexpr std::size_t captureChunkSamples = 256;  // about 23 ms
// Behind the deadline by more than this (a stopped process, a suspended
// machine), the clock starts again instead of catching up in a burst.
constexpr auto maxLag = std::chrono::seconds(1);

std::string& folder() {
    static auto* dir = new std::string;
    return *dir;
}

Clock::duration chunkTime(std::uint64_t chunks, std::size_t size, int rate) {
    std::uint64_t samples = chunks * size;
    std::uint64_t seconds = samples / static_cast<std::uint64_t>(rate);
    std::uint64_t rest = samples % static_cast<std::uint64_t>(rate);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(seconds) +
        std::chrono::nanoseconds(rest * 1000000000ull / static_cast<std::uint64_t>(rate)));
}

// ---- playback.wav ----

struct PlaybackFile {
    std::mutex lock;
    int fd = -1;
    std::string path;
    int rate = 0;
    std::uint64_t frames = 0;
    Clock::time_point headerTime;
    std::string reportedPath;
};

PlaybackFile& playbackFile() {
    static auto* file = new PlaybackFile;  // still written by a device thread at exit
    return *file;
}

void putLE(unsigned char* p, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Rewrites the 44-byte header for the data written so far. Lock held.
void writeHeader(PlaybackFile& file) {
    if (file.fd < 0) return;
    std::uint64_t bytes64 = file.frames * 2;
    auto bytes = static_cast<std::uint32_t>(bytes64 > 0xFFFFFFD0ull ? 0xFFFFFFD0ull : bytes64);
    unsigned char h[44];
    std::memcpy(h, "RIFF", 4);
    putLE(h + 4, 36 + bytes, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    putLE(h + 16, 16, 4);
    putLE(h + 20, 1, 2);  // PCM
    putLE(h + 22, 1, 2);  // mono
    putLE(h + 24, static_cast<std::uint32_t>(file.rate), 4);
    putLE(h + 28, static_cast<std::uint32_t>(file.rate) * 2, 4);
    putLE(h + 32, 2, 2);
    putLE(h + 34, 16, 2);
    std::memcpy(h + 36, "data", 4);
    putLE(h + 40, bytes, 4);
    if (pwrite(file.fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
        // Nothing more to do: the data itself is still there.
    }
    file.headerTime = Clock::now();
}

// The first open in a run creates the file; later opens append to it, so that
// a reopened device does not wipe what was played before.
void openPlaybackFile(int rate) {
    PlaybackFile& file = playbackFile();
    std::lock_guard<std::mutex> guard(file.lock);
    std::string path = folder() + "/playback.wav";
    if (file.fd >= 0 && file.path == path) return;
    if (file.fd >= 0) {
        writeHeader(file);
        ::close(file.fd);
        file.fd = -1;
    }
    file.path = path;
    file.rate = rate;
    file.frames = 0;
    file.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file.fd < 0) {
        if (file.reportedPath != path) {
            std::fprintf(stderr, "Virtual Output: cannot write %s (%s); playing to nowhere.\n",
                         path.c_str(), std::strerror(errno));
            file.reportedPath = path;
        }
        return;
    }
    writeHeader(file);
}

void appendPlayback(const std::int16_t* samples, std::size_t count) {
    PlaybackFile& file = playbackFile();
    std::lock_guard<std::mutex> guard(file.lock);
    if (file.fd < 0) return;
    unsigned char bytes[chunkSamples * 2];
    std::size_t done = 0;
    while (done < count) {
        std::size_t n = std::min(count - done, chunkSamples);
        for (std::size_t i = 0; i < n; ++i) {
            auto v = static_cast<std::uint16_t>(samples[done + i]);
            bytes[2 * i] = static_cast<unsigned char>(v);
            bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        }
        off_t at = static_cast<off_t>(44 + (file.frames + done) * 2);
        if (pwrite(file.fd, bytes, n * 2, at) != static_cast<ssize_t>(n * 2)) break;
        done += n;
    }
    file.frames += done;
    if (Clock::now() - file.headerTime >= std::chrono::milliseconds(500)) writeHeader(file);
}

void flushPlaybackHeader() {
    PlaybackFile& file = playbackFile();
    std::lock_guard<std::mutex> guard(file.lock);
    writeHeader(file);
}

// ---- device threads ----

struct VirtualDevice {
    std::mutex lock;
    std::condition_variable stopChanged;
    bool stop = false;
    CaptureFile source;
    std::thread thread;
};

// Sleeps until the deadline; false when the device is being closed.
bool sleepUntil(VirtualDevice* v, Clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(v->lock);
    return !v->stopChanged.wait_until(guard, deadline, [v] { return v->stop; });
}

bool stopping(VirtualDevice* v) {
    std::lock_guard<std::mutex> guard(v->lock);
    return v->stop;
}

void runCapture(WaveDevice* device, VirtualDevice* v) {
    std::int16_t chunk[captureChunkSamples];
    Clock::time_point start = Clock::now();
    std::uint64_t ticks = 0;
    while (true) {
        ++ticks;
        Clock::time_point deadline = start + chunkTime(ticks, captureChunkSamples, device->rate);
        if (!sleepUntil(v, deadline)) break;
        if (Clock::now() - deadline > maxLag) {
            start = Clock::now();
            ticks = 0;
        }
        fillCapture(v->source, chunk, captureChunkSamples);
        deliverCapture(device, chunk, captureChunkSamples);
    }
}

// Plays while buffers are queued; when the queue runs dry the device rests
// and its clock starts again with the next buffer, as a sound card does.
void runPlayback(WaveDevice* device, VirtualDevice* v) {
    std::int16_t chunk[chunkSamples];
    while (!stopping(v)) {
        if (!waitUntilQueued(device)) continue;
        Clock::time_point start = Clock::now();
        std::uint64_t ticks = 0;
        while (true) {
            ++ticks;
            Clock::time_point deadline = start + chunkTime(ticks, chunkSamples, device->rate);
            if (!sleepUntil(v, deadline)) return;
            if (Clock::now() - deadline > maxLag) {
                start = Clock::now();
                ticks = 0;
            }
            std::size_t n = pullPlayback(device, chunk, chunkSamples);
            if (n > 0) appendPlayback(chunk, n);
            if (n < chunkSamples) {
                flushPlaybackHeader();
                break;
            }
        }
    }
}

void virtualStart() {
    const char* dir = std::getenv("MARVANE_VIRTUAL_SOUND");
    folder() = dir != nullptr ? dir : ".";
}

UINT virtualNumDevs(Direction) { return 1; }

bool virtualDeviceName(Direction direction, UINT id, std::string& name) {
    if (id != 0) return false;
    name = direction == Direction::input ? "Virtual Input" : "Virtual Output";
    return true;
}

UINT virtualDefaultDevice(Direction) { return 0; }

MMRESULT virtualOpen(WaveDevice* device, UINT id) {
    if (id != 0 && id != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    auto* v = new VirtualDevice;
    device->backendData = v;
    if (device->direction == Direction::input) {
        openCaptureFile(v->source, folder() + "/capture.wav", device->rate);
        v->thread = std::thread(runCapture, device, v);
    } else {
        openPlaybackFile(device->rate);
        v->thread = std::thread(runPlayback, device, v);
    }
    return MMSYSERR_NOERROR;
}

void virtualClose(WaveDevice* device) {
    auto* v = static_cast<VirtualDevice*>(device->backendData);
    {
        std::lock_guard<std::mutex> guard(v->lock);
        v->stop = true;
    }
    v->stopChanged.notify_all();
    wake(device);
    v->thread.join();
    if (device->direction == Direction::input) {
        closeCaptureFile(v->source);
    } else {
        flushPlaybackHeader();
    }
    delete v;
    device->backendData = nullptr;
}

bool virtualListOutdated() { return false; }
bool virtualKeepsTime() { return true; }

}  // namespace

const Backend virtualBackend = {"virtual",         virtualStart,         virtualNumDevs,
                                virtualDeviceName, virtualDefaultDevice, virtualOpen,
                                virtualClose,      virtualListOutdated,  virtualKeepsTime};

}  // namespace marvane::sound::wave
