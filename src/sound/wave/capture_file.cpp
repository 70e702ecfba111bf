// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/wave/capture_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace marvane::sound::wave {

namespace {

// Frames read from the file at a time.
constexpr std::size_t fileChunkFrames = 512;
// The most a stream asks for at once (the virtual device's chunk).
constexpr std::size_t chunkSamples = 1024;
// Files at rates outside these are not converted: the conversion of a file
// at a few samples per second to 11025 would take seconds per block.
constexpr int lowestRate = 1000;
constexpr int highestRate = 768000;

std::string& reportedCapturePath() {
    static auto* path = new std::string;
    return *path;
}

// Reads up to `count` mono samples from the file, starting over at its end.
std::size_t readMono(CaptureFile& source, std::int16_t* dest, std::size_t count) {
    std::size_t got = 0;
    while (got < count && !source.silent) {
        std::size_t want = std::min(count - got, fileChunkFrames);
        sf_count_t n = sf_readf_short(source.file, source.frames.data(),
                                      static_cast<sf_count_t>(want));
        if (n <= 0) {
            if (!source.passHadData) {
                source.silent = true;  // a whole pass gave nothing
                break;
            }
            sf_seek(source.file, 0, SEEK_SET);
            source.passHadData = false;
            continue;
        }
        source.passHadData = true;
        const int ch = source.channels;
        for (sf_count_t i = 0; i < n; ++i) {
            int sum = 0;
            for (int c = 0; c < ch; ++c) sum += source.frames[static_cast<std::size_t>(i * ch + c)];
            dest[got + static_cast<std::size_t>(i)] = static_cast<std::int16_t>(sum / ch);
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace

void openCaptureFile(CaptureFile& source, const std::string& path, int rate) {
    SF_INFO info{};
    source.file = sf_open(path.c_str(), SFM_READ, &info);
    if (source.file == nullptr) {
        if (access(path.c_str(), F_OK) == 0 && reportedCapturePath() != path) {
            std::fprintf(stderr, "Virtual Input: %s is not audio (%s); capturing silence.\n",
                         path.c_str(), sf_strerror(nullptr));
            reportedCapturePath() = path;
        }
        return;
    }
    if (info.channels < 1 || info.samplerate < 1 || info.frames <= 0) {
        sf_close(source.file);
        source.file = nullptr;
        return;
    }
    if (info.samplerate < lowestRate || info.samplerate > highestRate) {
        if (reportedCapturePath() != path) {
            std::fprintf(stderr,
                         "Virtual Input: %s runs at %d samples per second, outside %d to %d; "
                         "capturing silence.\n",
                         path.c_str(), info.samplerate, lowestRate, highestRate);
            reportedCapturePath() = path;
        }
        sf_close(source.file);
        source.file = nullptr;
        return;
    }
    source.channels = info.channels;
    source.silent = false;
    source.frames.resize(fileChunkFrames * static_cast<std::size_t>(info.channels));
    source.mono.resize(fileChunkFrames);
    if (info.samplerate != rate) {
        source.convert = openResampler(source.resampler, info.samplerate, rate);
        if (!source.convert) {
            source.silent = true;
            return;
        }
        source.pending.resize(chunkSamples + resampleCapacity(source.resampler, fileChunkFrames));
    }
}

void closeCaptureFile(CaptureFile& source) {
    if (source.file != nullptr) sf_close(source.file);
    source.file = nullptr;
    closeResampler(source.resampler);
}

void fillCapture(CaptureFile& source, std::int16_t* dest, std::size_t count) {
    std::size_t got = 0;
    if (!source.convert) {
        got = readMono(source, dest, count);
    } else {
        while (source.pendingCount < count && !source.silent) {
            std::size_t n = readMono(source, source.mono.data(), fileChunkFrames);
            std::size_t room = source.pending.size() - source.pendingCount;
            source.pendingCount += resample(source.resampler, source.mono.data(), n,
                                            source.pending.data() + source.pendingCount, room);
        }
        got = std::min(count, source.pendingCount);
        std::memcpy(dest, source.pending.data(), got * 2);
        std::memmove(source.pending.data(), source.pending.data() + got,
                     (source.pendingCount - got) * 2);
        source.pendingCount -= got;
    }
    std::memset(dest + got, 0, (count - got) * 2);
}

}  // namespace marvane::sound::wave
