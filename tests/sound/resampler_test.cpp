// SPDX-License-Identifier: GPL-3.0-or-later
// The converter used where a device or file does not run at 11025.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "sound/wave/resampler.h"
#include "support.h"

namespace marvane::sound::wave {
namespace {

void fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        std::complex<double> w(std::cos(-2 * M_PI / static_cast<double>(len)),
                               std::sin(-2 * M_PI / static_cast<double>(len)));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wn(1);
            for (std::size_t k = 0; k < len / 2; ++k) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wn;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                wn *= w;
            }
        }
    }
}

// Converts in pieces as a device thread does, then looks at the spectrum.
TEST(Resampler, AToneFrom48000To11025HasNoSpurAboveMinus60dB) {
    Resampler r;
    ASSERT_TRUE(openResampler(r, 48000, 11025));
    std::vector<std::int16_t> in = test::tone(1000, 48000, 48000 * 2, 16000);
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> piece(resampleCapacity(r, 1116));
    for (std::size_t at = 0; at + 1116 <= in.size(); at += 1116) {
        std::size_t n = resample(r, in.data() + at, 1116, piece.data(), piece.size());
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
    closeResampler(r);
    ASSERT_GT(out.size(), 2000u + 16384u);
    // 16384 samples after the filter has settled, Blackman-Harris window.
    const std::size_t n = 16384;
    std::vector<std::complex<double>> a(n);
    for (std::size_t i = 0; i < n; ++i) {
        double x = 2 * M_PI * static_cast<double>(i) / static_cast<double>(n - 1);
        double w = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) -
                   0.01168 * std::cos(3 * x);
        a[i] = w * out[2000 + i];
    }
    fft(a);
    std::size_t peak = 1;
    for (std::size_t k = 1; k < n / 2; ++k) {
        if (std::abs(a[k]) > std::abs(a[peak])) peak = k;
    }
    EXPECT_NEAR(static_cast<double>(peak) * 11025.0 / n, 1000.0, 2 * 11025.0 / n);
    double spur = 0;
    for (std::size_t k = 1; k < n / 2; ++k) {
        if (k + 6 >= peak && k <= peak + 6) continue;  // the tone's own window lobe
        spur = std::max(spur, std::abs(a[k]));
    }
    double spurDb = 20 * std::log10(spur / std::abs(a[peak]));
    RecordProperty("spur_dB", std::to_string(spurDb));
    EXPECT_LT(spurDb, -60.0);
}

TEST(Resampler, TheSameInputAlwaysGivesTheSameOutput) {
    std::vector<std::int16_t> in = test::tone(700, 44100, 4410, 9000);
    std::vector<std::int16_t> first, second;
    for (auto* out : {&first, &second}) {
        Resampler r;
        ASSERT_TRUE(openResampler(r, 44100, 11025));
        out->resize(resampleCapacity(r, in.size()));
        out->resize(resample(r, in.data(), in.size(), out->data(), out->size()));
        closeResampler(r);
    }
    EXPECT_EQ(first, second);  // no dither
    EXPECT_GT(first.size(), 700u);  // 1102 less the filter's delay
}

}  // namespace
}  // namespace marvane::sound::wave
