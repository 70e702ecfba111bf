// SPDX-License-Identifier: GPL-3.0-or-later
// Real sound cards through PortAudio's ALSA host API (which also reaches
// PulseAudio and PipeWire through ALSA's plugins). Each open device has its
// own thread doing the blocking device I/O and, when the device does not take
// the stream's rate, the conversion. A device that fails says why, in
// PortAudio's or ALSA's words.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sound/wave/backend.h"
#include "sound/wave/portaudio.h"
#include "sound/wave/resampler.h"

namespace marvane::sound::wave {

namespace {

struct DeviceList {
    std::vector<PaDeviceIndex> index;
    std::vector<std::string> name;
    PaDeviceIndex fallback = paNoDevice;  // the system's default device
};

struct PortAudioState {
    bool initialized = false;
    DeviceList input;
    DeviceList output;
    std::string cards;  // ALSA's cards when the lists were built
    std::atomic<int> forcedRate{0};
};

PortAudioState& state() {
    static auto* s = new PortAudioState;
    return *s;
}

DeviceList& listOf(Direction direction) {
    return direction == Direction::input ? state().input : state().output;
}

using portaudio::serialized;

// Only PortAudio's start and end build its device list; every device is
// closed by then (the wave service's rule for a rescan).
void portAudioStart() {
    PortAudioState& s = state();
    if (s.initialized) serialized([] { return Pa_Terminate(); });
    s.input = DeviceList{};
    s.output = DeviceList{};
    s.cards = portaudio::cardList();
    s.initialized = portaudio::initialize();
    if (!s.initialized) return;
    PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
    if (alsa < 0) return;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(alsa);
    s.input.fallback = api->defaultInputDevice;
    s.output.fallback = api->defaultOutputDevice;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr || !portaudio::isListedDevice(i)) continue;
        if (info->maxInputChannels > 0) {
            s.input.index.push_back(i);
            s.input.name.emplace_back(info->name);
        }
        if (info->maxOutputChannels > 0) {
            s.output.index.push_back(i);
            s.output.name.emplace_back(info->name);
        }
    }
}

UINT portAudioNumDevs(Direction direction) {
    return static_cast<UINT>(listOf(direction).index.size());
}

bool portAudioDeviceName(Direction direction, UINT id, std::string& name) {
    DeviceList& list = listOf(direction);
    if (id >= list.name.size()) return false;
    name = list.name[id];
    return true;
}

UINT portAudioDefaultDevice(Direction direction) {
    const DeviceList& list = listOf(direction);
    for (std::size_t id = 0; id < list.index.size(); ++id) {
        if (list.index[id] == list.fallback) return static_cast<UINT>(id);
    }
    return WAVE_MAPPER;
}

struct PaDevice {
    PaStream* stream = nullptr;
    int channels = 1;
    int deviceRate = 0;
    bool convert = false;
    Resampler resampler;
    std::size_t chunkFrames = 0;           // device frames per read (capture)
    std::size_t chunkSamples = 0;          // stream samples per pull (playback)
    std::vector<std::int16_t> frames;      // interleaved device frames
    std::vector<std::int16_t> mono;        // mono at the device's rate or the stream's
    std::vector<std::int16_t> converted;   // conversion output
    std::atomic<bool> stop{false};
    std::thread thread;
};

void runCapture(WaveDevice* device, PaDevice* d) {
    const int ch = d->channels;
    while (!d->stop.load()) {
        PaError e = Pa_ReadStream(d->stream, d->frames.data(),
                                  static_cast<unsigned long>(d->chunkFrames));
        if (e != paNoError && e != paInputOverflowed) {
            markFailed(device, portaudio::errorText(e).c_str());
            return;
        }
        for (std::size_t i = 0; i < d->chunkFrames; ++i) {
            int sum = 0;
            for (int c = 0; c < ch; ++c) sum += d->frames[i * static_cast<std::size_t>(ch) + static_cast<std::size_t>(c)];
            d->mono[i] = static_cast<std::int16_t>(sum / ch);
        }
        if (d->convert) {
            std::size_t n = resample(d->resampler, d->mono.data(), d->chunkFrames,
                                     d->converted.data(), d->converted.size());
            deliverCapture(device, d->converted.data(), n);
        } else {
            deliverCapture(device, d->mono.data(), d->chunkFrames);
        }
    }
}

