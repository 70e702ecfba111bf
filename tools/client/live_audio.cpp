// SPDX-License-Identifier: GPL-3.0-or-later
#include "live_audio.h"

#include <portaudio.h>
#include <soxr.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link_protocol.h"
#include "sound/wave/portaudio.h"

namespace marvane::client {

namespace {

using sound::wave::portaudio::serialized;

// One device call, and the device's own buffer: short, for latency's sake,
// but enough for a busy laptop. The output's were found by playing a steady
// tone for minutes through PulseAudio on a busy machine: a buffer holds
// between itself less a call and itself, and 40 ms in 10 ms calls played
// without a gap where 30 and 20 ms did not, nor 5 ms calls at all.
constexpr double kInputChunkSeconds = 0.01;
constexpr double kInputLatencySeconds = 0.03;
constexpr double kOutputChunkSeconds = 0.01;
constexpr double kOutputLatencySeconds = 0.04;

std::vector<int> devices(bool input) {
    std::vector<int> list;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr || !sound::wave::portaudio::isListedDevice(i))
            continue;
        if ((input ? info->maxInputChannels : info->maxOutputChannels) > 0)
            list.push_back(i);
    }
    return list;
}

int defaultDevice(bool input) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(Pa_HostApiTypeIdToHostApiIndex(paALSA));
    if (api == nullptr)
        return paNoDevice;
    return input ? api->defaultInputDevice : api->defaultOutputDevice;
}

bool containsIgnoringCase(const char* text, const char* part) {
    std::string a(text), b(part);
    for (auto* s : {&a, &b})
        for (char& c : *s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return a.find(b) != std::string::npos;
}

// The stream parameters for the device at its own rate, mono if it takes
// it, else two channels. False when it takes neither.
bool chooseFormat(int device, bool input, PaStreamParameters& p, double& rate) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    p = PaStreamParameters{};
    p.device = device;
    p.sampleFormat = input ? paInt16 : paFloat32;
    p.suggestedLatency = input ? std::max(info->defaultLowInputLatency, kInputLatencySeconds)
                               : std::max(info->defaultLowOutputLatency, kOutputLatencySeconds);
    const double rates[] = {info->defaultSampleRate, 48000.0, 44100.0};
    for (double r : rates) {
        for (int channels = 1; channels <= 2; ++channels) {
            p.channelCount = channels;
            PaError e = serialized([&] {
                return Pa_IsFormatSupported(input ? &p : nullptr, input ? nullptr : &p, r);
            });
            if (e == paFormatIsSupported) {
                rate = r;
                return true;
            }
        }
    }
    return false;
}

// Opens and starts a blocking stream; false after printing why not (unless
// quietly).
bool openStream(int device, bool input, PaStreamParameters& p, double& rate, void*& stream,
                std::string& name, bool quietly) {
    name = Pa_GetDeviceInfo(device)->name;
    const char* what = input ? "input" : "output";
    if (!chooseFormat(device, input, p, rate)) {
        if (!quietly)
            std::fprintf(stderr, "marvane-client: the %s device %s takes no format we can use\n",
                         what, name.c_str());
        return false;
    }
    PaStream* s = nullptr;
    PaError e = serialized([&] {
        return Pa_OpenStream(&s, input ? &p : nullptr, input ? nullptr : &p, rate,
                             paFramesPerBufferUnspecified, paNoFlag, nullptr, nullptr);
    });
    if (e == paNoError) {
        e = serialized([&] { return Pa_StartStream(s); });
        if (e != paNoError)
            serialized([&] { return Pa_CloseStream(s); });
    }
    if (e != paNoError) {
        if (!quietly)
            std::fprintf(stderr, "marvane-client: cannot open the %s device %s: %s\n", what,
                         name.c_str(), Pa_GetErrorText(e));
        return false;
    }
    stream = s;
    return true;
}

void closeStream(void*& stream) {
    if (stream == nullptr)
        return;
    auto* s = static_cast<PaStream*>(stream);
    serialized([s] {
        Pa_AbortStream(s);
        return Pa_CloseStream(s);
    });
    stream = nullptr;
}

