// SPDX-License-Identifier: GPL-3.0-or-later
// Spectrum analysis: a direct Fourier transform of one 1024-sample block,
// evaluated for bins 0 to 365 only (0 Hz up to about 3930 Hz in steps of
// 11025 / 1024 Hz), with every sine and cosine taken from tables filled once.
#pragma once

#include "link/link_protocol.h"

#include <array>

namespace marvane::display {

constexpr int kSpectrumBinCount = 366;
constexpr int kSpectrumBlockSize = link::kBlockSamples;

// Element i is the magnitude of bin i (i * 11025 / 1024 Hz), in the units of
// the input samples. Element 0 is always 0.
using SpectrumBins = std::array<double, kSpectrumBinCount>;

// Row i belongs to bin i, column j to sample j. Zero until
// buildSpectrumTables has run, constant afterwards.
extern double cosTable[kSpectrumBinCount][kSpectrumBlockSize];
extern double sinTable[kSpectrumBinCount][kSpectrumBlockSize];

// Fills both tables. Run once at start-up, before the first analysis.
void buildSpectrumTables();

// input: 1024 samples; output: kSpectrumBinCount magnitudes, all written.
// Each bin's sums run in ascending sample order in double precision, so the
// result is bit for bit that of computeSpectrumPlain, only faster.
void computeSpectrum(const double* input, double* output);

// The same analysis as the plain bin-by-bin loop. Kept as the reference that
// computeSpectrum must match exactly (tests and benchmarks).
void computeSpectrumPlain(const double* input, double* output);

}  // namespace marvane::display