// Plays silence while nothing is queued, so the card runs steadily.
void runPlayback(WaveDevice* device, PaDevice* d) {
    const auto ch = static_cast<std::size_t>(d->channels);
    while (!d->stop.load()) {
        std::size_t got = pullPlayback(device, d->mono.data(), d->chunkSamples);
        std::fill(d->mono.begin() + static_cast<std::ptrdiff_t>(got),
                  d->mono.begin() + static_cast<std::ptrdiff_t>(d->chunkSamples), 0);
        const std::int16_t* out = d->mono.data();
        std::size_t n = d->chunkSamples;
        if (d->convert) {
            n = resample(d->resampler, d->mono.data(), d->chunkSamples, d->converted.data(),
                         d->converted.size());
            out = d->converted.data();
        }
        if (n == 0) continue;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < ch; ++c) d->frames[i * ch + c] = out[i];
        }
        PaError e = Pa_WriteStream(d->stream, d->frames.data(), static_cast<unsigned long>(n));
        if (e != paNoError && e != paOutputUnderflowed) {
            markFailed(device, portaudio::errorText(e).c_str());
            return;
        }
    }
}

bool supported(const PaStreamParameters& p, bool input, double rate) {
    return serialized([&] {
               return Pa_IsFormatSupported(input ? &p : nullptr, input ? nullptr : &p, rate);
           }) == paFormatIsSupported;
}

MMRESULT portAudioOpen(WaveDevice* device, UINT id) {
    PortAudioState& s = state();
    if (!s.initialized) return MMSYSERR_NODRIVER;
    const bool input = device->direction == Direction::input;
    DeviceList& list = listOf(device->direction);
    PaDeviceIndex index = paNoDevice;
    if (id == WAVE_MAPPER) {
        index = list.fallback;
    } else if (id < list.index.size()) {
        index = list.index[id];
    }
    if (index == paNoDevice) return MMSYSERR_BADDEVICEID;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr) return MMSYSERR_BADDEVICEID;

    PaStreamParameters p{};
    p.device = index;
    p.sampleFormat = paInt16;
    // A tenth of a second of device buffer rides out a busy machine; the
    // stream's own four blocks come on top. Capture asks for less: its
    // buffer is handed over a period (a quarter of it) at a time, so a
    // long one makes each receive block wait for its last period, and come
    // late by up to that much; the capture thread only copies, and a sound
    // server buffers on its side anyway.
    p.suggestedLatency = input ? std::max(info->defaultLowInputLatency, 0.02)
                               : std::max(info->defaultLowOutputLatency, 0.1);

    // The stream's rate when the device takes it, in mono or in two
    // channels, else the device's own rate (or a common one) with
    // conversion: a rate change costs more than mixing two channels.
    const double rates[] = {static_cast<double>(s.forcedRate.load() > 0 ? s.forcedRate.load()
                                                                        : device->rate),
                            info->defaultSampleRate, 48000.0, 44100.0};
    double rate = 0;
    for (double r : rates) {
        for (int channels = 1; channels <= 2 && rate == 0; ++channels) {
            p.channelCount = channels;
            if (r > 0 && supported(p, input, r)) rate = r;
        }
        if (rate != 0) break;
    }
    if (rate == 0) return WAVERR_BADFORMAT;

    auto* d = new PaDevice;
    d->channels = p.channelCount;
    d->deviceRate = static_cast<int>(rate);
    PaError e = serialized([&] {
        return Pa_OpenStream(&d->stream, input ? &p : nullptr, input ? nullptr : &p, rate,
                             paFramesPerBufferUnspecified, paNoFlag, nullptr, nullptr);
    });
    if (e != paNoError) {
        delete d;
        return MMSYSERR_ERROR;
    }
    d->convert = d->deviceRate != device->rate;
    if (d->convert &&
        !(input ? openResampler(d->resampler, d->deviceRate, device->rate)
                : openResampler(d->resampler, device->rate, d->deviceRate))) {
        serialized([d] { return Pa_CloseStream(d->stream); });
        delete d;
        return MMSYSERR_ERROR;
    }
    // Capture is read 5 ms at a time: each piece goes on to the listeners
    // as it comes, so a longer read would hold the first of its samples
    // back by that much, and make the pieces come in lumps. Playback is
    // pulled about 23 ms per device call.
    d->chunkFrames = static_cast<std::size_t>(std::max(32, d->deviceRate / 200));
    d->chunkSamples = static_cast<std::size_t>(std::max(64, device->rate / 43));
    const auto ch = static_cast<std::size_t>(d->channels);
    if (input) {
        d->frames.resize(d->chunkFrames * ch);
        d->mono.resize(d->chunkFrames);
        if (d->convert) d->converted.resize(resampleCapacity(d->resampler, d->chunkFrames));
    } else {
        d->mono.resize(d->chunkSamples);
        std::size_t deviceFrames = d->chunkSamples;
        if (d->convert) {
            d->converted.resize(resampleCapacity(d->resampler, d->chunkSamples));
            deviceFrames = d->converted.size();
        }
        d->frames.resize(deviceFrames * ch);
    }
    if (serialized([d] { return Pa_StartStream(d->stream); }) != paNoError) {
        serialized([d] { return Pa_CloseStream(d->stream); });
        closeResampler(d->resampler);
        delete d;
        return MMSYSERR_ERROR;
    }
    device->backendData = d;
    d->thread = input ? std::thread(runCapture, device, d) : std::thread(runPlayback, device, d);
    return MMSYSERR_NOERROR;
}

