// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the sound tests: temporary folders, WAV files, tones.
#pragma once

#include "config/notice.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace marvane::sound::test {

// A fresh folder under /tmp, removed by the destructor.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/marvane-sound-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const char* name) const { return path + "/" + name; }
};

// Runs the test body inside a folder (the settings files live in the working
// directory) and returns to the old one afterwards.
struct InFolder {
    std::filesystem::path old = std::filesystem::current_path();
    explicit InFolder(const std::string& dir) { std::filesystem::current_path(dir); }
    ~InFolder() { std::filesystem::current_path(old); }
};

// Interleaved 16-bit frames to a WAV file.
inline bool writeWav(const std::string& path, const std::vector<std::int16_t>& samples, int rate,
                     int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    bool ok = sf_writef_short(f, samples.data(), frames) == frames;
    sf_close(f);
    return ok;
}

struct WavContent {
    bool ok = false;
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<std::int16_t> samples;
};

inline WavContent readWav(const std::string& path) {
    WavContent w;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return w;
    w.rate = info.samplerate;
    w.channels = info.channels;
    w.format = info.format;
    w.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_count_t got = sf_readf_short(f, w.samples.data(), info.frames);
    w.samples.resize(static_cast<std::size_t>(got * info.channels));
    sf_close(f);
    w.ok = true;
    return w;
}

inline std::vector<std::int16_t> tone(double frequency, double rate, std::size_t count,
                                      double amplitude, int channels = 1) {
    std::vector<std::int16_t> s(count * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < count; ++i) {
        double v = amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / rate);
        for (int c = 0; c < channels; ++c) {
            s[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                static_cast<std::int16_t>(std::lround(v));
        }
    }
    return s;
}

// Frequency of a clean tone from its rising zero crossings, interpolated.
inline double toneFrequency(const std::vector<std::int16_t>& s, double rate) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            double at = static_cast<double>(i - 1) +
                        static_cast<double>(-s[i - 1]) / static_cast<double>(s[i] - s[i - 1]);
            if (first < 0) {
                first = at;
            } else {
                ++crossings;
            }
            last = at;
        }
    }
    if (crossings == 0) return 0;
    return crossings * rate / (last - first);
}

inline double rms(const std::int16_t* s, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(s[i]) * s[i];
    return n == 0 ? 0 : std::sqrt(sum / static_cast<double>(n));
}

// Slope of t over x by least squares, pooled over segments that each have
// their own offset (a segment starts wherever the clock was restarted).
struct SlopeFit {
    // Seconds per step of a device clock, from (step, time) pairs taken when a
    // blocking call returned. A call returns when the device has finished a
    // block or later, never earlier, so the earliest returns (the lower
    // envelope) follow the device's clock; a test thread held up by a busy
    // machine only makes some returns late, and those are passed over. Per
    // segment, the earliest return relative to the nominal period among the
    // first and among the last `window` pairs span the measurement.
    explicit SlopeFit(double nominal) : nominal(nominal) {}
    double nominal;
    double steps = 0, seconds = 0;
    std::vector<double> xs, ts;
    void add(double x, double t) {
        xs.push_back(x);
        ts.push_back(t);
    }
    void endSegment() {
        const std::size_t n = xs.size();
        const std::size_t window = std::min<std::size_t>(20, n / 4);
        if (window >= 5) {
            auto earliest = [&](std::size_t from, std::size_t to) {
                std::size_t best = from;
                for (std::size_t i = from; i < to; ++i)
                    if (ts[i] - xs[i] * nominal < ts[best] - xs[best] * nominal) best = i;
                return best;
            };
            const std::size_t a = earliest(0, window);
            const std::size_t b = earliest(n - window, n);
            steps += xs[b] - xs[a];
            seconds += ts[b] - ts[a];
        }
        xs.clear();
        ts.clear();
    }
    double slope() {
        endSegment();
        return steps > 0 ? seconds / steps : 0;
    }
};

// What the notices said while one of these lives, one text per notice, in
// place of the log (whose lines are written by a thread of their own).
struct NoticeCapture {
    static std::vector<std::string>& said() {
        static std::vector<std::string> texts;
        return texts;
    }
    NoticeCapture() {
        said().clear();
        config::setNoticeSink([](const char* text) { said().emplace_back(text); });
    }
    ~NoticeCapture() { config::setNoticeSink(nullptr); }
    // The notices joined by line ends; "" when there was none.
    std::string text() const {
        std::string all;
        for (const std::string& t : said()) all += (all.empty() ? "" : "\n") + t;
        return all;
    }
};

}  // namespace marvane::sound::test
