// SPDX-License-Identifier: GPL-3.0-or-later
// Per-block cost of receive levelling and of the transmit sample source at
// full and at half rate.

#include "audio/audio_block.h"
#include "audio/level_control.h"
#include "audio/tx_source.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <benchmark/benchmark.h>

#include <cmath>

using namespace marvane;

namespace {

void BM_levelBlock(benchmark::State& state) {
    audio::SampleBlock in;
    for (int i = 0; i < audio::kBlockSamples; ++i)
        in[static_cast<size_t>(i)] = static_cast<int16_t>(8000.0 * std::sin(i * 0.1));
    double out[audio::kBlockSamples];
    for (auto _ : state) {
        audio::levelBlock(in.data(), out, audio::kBlockSamples);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * audio::kBlockSamples);
}
BENCHMARK(BM_levelBlock);

void BM_fillTxBlock(benchmark::State& state) {
    link::linkState.txHalfRate = static_cast<int>(state.range(0));
    link::linkState.txDrainPending = 0;
    link::linkState.clientConnected = 0; // reports reset the counter only
    for (int i = 0; i < link::kRingSize; ++i)
        link::txRing.bytes[i] = static_cast<uint8_t>(128 + 60.0 * std::sin(i * 0.05));
    audio::SampleBlock block;
    for (auto _ : state) {
        // Two blocks' worth waiting, so every call produces audio.
        link::txRing.ringReadPos.store(0, std::memory_order_relaxed);
        link::txRing.ringWritePos.store(2 * audio::kBlockSamples, std::memory_order_relaxed);
        audio::fillTxBlock(block.data(), audio::kBlockSamples);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations() * audio::kBlockSamples);
    link::linkState.txHalfRate = 0;
}
BENCHMARK(BM_fillTxBlock)->Arg(0)->ArgName("halfRate")->Arg(1);

} // namespace

BENCHMARK_MAIN();