// The device's thread ends within a device call (about 23 ms), or, on a
// device that hangs, once PortAudio gives up on it: only then is the stream
// closed, without holding up other devices' calls meanwhile.
void portAudioClose(WaveDevice* device) {
    auto* d = static_cast<PaDevice*>(device->backendData);
    d->stop.store(true);
    d->thread.join();
    serialized([d] {
        Pa_AbortStream(d->stream);
        return Pa_CloseStream(d->stream);
    });
    closeResampler(d->resampler);
    delete d;
    device->backendData = nullptr;
}

bool portAudioListOutdated() { return portaudio::cardAdded(state().cards); }

bool portAudioKeepsTime() { return true; }

}  // namespace

const Backend portAudioBackend = {"portaudio",           portAudioStart,        portAudioNumDevs,
                                  portAudioDeviceName,   portAudioDefaultDevice,
                                  portAudioOpen,         portAudioClose,
                                  portAudioListOutdated, portAudioKeepsTime};

namespace portaudio {

namespace {
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}
}  // namespace

std::mutex& callLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

bool initialize() {
    filterLibraryPrints();
    snd_lib_error_set_handler(silentAlsaError);
    setenv("JACK_NO_START_SERVER", "1", 0);  // probing must not start a JACK server
    return serialized([] { return Pa_Initialize(); }) == paNoError;
}

std::string cardList() {
    std::string list;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        char* name = nullptr;
        list += std::to_string(card) + ' ';
        if (snd_card_get_name(card, &name) == 0 && name != nullptr) list += name;
        std::free(name);
        list += '\n';
    }
    return list;
}

bool cardAdded(const std::string& before) {
    const std::string now = cardList();
    const std::string lines = '\n' + before;  // each line then begins after a line end
    for (std::size_t at = 0; at < now.size();) {
        const std::size_t end = now.find('\n', at);
        const std::string line = now.substr(at, end == std::string::npos ? end : end - at + 1);
        if (lines.find('\n' + line) == std::string::npos) return true;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return false;
}

std::string errorText(int paError) {
    if (paError == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0')
            return host->errorText;
        // PortAudio leaves -1, no value of the enum, where no host API said anything.
        static_assert(sizeof(PaHostApiTypeId) == sizeof(int));
        int api = -1;
        if (host != nullptr) std::memcpy(&api, &host->hostApiType, sizeof api);
        if (api == paALSA && host->errorCode < 0)
            return snd_strerror(static_cast<int>(host->errorCode));
        // PortAudio's blocking calls often leave no word of the cause.
        return "it stopped working (Unanticipated host error)";
    }
    return Pa_GetErrorText(paError);
}

void forceDeviceRate(int rate) { state().forcedRate.store(rate); }

// ALSA's own pseudo devices: what a user wants to see are the cards and the
// sound server ("pulse", "pipewire", "default").
bool isPseudoDevice(const char* name) {
    static const char* const hidden[] = {
        "front",    "rear",       "center_lfe", "side",   "iec958", "spdif",
        "hdmi",     "dmix",       "dsnoop",     "sysdefault", "lavrate", "samplerate",
        "speexrate", "upmix",     "vdownmix",   "jack",   "oss"};
    if (std::strncmp(name, "surround", 8) == 0) return true;
    for (const char* h : hidden) {
        if (std::strcmp(name, h) == 0) return true;
    }
    return false;
}

bool isListedDevice(int index) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    return info != nullptr && info->hostApi == Pa_HostApiTypeIdToHostApiIndex(paALSA) &&
           !isPseudoDevice(info->name);
}
}  // namespace portaudio

}  // namespace marvane::sound::wave
