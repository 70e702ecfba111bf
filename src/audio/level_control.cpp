// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/level_control.h"

#include "audio/audio_block.h"

#include <cstring>
#include <mutex>

namespace marvane::audio {

std::atomic<double> currentGain{1.0};
std::atomic<double> targetGain{1.0};

namespace {

std::mutex levelledGuard;
double levelledSamples[kBlockSamples] = {};

} // namespace

void levelBlock(const int16_t* in, double* out, int count) {
    int peak = 0;
    for (int i = 0; i < count; ++i) {
        int magnitude = in[i] < 0 ? -static_cast<int>(in[i]) : in[i];
        if (magnitude >= peak)
            peak = magnitude;
    }

    double gain = currentGain.load();
    double target = targetGain.load();
    if (peak * gain >= kPeakCeiling) {
        target = kPeakCeiling / peak;
    } else {
        double wanted = peak == 0 ? kMaxWantedGain : kPeakGoal / peak;
        if (wanted >= kMaxWantedGain)
            wanted = kMaxWantedGain;
        target = (19.0 * target + wanted) / 20.0;
    }
    double step = (target - gain) / count;

    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<double>(in[i]) * gain;
        gain = gain + step;
    }
    targetGain.store(target);
    currentGain.store(gain);
}

void storeLevelledSamples(const double* in) {
    std::lock_guard lock(levelledGuard);
    std::memcpy(levelledSamples, in, sizeof levelledSamples);
}

void copyLevelledSamples(double* out) {
    std::lock_guard lock(levelledGuard);
    std::memcpy(out, levelledSamples, sizeof levelledSamples);
}

} // namespace marvane::audio
