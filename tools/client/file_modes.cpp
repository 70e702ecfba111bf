// SPDX-License-Identifier: GPL-3.0-or-later
#include "file_modes.h"

#include <poll.h>
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "connection.h"
#include "pacing.h"
#include "terminal.h"

namespace marvane::client {

namespace {

constexpr double kStallSeconds = 10.0;  // no fill report this long while sending: give up
constexpr double kDrainMarginSeconds = 3.0;

struct FileSession {
    const Options& options;
    int fd = -1;
    SNDFILE* rxFile = nullptr;

    link::ServerStreamSplitter splitter;
    short rxSamples[4096] = {};
    int rxCount = 0;
    long audioBytes = 0;

    Pinger pinger;
    bool pongSeen = false;

    // Transmission.
    std::vector<std::uint8_t> tx;
    std::size_t txSent = 0;
    bool txStarted = false;   // "T" sent
    bool txStreaming = false; // first "N" seen
    bool txLastSent = false;  // "R" sent
    bool txDone = false;
    FilePacer pacer;
    Clock::time_point lastReport;
    Clock::time_point lastSentTime;
    long audioAtLastSent = 0;

    explicit FileSession(const Options& o) : options(o) {}

    void flushAudio() {
        if (rxFile && rxCount > 0)
            sf_write_short(rxFile, rxSamples, rxCount);
        rxCount = 0;
    }

    void audio(const std::uint8_t* bytes, std::size_t length) {
        audioBytes += static_cast<long>(length);
        if (!rxFile)
            return;
        for (std::size_t i = 0; i < length; ++i) {
            rxSamples[rxCount++] = link::decodeLinkByte(bytes[i]);
            if (rxCount == static_cast<int>(sizeof rxSamples / sizeof rxSamples[0]))
                flushAudio();
        }
    }

    void frame(std::uint8_t letter, int argument) {
        if (letter == link::kCmdPing) {
            double ms = pinger.answered();
            if (ms >= 0 && !pongSeen) {
                pongSeen = true;
                std::printf("pong %.1f ms\n", ms);
                std::fflush(stdout);
            }
            return;
        }
        if (!options.quiet) {
            std::printf("fill %d\n", argument);
            std::fflush(stdout);
        }
        if (txStarted && !txLastSent) {
            txStreaming = true;
            lastReport = Clock::now();
            pacer.report(argument);
        }
    }

    void received(const std::uint8_t* data, std::size_t length) {
        splitter.feed(
            data, length, [this](const std::uint8_t* b, std::size_t n) { audio(b, n); },
            [this](std::uint8_t letter, int argument) { frame(letter, argument); });
    }

    // Tops the ring up after each fill report; the last chunk goes out in "R".
    bool pump() {
        if (!txStreaming || txLastSent)
            return true;
        double want = pacer.wanted();
        while (want > 0 && !txLastSent) {
            std::size_t left = tx.size() - txSent;
            std::size_t length = left < kChunkBytes ? left : static_cast<std::size_t>(kChunkBytes);
            bool last = length == left;
            if (!sendChunks(fd, tx.data() + txSent, length, last))
                return false;
            txSent += length;
            pacer.sent(length);
            want -= static_cast<double>(length);
            if (last) {
                txLastSent = true;
                lastSentTime = Clock::now();
                audioAtLastSent = audioBytes;
            }
        }
        return true;
    }

    // The station is back in its receive phase when receive audio flows again
    // after "R"; without that sign, once the ring must have run dry.
    void checkDone() {
        if (!txLastSent || txDone)
            return;
        if (audioBytes > audioAtLastSent ||
            secondsSince(lastSentTime) > pacer.remainingSeconds() + kDrainMarginSeconds) {
            txDone = true;
            if (!options.quiet)
                std::fprintf(stderr, "marvane-client: transmission done\n");
        }
    }
};

}  // namespace

bool loadTransmitFile(const char* path, bool halfRate, std::vector<std::uint8_t>& bytes) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "marvane-client: cannot read %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    std::vector<short> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_short(file, frames.data(), info.frames);
    sf_close(file);
    if (got != info.frames) {
        std::fprintf(stderr, "marvane-client: cannot read %s: short read\n", path);
        return false;
    }
    std::vector<short> mono(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i) {
        long sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += frames[static_cast<size_t>(i * info.channels + c)];
        mono[static_cast<size_t>(i)] = static_cast<short>(sum / info.channels);
    }