// ALSA's cards when PortAudio last built its device list.
std::string cardsAtStart;

void runOutput(Output* o) {
    std::vector<float> mono(o->chunkFrames);
    std::vector<float> frames(o->chunkFrames * static_cast<std::size_t>(o->channels));
    auto* stream = static_cast<PaStream*>(o->stream);
    while (!o->stop.load(std::memory_order_relaxed)) {
        o->playout.render(mono.data(), mono.size(), Playout::now());
        for (std::size_t i = 0; i < mono.size(); ++i)
            for (int c = 0; c < o->channels; ++c)
                frames[i * static_cast<std::size_t>(o->channels) + static_cast<std::size_t>(c)] = mono[i];
        PaError e = Pa_WriteStream(stream, frames.data(), static_cast<unsigned long>(mono.size()));
        if (e != paNoError && e != paOutputUnderflowed) {
            o->failReason = sound::wave::portaudio::errorText(e);
            o->failed.store(true);
            return;
        }
    }
}

}  // namespace

bool startSound() {
    cardsAtStart = sound::wave::portaudio::cardList();
    if (!sound::wave::portaudio::initialize()) {
        std::fprintf(stderr, "marvane-client: the sound system (PortAudio) cannot start\n");
        return false;
    }
    return true;
}

bool soundCardAdded() { return sound::wave::portaudio::cardAdded(cardsAtStart); }

bool restartSound() {
    serialized([] { return Pa_Terminate(); });
    cardsAtStart = sound::wave::portaudio::cardList();
    return sound::wave::portaudio::initialize();
}

void listDevices() {
    for (bool input : {true, false}) {
        std::printf("%s devices:\n", input ? "input" : "output");
        int fallback = defaultDevice(input);
        std::vector<int> list = devices(input);
        if (list.empty())
            std::printf("  (none)\n");
        for (int d : list)
            std::printf("  %s%s\n", Pa_GetDeviceInfo(d)->name, d == fallback ? "  (default)" : "");
    }
}

int findDevice(bool input, const char* name, bool quietly) {
    const char* what = input ? "input" : "output";
    if (name == nullptr) {
        int d = defaultDevice(input);
        if (d == paNoDevice && !quietly)
            std::fprintf(stderr, "marvane-client: there is no default %s device\n", what);
        return d == paNoDevice ? -1 : d;
    }
    std::vector<int> list = devices(input);
    for (int d : list)
        if (std::strcmp(Pa_GetDeviceInfo(d)->name, name) == 0)
            return d;
    for (int d : list)
        if (std::strstr(Pa_GetDeviceInfo(d)->name, name) != nullptr)
            return d;
    for (int d : list)
        if (containsIgnoringCase(Pa_GetDeviceInfo(d)->name, name))
            return d;
    if (!quietly)
        std::fprintf(stderr,
                     "marvane-client: no %s device's name contains \"%s\" (see --list-devices)\n",
                     what, name);
    return -1;
}

bool Output::open(int device, double linkRate, bool quietly) {
    PaStreamParameters p;
    if (!openStream(device, false, p, rate, stream, name, quietly))
        return false;
    channels = p.channelCount;
    chunkFrames = static_cast<std::size_t>(rate * kOutputChunkSeconds);
    auto block = static_cast<std::size_t>(link::kBlockSamples * linkRate / link::kFullRate);
    if (!playout.open(linkRate, rate, block)) {
        std::fprintf(stderr, "marvane-client: cannot convert %.1f Hz to %.0f Hz\n", linkRate, rate);
        closeStream(stream);
        return false;
    }
    thread = std::thread(runOutput, this);
    return true;
}

void Output::close() {
    stop.store(true);
    if (thread.joinable())
        thread.join();
    closeStream(stream);
}

