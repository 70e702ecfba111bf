// SPDX-License-Identifier: GPL-3.0-or-later
// What the web station's encoder thread spends on 1024 samples of the
// station (92.9 ms of audio), taken in the capture's 256-sample pieces:
// resampling and Opus for every listener at once, in 10 and 20 ms frames;
// and the spectrum message's packing.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "web/listener_audio.h"

namespace {

using namespace marvane::web;

void countFrame(const ListenerFrame& frame, void* user) {
    *static_cast<int*>(user) += frame.opusBytes;
}

void BM_encodeBlock(benchmark::State& state) {
    static ListenerAudio audio;
    openListenerAudio(audio, static_cast<int>(state.range(0)));
    std::int16_t block[1024];
    int bytes = 0;
    long n = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1024; ++i)
            block[i] = static_cast<std::int16_t>(9000 * std::sin(0.57 * static_cast<double>(n * 1024 + i)) +
                                                 (i * 7919 % 2000) - 1000);
        for (int at = 0; at < 1024; at += 256) addListenerSamples(audio, block + at, 256, false, countFrame, &bytes);
        ++n;
    }
    benchmark::DoNotOptimize(bytes);
    state.counters["opus_bytes_per_s"] =
        benchmark::Counter(bytes * 11025.0 / 1024.0 / static_cast<double>(n));
    closeListenerAudio(audio);
}
BENCHMARK(BM_encodeBlock)->Arg(10)->Arg(20)->ArgName("frame_ms")->Unit(benchmark::kMicrosecond);

void BM_packSpectrum(benchmark::State& state) {
    double bins[366];
    for (int i = 0; i < 366; ++i) bins[i] = i * 2.9;
    unsigned char packed[packedBinBytes(366)];
    for (auto _ : state) {
        packSpectrum(bins, 366, packed);
        benchmark::DoNotOptimize(packed[100]);
    }
}
BENCHMARK(BM_packSpectrum);

}  // namespace

BENCHMARK_MAIN();
