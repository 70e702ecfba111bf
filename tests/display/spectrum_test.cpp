// SPDX-License-Identifier: GPL-3.0-or-later
// The spectrum analysis: the tables, the magnitudes it must show, and that the
// fast analysis gives bit for bit what the plain ascending loop gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "display/spectrum.h"

namespace marvane::display {
namespace {

using Block = std::vector<double>;

class Spectrum : public ::testing::Test {
protected:
    static void SetUpTestSuite() { buildSpectrumTables(); }

    static SpectrumBins analyse(const Block& block) {
        SpectrumBins out;
        out.fill(-1);
        computeSpectrum(block.data(), out.data());
        return out;
    }
};

Block sine(double amplitude, double cycles) {
    Block block(kSpectrumBlockSize);
    for (int j = 0; j < kSpectrumBlockSize; ++j)
        block[j] = amplitude * std::sin(2 * M_PI * cycles * j / kSpectrumBlockSize);
    return block;
}

// Deterministic noise in the range of levelled (unclipped) samples.
Block noise(std::uint32_t seed, double scale) {
    Block block(kSpectrumBlockSize);
    for (double& v : block) {
        seed = seed * 1664525u + 1013904223u;
        v = (static_cast<std::int32_t>(seed) >> 16) * scale;
    }
    return block;
}

// Huge values of alternating sign among small ones: a sum taken in any other
// order than ascending comes out different.
Block orderSensitive() {
    Block block(kSpectrumBlockSize);
    for (int j = 0; j < kSpectrumBlockSize; ++j)
        block[j] = (j % 3 == 0) ? ((j / 3) % 2 ? 1e17 : -1e17) : 1.0 + j % 7;
    return block;
}

// The analysis with each bin's sums taken from the last sample down.
SpectrumBins descending(const Block& block) {
    SpectrumBins out{};
    for (int i = 1; i < kSpectrumBinCount; ++i) {
        double s = 0;
        double c = 0;
        for (int j = kSpectrumBlockSize - 1; j >= 0; --j) {
            s += block[j] * sinTable[i][j];
            c += block[j] * cosTable[i][j];
        }
        const double a = s / 1024;
        const double b = c / 1024;
        out[i] = std::sqrt(a * a + b * b);
    }
    return out;
}

// Catches a table built with the phase reset per bin or without the wrap.
// The phase is carried from bin to bin, so a row starts at the rounding left
// by the rows before it, not at 0: these values are bit for bit those of the
// carried phase (with a reset, sinTable[i][0] would be exactly 0 and the last
// entry of row 365 -0x1.91b166fd4a182p-1).
TEST_F(Spectrum, TablesHoldTheDescribedValues) {
    EXPECT_EQ(sinTable[2][0], 0x1.1ec8p-44);
    EXPECT_EQ(sinTable[3][0], 0x1.0b2p-45);
    EXPECT_EQ(sinTable[365][0], -0x1.7d4p-41);
    EXPECT_EQ(sinTable[365][1023], -0x1.91b166fd492bep-1);
    EXPECT_EQ(cosTable[365][1023], -0x1.3d78238c5910cp-1);
    for (int j = 0; j < kSpectrumBlockSize; ++j) {
        EXPECT_EQ(sinTable[0][j], 0.0);
        EXPECT_EQ(cosTable[0][j], 1.0);
    }
    for (int i = 0; i < kSpectrumBinCount; ++i) {
        EXPECT_NEAR(sinTable[i][0], 0.0, 1e-11) << "row " << i;
        EXPECT_NEAR(cosTable[i][0], 1.0, 1e-11) << "row " << i;
    }
    EXPECT_NEAR(sinTable[1][256], 1.0, 1e-12);
    EXPECT_NEAR(cosTable[1][256], 0.0, 1e-12);
    EXPECT_NEAR(sinTable[1][512], 0.0, 1e-12);
    EXPECT_NEAR(cosTable[1][512], -1.0, 1e-12);
    // Column 512 of row 1 reached pi and was wrapped to -pi: the sine sits on
    // the negative side there and on the positive side one column before.
    EXPECT_LE(sinTable[1][512], 0.0);
    EXPECT_GT(sinTable[1][511], 0.0);
    // Any column: the sine and cosine of i * j * 2 pi / 1024.
    EXPECT_NEAR(sinTable[37][100], std::sin(37.0 * 100 * 2 * M_PI / 1024), 1e-10);
    EXPECT_NEAR(cosTable[365][1023], std::cos(365.0 * 1023 * 2 * M_PI / 1024), 1e-10);
}

TEST_F(Spectrum, ZerosGiveZeros) {
    const SpectrumBins out = analyse(Block(kSpectrumBlockSize, 0.0));
    for (double v : out) EXPECT_EQ(v, 0.0);
}

// Bin 0 is set, never computed, so DC does not show at all.
TEST_F(Spectrum, ConstantInputShowsNothing) {
    const SpectrumBins out = analyse(Block(kSpectrumBlockSize, 777.0));
    EXPECT_EQ(out[0], 0.0);
    for (int i = 1; i < kSpectrumBinCount; ++i) EXPECT_LT(out[i], 1e-9) << "bin " << i;
}

// Catches a wrong scale (the division by 1024) or bin index.
TEST_F(Spectrum, WholeCyclesShowHalfTheAmplitudeInTheirBin) {
    const SpectrumBins out = analyse(sine(1000, 10));
    EXPECT_NEAR(out[10], 500.0, 1e-6);
    for (int i = 0; i < kSpectrumBinCount; ++i) {
        if (i == 10) continue;
        EXPECT_LT(out[i], 1e-6) << "bin " << i;
    }

    const SpectrumBins top = analyse(sine(2000, 365));
    EXPECT_NEAR(top[365], 1000.0, 1e-6);
}

// No window function: half a cycle more leaks into the neighbouring bins.
TEST_F(Spectrum, HalfCycleLeaksIntoNeighbours) {
    const SpectrumBins out = analyse(sine(1000, 10.5));
    EXPECT_NEAR(out[10], 326, 0.5);
    EXPECT_NEAR(out[11], 311, 0.5);
    EXPECT_NEAR(out[9], 114, 0.5);
    EXPECT_NEAR(out[12], 99, 0.5);
    EXPECT_GT(out[8], out[7]);
    EXPECT_GT(out[13], out[14]);
}

// The fast analysis must not change a single bit of any bin.
TEST_F(Spectrum, FastAnalysisIsBitIdenticalToThePlainLoop) {
    const std::vector<Block> blocks = {
        Block(kSpectrumBlockSize, 0.0), Block(kSpectrumBlockSize, -1234.5),
        sine(1000, 10),                 sine(1000, 10.5),
        sine(32767 * 7.3, 92.88),       noise(1, 1.0),
        noise(99, 13.7),                noise(7, 1e-310),  // subnormal products
        orderSensitive(),
    };
    for (std::size_t n = 0; n < blocks.size(); ++n) {
        SpectrumBins fast;
        SpectrumBins plain;
        fast.fill(-1);
        plain.fill(-2);
        computeSpectrum(blocks[n].data(), fast.data());
        computeSpectrumPlain(blocks[n].data(), plain.data());
        for (int i = 0; i < kSpectrumBinCount; ++i) {
            EXPECT_EQ(std::memcmp(&fast[i], &plain[i], sizeof(double)), 0)
                << "block " << n << " bin " << i << ": " << fast[i] << " vs " << plain[i];
        }
    }
}

// Shows that the comparison above can fail: on this block the order of the
// additions changes the result, so a kernel that reordered would be caught.
TEST_F(Spectrum, OrderSensitiveBlockReallyDependsOnTheOrder) {
    const Block block = orderSensitive();
    SpectrumBins plain;
    computeSpectrumPlain(block.data(), plain.data());
    const SpectrumBins reversed = descending(block);
    int differing = 0;
    for (int i = 1; i < kSpectrumBinCount; ++i) differing += plain[i] != reversed[i];
    EXPECT_GT(differing, kSpectrumBinCount / 2);
}

// Sample blocks are only 8-byte aligned in general; the two-sample loads must
// not rely on more.
TEST_F(Spectrum, InputOffByOneSampleGivesTheSameResult) {
    const Block block = noise(5, 3.0);
    std::vector<double> storage(kSpectrumBlockSize + 2);
    double* input = storage.data();
    if (reinterpret_cast<std::uintptr_t>(input) % 16 == 0) ++input;
    std::memcpy(input, block.data(), kSpectrumBlockSize * sizeof(double));
    SpectrumBins a;
    SpectrumBins b;
    computeSpectrum(block.data(), a.data());
    computeSpectrum(input, b.data());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof a), 0);
}

}  // namespace
}  // namespace marvane::display
