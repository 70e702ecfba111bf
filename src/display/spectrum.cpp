// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/spectrum.h"

#include <cmath>
#include <cstring>

// The fast analysis matches the plain loop only while additions are neither
// reordered nor fused.
#if defined(__FAST_MATH__)
#error "the spectrum needs strict IEEE double arithmetic: no -ffast-math"
#endif

namespace marvane::display {

alignas(64) double cosTable[kSpectrumBinCount][kSpectrumBlockSize];
alignas(64) double sinTable[kSpectrumBinCount][kSpectrumBlockSize];

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;

double magnitude(double sineSum, double cosineSum) {
    const double a = sineSum / kSpectrumBlockSize;
    const double b = cosineSum / kSpectrumBlockSize;
    return std::sqrt(a * a + b * b);
}

double plainBin(const double* input, int bin) {
    const double* sines = sinTable[bin];
    const double* cosines = cosTable[bin];
    double sineSum = 0;
    double cosineSum = 0;
    for (int j = 0; j < kSpectrumBlockSize; ++j) {
        sineSum += input[j] * sines[j];
        cosineSum += input[j] * cosines[j];
    }
    return magnitude(sineSum, cosineSum);
}

// Two doubles in one SSE2 register; every x86-64 has it.
using Pair = double __attribute__((vector_size(16)));

Pair loadPair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// acc holds the running sums of two bins, {row a, row b}. The products of
// columns j and j + 1 go in as two vector additions, column j first, so each
// lane adds its terms in exactly the order of the plain loop.
inline void addTwoColumns(Pair& acc, Pair samples, const double* rowA, const double* rowB,
                          int j) {
    const Pair a = loadPair(rowA + j) * samples;
    const Pair b = loadPair(rowB + j) * samples;
    acc += Pair{a[0], b[0]};
    acc += Pair{a[1], b[1]};
}

// Bins handled together. The tables (6 MB) do not fit in a core's cache, so a
// call is bound by reading them; several bins at once give enough independent
// sums to keep up with the memory and few enough streams for the prefetcher.
constexpr int kGroupBins = 4;
constexpr int kGroupPairs = kGroupBins / 2;

}  // namespace

void buildSpectrumTables() {
    // The phase is carried from bin to bin, never reset, exactly as the tables
    // have always been built: the values depend on that rounding.
    double phase = 0;
    for (int i = 0; i < kSpectrumBinCount; ++i) {
        const double step = i * (kTwoPi / kSpectrumBlockSize);
        for (int j = 0; j < kSpectrumBlockSize; ++j) {
            sinTable[i][j] = std::sin(phase);
            cosTable[i][j] = std::cos(phase);
            phase += step;
            if (phase >= kPi) phase -= kTwoPi;
        }
    }
}

void computeSpectrumPlain(const double* input, double* output) {
    output[0] = 0;
    for (int i = 1; i < kSpectrumBinCount; ++i) output[i] = plainBin(input, i);
}

void computeSpectrum(const double* input, double* output) {
    output[0] = 0;
    int bin = 1;
    for (; bin + kGroupBins <= kSpectrumBinCount; bin += kGroupBins) {
        Pair sineSums[kGroupPairs] = {};
        Pair cosineSums[kGroupPairs] = {};
        for (int j = 0; j < kSpectrumBlockSize; j += 2) {
            const Pair samples = loadPair(input + j);
#pragma GCC unroll 8
            for (int p = 0; p < kGroupPairs; ++p) {
                const int a = bin + 2 * p;
                addTwoColumns(sineSums[p], samples, sinTable[a], sinTable[a + 1], j);
                addTwoColumns(cosineSums[p], samples, cosTable[a], cosTable[a + 1], j);
            }
        }
        for (int p = 0; p < kGroupPairs; ++p) {
            output[bin + 2 * p] = magnitude(sineSums[p][0], cosineSums[p][0]);
            output[bin + 2 * p + 1] = magnitude(sineSums[p][1], cosineSums[p][1]);
        }
    }
    for (; bin < kSpectrumBinCount; ++bin) output[bin] = plainBin(input, bin);
}

}  // namespace marvane::display
