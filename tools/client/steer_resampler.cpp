// SPDX-License-Identifier: GPL-3.0-or-later
#include "steer_resampler.h"

#include <algorithm>
#include <cmath>

namespace marvane::client {

namespace {

constexpr double kBeta = 7.0;  // the Kaiser window's: about 70 dB of stop band

// The zeroth-order modified Bessel function of the first kind.
double besselI0(double x) {
    double sum = 1;
    double term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < sum * 1e-12)
            break;
    }
    return sum;
}

}  // namespace

bool SteerResampler::open(double inRate, double outRate) {
    if (!(inRate > 0) || !(outRate > 0))
        return false;
    // The pass band ends below the lower of the two half rates, so that the
    // images of what lies below it fall in the stop band.
    const double cutoff = 0.43 * std::min(1.0, outRate / inRate);  // cycles per input sample
    constexpr double half = kTaps / 2.0;
    constexpr int centre = kTaps / 2 - 1;
    table_.assign(static_cast<std::size_t>((kPhases + 1) * kTaps), 0.0f);
    std::vector<double> row(kTaps);
    for (int p = 0; p <= kPhases; ++p) {
        const double fraction = static_cast<double>(p) / kPhases;
        double sum = 0;
        for (int k = 0; k < kTaps; ++k) {
            const double t = fraction + centre - k;  // input samples from the output's time
            const double x = 2 * cutoff * t;
            const double sinc = x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
            const double edge = t / half;
            const double window = std::abs(edge) >= 1 ? 0.0
                                                      : besselI0(kBeta * std::sqrt(1 - edge * edge)) /
                                                            besselI0(kBeta);
            row[k] = sinc * window;
            sum += row[k];
        }
        // Each phase passes a steady level unchanged.
        for (int k = 0; k < kTaps; ++k)
            table_[static_cast<std::size_t>(p * kTaps + k)] = static_cast<float>(row[k] / sum);
    }
    clear();
    return true;
}

void SteerResampler::clear() {
    // The first output is the first input sample's time: silence before it.
    // Room for all it will hold, so that the output device's thread never
    // allocates.
    held_.reserve(kCompact + kTaps);
    held_.assign(kTaps / 2 - 1, 0.0f);
    position_ = 0;
}

float SteerResampler::at(const float* x, double fraction) const {
    const double where = fraction * kPhases;
    const int p = std::min(static_cast<int>(where), kPhases - 1);
    const auto between = static_cast<float>(where - p);
    const float* a = table_.data() + static_cast<std::size_t>(p * kTaps);
    const float* b = a + kTaps;
    float lower = 0;
    float upper = 0;
    for (int k = 0; k < kTaps; ++k) {
        lower += a[k] * x[k];
        upper += b[k] * x[k];
    }
    return lower + between * (upper - lower);
}

}  // namespace marvane::client
