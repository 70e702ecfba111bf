// SPDX-License-Identifier: GPL-3.0-or-later
// CPU time per second of audio: capture from a device running at 48000 with
// conversion to 11025, and the virtual sound card through the stream logic.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sound/sound.h"
#include "sound/streams.h"
#include "sound/wave/backend.h"
#include "sound/wave/manual.h"
#include "sound/wave/resampler.h"
#include "sound/wave/wave.h"

namespace {

using namespace marvane::sound;

double processCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<std::int16_t> tone(double rate, std::size_t count, int channels) {
    std::vector<std::int16_t> s(count * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < count; ++i) {
        auto v = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / rate));
        for (int c = 0; c < channels; ++c) s[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
    }
    return s;
}

// What the PortAudio capture thread does after each device read at 48000:
// convert a chunk to 11025 and hand it to the device's queued buffers. One
// iteration is one second of audio (so its CPU time is the cost per second);
// the stream reads the finished blocks.
void CaptureConvertedFrom48000(benchmark::State& state) {
    wave::manual::install();
    wave::manual::setDevices({"In"}, {"Out"});
    initSoundCards();
    selectCaptureDevice(0, false);
    configureCapture(1024, 11025);
    wave::Resampler resampler;
    wave::openResampler(resampler, 48000, 11025);
    const std::size_t chunk = 48000 / 43;
    std::vector<std::int16_t> second = tone(48000, 48000, 1);
    std::vector<std::int16_t> out(wave::resampleCapacity(resampler, chunk));
    std::vector<std::int16_t> block(1024);
    for (auto _ : state) {
        for (std::size_t at = 0; at + chunk <= second.size(); at += chunk) {
            std::size_t n = wave::resample(resampler, second.data() + at, chunk, out.data(), out.size());
            wave::deliverCapture(captureStream.deviceHandle, out.data(), n);
            while (wave::manual::queued(wave::Direction::input) < 4) readCaptureBlock(block.data());
        }
        benchmark::DoNotOptimize(block.data());
    }
    wave::closeResampler(resampler);
    closeSoundDevices();
    wave::manual::uninstall();
}

// The virtual card in real time: capture reads and playback writes of 1024
// samples through the stream logic for three seconds; CPU time of the whole
// process (device threads included) per second of audio.
void VirtualDevice(benchmark::State& state) {
    const int fileRate = static_cast<int>(state.range(0));
    char name[] = "/tmp/marvane-bench-XXXXXX";
    std::string dir = mkdtemp(name);
    {
        SF_INFO info{};
        info.samplerate = fileRate;
        info.channels = fileRate == 11025 ? 1 : 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir + "/capture.wav").c_str(), SFM_WRITE, &info);
        std::vector<std::int16_t> s = tone(fileRate, static_cast<std::size_t>(fileRate), info.channels);
        sf_writef_short(f, s.data(), fileRate);
        sf_close(f);
    }
    wave::manual::uninstall();
    setenv("MARVANE_VIRTUAL_SOUND", dir.c_str(), 1);
    initSoundCards();
    selectCaptureDevice(0, true);
    selectPlaybackDevice(0, true);
    configureCapture(1024, 11025);
    configurePlayback(1024, 11025);
    constexpr int blocks = 32;  // about three seconds
    double cpu = 0;
    for (auto _ : state) {
        double before = processCpuSeconds();
        std::thread player([] {
            std::vector<std::int16_t> b(1024, 500);
            for (int i = 0; i < blocks; ++i) writePlaybackBlock(b.data());
        });
        std::vector<std::int16_t> b(1024);
        for (int i = 0; i < blocks; ++i) readCaptureBlock(b.data());
        player.join();
        cpu += processCpuSeconds() - before;
    }
    closeSoundDevices();
    unsetenv("MARVANE_VIRTUAL_SOUND");
    std::filesystem::remove_all(dir);
    const double audioSeconds = static_cast<double>(state.iterations()) * blocks * 1024 / 11025;
    state.counters["cpu_ms_per_audio_s"] = 1000 * cpu / audioSeconds;
}

}  // namespace

BENCHMARK(CaptureConvertedFrom48000)->Unit(benchmark::kMillisecond);
BENCHMARK(VirtualDevice)->Arg(11025)->Arg(48000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
