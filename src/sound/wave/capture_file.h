// SPDX-License-Identifier: GPL-3.0-or-later
// The virtual input's source: a sound file (any format libsndfile reads),
// mixed to mono, converted to the stream's rate and played in a loop. A file
// that is missing, holds no audio, runs at fewer than 1000 or more than 768000
// samples per second, or cannot be converted gives silence.
#pragma once

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sound/wave/resampler.h"

namespace marvane::sound::wave {

struct CaptureFile {
    SNDFILE* file = nullptr;
    int channels = 1;
    bool silent = true;
    bool passHadData = false;
    bool convert = false;
    Resampler resampler;
    std::vector<std::int16_t> frames;   // interleaved frames read from the file
    std::vector<std::int16_t> mono;     // one chunk mixed to mono
    std::vector<std::int16_t> pending;  // converted samples not yet delivered
    std::size_t pendingCount = 0;
};

// Opens path for a stream of `rate` samples per second. A file that exists
// but gives silence is reported once on the standard error.
void openCaptureFile(CaptureFile& source, const std::string& path, int rate);
void closeCaptureFile(CaptureFile& source);

// The next `count` samples (at most 1024), silence where the file gives none.
void fillCapture(CaptureFile& source, std::int16_t* dest, std::size_t count);

}  // namespace marvane::sound::wave
