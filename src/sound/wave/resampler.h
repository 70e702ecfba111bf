// SPDX-License-Identifier: GPL-3.0-or-later
// Streaming sample-rate conversion of 16-bit mono audio (libsoxr), used where
// a device or a file does not run at the stream's rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace marvane::sound::wave {

struct Resampler {
    void* soxr = nullptr;
    double inRate = 0;
    double outRate = 0;
};

// False when the converter cannot be built.
bool openResampler(Resampler& resampler, double inRate, double outRate);
void closeResampler(Resampler& resampler);

// The most output that `inCount` input samples can produce in one call.
std::size_t resampleCapacity(const Resampler& resampler, std::size_t inCount);

// Converts all of `in`; returns the number of samples written to `out`, which
// must hold resampleCapacity(inCount). Output lags by the filter's delay.
std::size_t resample(Resampler& resampler, const std::int16_t* in, std::size_t inCount,
                     std::int16_t* out, std::size_t outCapacity);

}  // namespace marvane::sound::wave
