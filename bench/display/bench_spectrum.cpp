// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of the spectrum analysis that runs on every refresh of the spectrum and
// waterfall views, against the plain loop it must match, and against a bare
// read of both tables (the floor set by memory bandwidth).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "display/refresh.h"
#include "display/signal_view.h"
#include "display/spectrum.h"

namespace {

using namespace marvane::display;

const double* testBlock() {
    static double block[kSpectrumBlockSize];
    static bool filled = false;
    if (!filled) {
        for (int j = 0; j < kSpectrumBlockSize; ++j)
            block[j] = 8000 * std::sin(j * 0.57) + 3000 * std::cos(j * 0.0931) + (j % 17) * 40;
        filled = true;
    }
    return block;
}

void BM_buildSpectrumTables(benchmark::State& state) {
    for (auto _ : state) {
        buildSpectrumTables();
        benchmark::DoNotOptimize(sinTable[365][1023]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_buildSpectrumTables)->Unit(benchmark::kMillisecond);

void BM_computeSpectrum(benchmark::State& state) {
    buildSpectrumTables();
    const double* block = testBlock();
    SpectrumBins out{};
    for (auto _ : state) {
        computeSpectrum(block, out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_computeSpectrum)->Unit(benchmark::kMicrosecond);

void BM_computeSpectrumPlain(benchmark::State& state) {
    buildSpectrumTables();
    const double* block = testBlock();
    SpectrumBins out{};
    for (auto _ : state) {
        computeSpectrumPlain(block, out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_computeSpectrumPlain)->Unit(benchmark::kMicrosecond);

// Sums both tables with no dependency chains to speak of: no analysis that
// reads every table entry once can be faster than this on the same machine.
using Pair = double __attribute__((vector_size(16)));

Pair load(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void BM_readBothTables(benchmark::State& state) {
    buildSpectrumTables();
    for (auto _ : state) {
        Pair a = {}, b = {}, c = {}, d = {};
        for (const double* table : {&sinTable[0][0], &cosTable[0][0]}) {
            for (int k = 0; k < kSpectrumBinCount * kSpectrumBlockSize; k += 8) {
                a += load(table + k);
                b += load(table + k + 2);
                c += load(table + k + 4);
                d += load(table + k + 6);
            }
        }
        const Pair sum = a + b + c + d;
        benchmark::DoNotOptimize(sum[0] + sum[1]);
    }
}
BENCHMARK(BM_readBothTables)->Unit(benchmark::kMicrosecond);

// A whole refresh tick in each view: analysis (none for the scope), level
// bar, and the repaint into the raster.
void BM_refreshTick(benchmark::State& state) {
    buildSpectrumTables();
    resetSignalView();
    createViewPens();
    double samples[kSpectrumBlockSize];
    std::memcpy(samples, testBlock(), sizeof samples);
    RefreshInputs inputs;
    inputs.displayMode = static_cast<int>(state.range(0));
    inputs.levelledSamples = samples;
    for (auto _ : state) {
        const RefreshOutputs out = onRefreshTimer(inputs, viewRaster);
        benchmark::DoNotOptimize(out.levelBarPosition);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_refreshTick)
    ->ArgName("mode")
    ->Arg(kScopeMode)
    ->Arg(kSpectrumMode)
    ->Arg(kWaterfallMode)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
