// SPDX-License-Identifier: GPL-3.0-or-later
// The live client's resampler: a tone comes out clean at the rates and
// steers it is used with, on time, holding no more input than its filter.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "steer_resampler.h"

namespace marvane::client {
namespace {

constexpr double kLink = 11025.0;

TEST(SteerResampler, ToneComesOutWholeAndCleanAtEverySteer) {
    for (double device : {44100.0, 48000.0})
        for (double steer : {0.995, 1.0, 1.005})
            for (double tone : {300.0, 1000.0, 3000.0}) {
                SteerResampler r;
                ASSERT_TRUE(r.open(kLink, device));
                long n = 0;
                auto pull = [&](float* s, std::size_t count) {
                    for (std::size_t i = 0; i < count; ++i, ++n)
                        s[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * tone * n / kLink));
                };
                // Two seconds in 10 ms calls, so that its held input is cut back on the way.
                const auto call = static_cast<std::size_t>(device / 100);
                std::vector<float> y(200 * call);
                for (std::size_t at = 0; at < y.size(); at += call)
                    r.output(y.data() + at, call, kLink / device * steer, pull);
                // The least-squares fit of the tone as it should come out
                // (steered up or down), and what is left beside it.
                const double heard = tone * steer;
                double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
                const std::size_t from = y.size() / 4;
                for (std::size_t i = from; i < y.size(); ++i) {
                    const double s = std::sin(2 * M_PI * heard * i / device), c = std::cos(2 * M_PI * heard * i / device);
                    ss += s * s, cc += c * c, sc += s * c, ys += y[i] * s, yc += y[i] * c;
                }
                const double det = ss * cc - sc * sc, a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
                double rest = 0, signal = 0;
                for (std::size_t i = from; i < y.size(); ++i) {
                    const double fit = a * std::sin(2 * M_PI * heard * i / device) + b * std::cos(2 * M_PI * heard * i / device);
                    rest += (y[i] - fit) * (y[i] - fit);
                    signal += fit * fit;
                }
                SCOPED_TRACE(testing::Message() << device << " Hz, steer " << steer << ", " << tone << " Hz");
                EXPECT_NEAR(20 * std::log10(std::hypot(a, b) / 0.5), 0.0, 0.05);
                EXPECT_LT(10 * std::log10(rest / signal), -70.0);
                // It takes only what it has given out, and its filter's half.
                EXPECT_LE(static_cast<double>(n), y.size() * kLink / device * steer + SteerResampler::kTaps / 2 + 1);
            }
}

TEST(SteerResampler, AStepComesOutAtItsOwnTime) {
    SteerResampler r;
    ASSERT_TRUE(r.open(kLink, 48000));
    const long step = 500;  // the first loud input sample
    long n = 0;
    std::vector<float> y(4800);
    r.output(y.data(), y.size(), kLink / 48000, [&](float* s, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++n) s[i] = n >= step ? 1.0f : 0.0f;
    });
    std::size_t half = 0;
    while (half < y.size() && y[half] < 0.5f) ++half;
    // Half way between the last quiet sample and the first loud one.
    EXPECT_NEAR(static_cast<double>(half), (step - 0.5) * 48000 / kLink, 1.5);
}

}  // namespace
}  // namespace marvane::client