bool Input::open(int device, double linkRate, bool quietly) {
    PaStreamParameters p;
    if (!openStream(device, true, p, rate, stream, name, quietly))
        return false;
    channels = p.channelCount;
    chunkFrames = static_cast<std::size_t>(rate * kInputChunkSeconds);
    if (!sound::wave::openResampler(resampler, rate, linkRate)) {
        std::fprintf(stderr, "marvane-client: cannot convert %.0f Hz to %.1f Hz\n", rate, linkRate);
        closeStream(stream);
        return false;
    }
    frames.resize(chunkFrames * static_cast<std::size_t>(channels));
    mono.resize(chunkFrames);
    converted.resize(sound::wave::resampleCapacity(resampler, chunkFrames));
    ring.assign(static_cast<std::size_t>(2 * linkRate), link::kSilenceByte);
    thread = std::thread([this] { capture(); });
    return true;
}

void Input::close() {
    setActive(false);
    stop.store(true);
    changed.notify_all();
    if (thread.joinable())
        thread.join();
    closeStream(stream);
    sound::wave::closeResampler(resampler);
}

void Input::setActive(bool on) {
    std::lock_guard<std::mutex> guard(lock);
    active = on;
    changed.notify_all();
}

void Input::capture() {
    auto* s = static_cast<PaStream*>(stream);
    const auto ch = static_cast<std::size_t>(channels);
    bool running = true;  // open() started it
    while (!stop.load(std::memory_order_relaxed)) {
        {
            std::unique_lock<std::mutex> guard(lock);
            if (!active && running) {
                guard.unlock();
                serialized([s] { return Pa_StopStream(s); });
                running = false;
                guard.lock();
            }
            changed.wait(guard, [this] { return active || stop.load(); });
        }
        if (stop.load())
            break;
        if (!running) {
            const PaError e = serialized([&] { return Pa_StartStream(s); });
            if (e != paNoError) {
                failReason = sound::wave::portaudio::errorText(e);
                failed.store(true);
                return;
            }
            running = true;
            soxr_clear(static_cast<soxr_t>(resampler.soxr));  // a fresh start, no old tail
        }
        PaError e = Pa_ReadStream(s, frames.data(), static_cast<unsigned long>(chunkFrames));
        if (e != paNoError && e != paInputOverflowed) {
            failReason = sound::wave::portaudio::errorText(e);
            failed.store(true);
            return;
        }
        int loudest = 0;
        for (std::size_t i = 0; i < chunkFrames; ++i) {
            int sum = 0;
            for (std::size_t c = 0; c < ch; ++c)
                sum += frames[i * ch + c];
            mono[i] = static_cast<std::int16_t>(sum / channels);
            loudest = std::max(loudest, std::abs(static_cast<int>(mono[i])));
        }
        int before = peak.load(std::memory_order_relaxed);
        while (loudest > before && !peak.compare_exchange_weak(before, loudest)) {
        }
        std::size_t n = sound::wave::resample(resampler, mono.data(), chunkFrames, converted.data(),
                                              converted.size());
        queue(converted.data(), n);
    }
    if (running)
        serialized([s] { return Pa_StopStream(s); });
}

void Input::queue(const std::int16_t* samples, std::size_t count) {
    std::uint64_t w = written.load(std::memory_order_relaxed);
    std::uint64_t t = taken.load(std::memory_order_acquire);
    if (w - t + count > ring.size()) {
        overflows.fetch_add(1, std::memory_order_relaxed);  // nobody takes them: the newest go
        count = ring.size() - static_cast<std::size_t>(w - t);
    }
    for (std::size_t i = 0; i < count; ++i)
        ring[(w + i) % ring.size()] = link::encodeTxSample(samples[i]);
    written.store(w + count, std::memory_order_release);
}

std::size_t Input::waiting() const {
    return static_cast<std::size_t>(written.load(std::memory_order_acquire) -
                                    taken.load(std::memory_order_relaxed));
}

std::size_t Input::take(std::uint8_t* out, std::size_t size) {
    std::uint64_t t = taken.load(std::memory_order_relaxed);
    std::size_t n = std::min(size, static_cast<std::size_t>(written.load(std::memory_order_acquire) - t));
    for (std::size_t i = 0; i < n; ++i)
        out[i] = ring[(t + i) % ring.size()];
    taken.store(t + n, std::memory_order_release);
    return n;
}

}  // namespace marvane::client
