// SPDX-License-Identifier: GPL-3.0-or-later
// Receive level control against its worked values and edge cases.

#include "audio/level_control.h"
#include "block_copy.h"

#include <gtest/gtest.h>

#include <vector>

using namespace marvane::audio;
using marvane::testing::copiesStayWhole;

namespace {

class Level : public ::testing::Test {
protected:
    std::vector<int16_t> in = std::vector<int16_t>(1024, 0);
    std::vector<double> out = std::vector<double>(1024, -1.0);
    void SetUp() override { setGains(1.0, 1.0); }
    void TearDown() override { setGains(1.0, 1.0); }
    static void setGains(double current, double target) {
        currentGain = current;
        targetGain = target;
    }
    void level() { levelBlock(in.data(), out.data(), 1024); }
};

// The gain advances by adding the step once per sample, so every output is
// the sample times the running sum of steps, bit for bit; a gain computed as
// start + i x step rounds differently and would not match.
double rampedGain(double start, double step, int samples) {
    double gain = start;
    for (int i = 0; i < samples; ++i)
        gain = gain + step;
    return gain;
}

TEST_F(Level, PeakThousandFromUnityRampsTowards1Point7) {
    std::fill(in.begin(), in.end(), 1000);
    level();
    EXPECT_EQ(targetGain.load(), (19.0 * 1.0 + 15.0) / 20.0);
    EXPECT_DOUBLE_EQ(targetGain.load(), 1.7);
    const double step = (targetGain.load() - 1.0) / 1024;
    EXPECT_EQ(step, 0.00068359375);
    EXPECT_EQ(out[0], 1000.0); // the first sample still has the old gain
    EXPECT_EQ(out[1], 1000.0 * (1.0 + step));
    for (int i : {2, 511, 1023})
        EXPECT_EQ(out[i], 1000.0 * rampedGain(1.0, step, i)) << i;
    EXPECT_NE(rampedGain(1.0, step, 1023), 1.0 + 1023 * step); // the test tells them apart
    EXPECT_EQ(currentGain.load(), rampedGain(1.0, step, 1024));
}

TEST_F(Level, SilentBlockGivesZerosAndMovesATwentiethTowards30) {
    level();
    for (double v : out)
        ASSERT_EQ(v, 0.0);
    EXPECT_EQ(targetGain.load(), (19.0 * 1.0 + 30.0) / 20.0);
}

TEST_F(Level, LoudBlockAtGainTenTakesTheFastReduction) {
    setGains(10.0, 10.0);
    in[0] = 100;
    in[1] = 100;
    in[700] = -5000;
    level();
    EXPECT_EQ(targetGain.load(), 6.0);
    EXPECT_EQ(out[0], 1000.0);
    EXPECT_EQ(out[1], 100.0 * (10.0 - 4.0 / 1024));
    EXPECT_EQ(out[700], -5000.0 * rampedGain(10.0, -4.0 / 1024, 700));
}

// -32768 has the magnitude 32768; a 16-bit absolute value would wrap.
TEST_F(Level, MostNegativeSampleHasPeak32768) {
    in[5] = -32768;
    level();
    EXPECT_EQ(targetGain.load(), 30000.0 / 32768.0);
}

// Exactly 30000 takes the fast path: no smoothing, target exactly 30000 / peak.
TEST_F(Level, ProductOfExactly30000TakesTheFastReduction) {
    setGains(3.0, 5.0);
    in[9] = 10000;
    level();
    EXPECT_EQ(targetGain.load(), 3.0);
}

TEST_F(Level, WantedGainIsCutAt30) {
    for (int16_t peak : {500, 499, 1}) {
        setGains(1.0, 1.0);
        std::fill(in.begin(), in.end(), 0);
        in[0] = peak;
        level();
        EXPECT_EQ(targetGain.load(), (19.0 * 1.0 + 30.0) / 20.0) << peak;
    }
}

// The smoothing is (19 x target + wanted) / 20 in that form: t + (w - t) / 20
// and 0.95 t + 0.05 w give other last bits for these values.
TEST_F(Level, SmoothingIsEvaluatedAsNineteenTimesTargetPlusWantedOverTwenty) {
    setGains(1.0, 1.1);
    std::fill(in.begin(), in.end(), 1000);
    level();
    EXPECT_EQ(targetGain.load(), 1.7950000000000004);
    setGains(1.0, 3.3);
    std::fill(in.begin(), in.end(), 2000);
    level();
    EXPECT_EQ(targetGain.load(), 3.5099999999999993);
}

// After a long silence the first samples of a loud block are scaled by almost
// 30 and passed on unclipped.
TEST_F(Level, LoudBlockAfterSilenceIsPassedOnUnclipped) {
    setGains(29.9, 29.9);
    in[0] = 20000;
    in[1] = -20000;
    level();
    EXPECT_EQ(targetGain.load(), 1.5);
    EXPECT_EQ(out[0], 20000.0 * 29.9);
    EXPECT_LT(out[1], -590000.0);
    EXPECT_NEAR(currentGain.load(), 1.5, 1e-9);
}

TEST_F(Level, RepeatedBlocksConvergeOnTheGainForPeak15000) {
    std::fill(in.begin(), in.end(), 3000);
    for (int i = 0; i < 600; ++i)
        level();
    EXPECT_NEAR(targetGain.load(), 5.0, 1e-9);
    EXPECT_NEAR(out[0], 15000.0, 1e-5);
}

// The window thread's copy of levelledSamples is never half old, half new.
TEST(LevelledSamples, CopiesAreNeverTorn) {
    EXPECT_TRUE(copiesStayWhole(storeLevelledSamples, copyLevelledSamples));
    double copy[1024];
    copyLevelledSamples(copy);
    EXPECT_EQ(copy[1023], 2999.0);
}

} // namespace