    double wanted = link::linkRate(halfRate);
    bool sameRate = halfRate ? (info.samplerate == 5512 || info.samplerate == 5513)
                             : info.samplerate == 11025;
    if (!sameRate && !mono.empty()) {
        std::vector<float> in(mono.size());
        for (size_t i = 0; i < mono.size(); ++i)
            in[i] = static_cast<float>(mono[i]) / 32768.0f;
        size_t outLength =
            static_cast<size_t>(std::ceil(static_cast<double>(mono.size()) * wanted / info.samplerate));
        std::vector<float> out(outLength + 16);
        size_t done = 0;
        soxr_error_t error = soxr_oneshot(info.samplerate, wanted, 1, in.data(), in.size(), nullptr,
                                          out.data(), out.size(), &done, nullptr, nullptr, nullptr);
        if (error) {
            std::fprintf(stderr, "marvane-client: cannot resample %s: %s\n", path, error);
            return false;
        }
        mono.resize(done);
        for (size_t i = 0; i < done; ++i) {
            double s = std::nearbyint(static_cast<double>(out[i]) * 32768.0);
            mono[i] = static_cast<short>(s > 32767.0 ? 32767.0 : s < -32768.0 ? -32768.0 : s);
        }
    }
    // The station plays a block only while at least 1024 bytes wait and drops
    // the rest once the last chunk is in, so the file is padded with silence:
    // at full rate to whole blocks, at half rate (512 bytes a block) past the
    // filter's delay and by one block more; then the tail of silence.
    size_t length = mono.size();
    size_t padded = halfRate ? (length + 16 + 511) / 512 * 512 + 512 : (length + 1023) / 1024 * 1024;
    padded += tailSilenceBytes(halfRate, false);
    bytes.assign(padded, link::kSilenceByte);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = link::encodeTxSample(mono[i]);
    return true;
}

int runFileSession(const Options& o) {
    static FileSession s(o);  // large buffers: not on the stack
    if (o.txPath && !loadTransmitFile(o.txPath, o.halfTx(), s.tx))
        return kExitUsage;
    s.pacer.bytesPerSecond = link::linkRate(o.halfTx());

    s.fd = connectToStation(o.host, o.port);
    if (s.fd < 0)
        return kExitConnection;
    Clock::time_point start = Clock::now();
    if (!o.quiet)
        std::fprintf(stderr, "marvane-client: connected to %s:%d\n", o.host.c_str(), o.port);

    if (o.rxPath) {
        SF_INFO info{};
        info.samplerate = o.halfRx() ? 5512 : 11025;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        s.rxFile = sf_open(o.rxPath, SFM_WRITE, &info);
        if (!s.rxFile) {
            std::fprintf(stderr, "marvane-client: cannot write %s: %s\n", o.rxPath, sf_strerror(nullptr));
            close(s.fd);
            return kExitUsage;
        }
    }

    bool ok = true;
    if (o.ratesGiven || o.rxPath || o.txPath)
        ok = ok && sendFrame(s.fd, link::makeRatesFrame(o.rxRate, o.txRate));
    if (o.info)
        ok = ok && sendSized(s.fd, link::kCmdInfo, reinterpret_cast<const std::uint8_t*>(o.info),
                             std::strlen(o.info));
    if (o.ping)
        ok = ok && s.pinger.send(s.fd);
    if (o.txPath) {
        ok = ok && sendFrame(s.fd, link::makeFrame(link::kCmdTransmit));
        s.txStarted = true;
        s.lastReport = Clock::now();
    }

    bool oneShotOnly = !o.rxPath && !o.txPath && (o.ping || o.info || o.ratesGiven);
    int status = kExitOk;
    bool receivedAny = false;
    while (ok && !stopRequested()) {
        s.checkDone();
        bool txFinished = !o.txPath || s.txDone;
        if (o.seconds >= 0.0) {
            if (secondsSince(start) >= o.seconds && txFinished && (!o.ping || s.pongSeen))
                break;
        } else if (o.txPath) {
            if (txFinished)
                break;
        } else if (oneShotOnly && (!o.ping || s.pongSeen)) {
            break;
        }
        if (s.txStarted && !s.txLastSent && secondsSince(s.lastReport) > kStallSeconds) {
            std::fprintf(stderr, "marvane-client: no fill report from the station for %.0f s\n",
                         kStallSeconds);
            status = kExitConnection;
            break;
        }

        pollfd p{s.fd, POLLIN, 0};
        int ready = poll(&p, 1, 20);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (ready > 0) {
            std::uint8_t buffer[16384];
            long n = receiveSome(s.fd, buffer, sizeof buffer);
            if (n <= 0) {
                reportLostConnection(n < 0 ? errno : 0, !receivedAny);
                status = kExitConnection;
                break;
            }
            receivedAny = true;
            s.received(buffer, static_cast<std::size_t>(n));
        }
        ok = s.pump();
    }
    if (!ok) {
        reportLostConnection(errno);
        status = kExitConnection;
    }

    s.splitter.finish([&](const std::uint8_t* b, std::size_t n) { s.audio(b, n); });
    s.flushAudio();
    if (s.rxFile)
        sf_close(s.rxFile);
    close(s.fd);
    return status;
}

}  // namespace marvane::client
