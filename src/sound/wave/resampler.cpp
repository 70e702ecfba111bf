// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/wave/resampler.h"

#include <soxr.h>

#include <cmath>

namespace marvane::sound::wave {

bool openResampler(Resampler& resampler, double inRate, double outRate) {
    closeResampler(resampler);
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;  // the same input always gives the same output
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // no worker threads
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(inRate, outRate, 1, &error, &io, &quality, &runtime);
    if (error != nullptr || soxr == nullptr) {
        if (soxr != nullptr) soxr_delete(soxr);
        return false;
    }
    resampler.soxr = soxr;
    resampler.inRate = inRate;
    resampler.outRate = outRate;
    return true;
}

void closeResampler(Resampler& resampler) {
    if (resampler.soxr != nullptr) soxr_delete(static_cast<soxr_t>(resampler.soxr));
    resampler.soxr = nullptr;
}

std::size_t resampleCapacity(const Resampler& resampler, std::size_t inCount) {
    return static_cast<std::size_t>(
               std::ceil(static_cast<double>(inCount) * resampler.outRate / resampler.inRate)) +
           64;
}

std::size_t resample(Resampler& resampler, const std::int16_t* in, std::size_t inCount,
                     std::int16_t* out, std::size_t outCapacity) {
    auto soxr = static_cast<soxr_t>(resampler.soxr);
    std::size_t produced = 0;
    while (true) {
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_process(soxr, in, inCount, &used, out + produced, outCapacity - produced, &made);
        produced += made;
        in += used;
        inCount -= used;
        if (inCount == 0 || produced == outCapacity || (used == 0 && made == 0)) break;
    }
    return produced;
}

}  // namespace marvane::sound::wave
