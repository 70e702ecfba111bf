// marvane-client: a command-line client of the Marvane link protocol.
//
//   marvane-client HOST[:PORT] [--rx FILE.wav] [--tx FILE.wav] [--rates RX,TX]
//                  [--info WORD] [--ping] [--seconds N] [--quiet]
//
// Exit status: 0 done, 1 usage or file error, 2 connection refused or lost.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sndfile.h>
#include <soxr.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitConnection = 2;

constexpr int kDefaultPort = 3020;
// "S" and "R" payload size. The station takes an "R" payload only when it
// arrives in one read, so a frame must fit in one TCP segment on any path.
constexpr int kChunkBytes = 1024;
constexpr double kTargetSeconds = 2.0;  // the ring is topped up to about this much audio
// A report can be made before the station has read bytes sent just before
// it: the station pauses 100 ms after "T" (and may report meanwhile), and
// 50 ms inside a split "S". Bytes sent this recently are taken as not yet in
// a report. It is longer than those pauses and than the report interval
// (two blocks, 186 ms), so at worst a burst counts twice and the ring runs a
// little below the target; never far above it.
constexpr double kInFlightSeconds = 0.3;
constexpr double kStallSeconds = 10.0;  // no fill report this long while sending: give up
constexpr double kDrainMarginSeconds = 3.0;
// What the station still has to play when it unkeys: its queued playback
// blocks, and a margin for the sound device's own latency.
constexpr int kQueuedBlocks = 4;
constexpr double kOutputLatencySeconds = 0.25;

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t interrupted = 0;
void onSignal(int) { interrupted = 1; }

struct Options {
    std::string host;
    int port = kDefaultPort;
    const char* rxPath = nullptr;
    const char* txPath = nullptr;
    bool ratesGiven = false;
    int rxRate = 0;
    int txRate = 0;
    const char* info = nullptr;
    bool ping = false;
    double seconds = -1.0;
    bool quiet = false;
};

void usage(FILE* out) {
    std::fputs(
        "usage: marvane-client HOST[:PORT] [options]\n"
        "  --rx FILE.wav   write the received audio as 16-bit WAV (11025 Hz, 5512 Hz at half rate)\n"
        "  --tx FILE.wav   transmit the file: \"T\", \"S\" chunks paced by the fill reports,\n"
        "                  the last chunk in \"R\"; followed by silence in whole blocks\n"
        "                  (at least 0.6 s), so that the station plays all of it\n"
        "                  while the transmitter is keyed\n"
        "  --rates RX,TX   send \"F\" with these bytes (1 = half rate); with --rx or --tx\n"
        "                  \"F\" is always sent, by default with 0,0 (full rate)\n"
        "  --info WORD     send \"I\" with WORD\n"
        "  --ping          send \"P\" and print the round trip as \"pong N.N ms\"\n"
        "  --seconds N     stay connected N seconds, then close (with --tx, not before the\n"
        "                  transmission is done); default: until --tx is done, after the\n"
        "                  reply to --ping when only one-shot frames are asked for, else\n"
        "                  until interrupted\n"
        "  --quiet         print no \"fill N\" lines and no progress messages\n"
        "PORT defaults to MARVANE_PORT, else 3020. Exit status: 0 done, 1 usage or file\n"
        "error, 2 connection refused or lost.\n",
        out);
}

bool parsePort(const char* text, int& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

bool parseRate(const char* text, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || v < 0 || v > 255)
        return false;
    value = static_cast<int>(v);
    return *end == '\0' || *end == ',';
}

// Returns -1 when the arguments are fine, else the exit status.
int parseOptions(int argc, char** argv, Options& options) {
    if (const char* env = std::getenv("MARVANE_PORT"))
        parsePort(env, options.port);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "marvane-client: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return kExitOk;
        } else if (arg == "--rx") {
            if (!(options.rxPath = value("--rx")))
                return kExitUsage;
        } else if (arg == "--tx") {
            if (!(options.txPath = value("--tx")))
                return kExitUsage;
        } else if (arg == "--rates") {
            const char* text = value("--rates");
            if (!text)
                return kExitUsage;
            const char* comma = std::strchr(text, ',');
            if (!comma || !parseRate(text, options.rxRate) || !parseRate(comma + 1, options.txRate) ||
                std::strchr(comma + 1, ',')) {
                std::fprintf(stderr, "marvane-client: --rates wants RX,TX with values 0..255\n");
                return kExitUsage;
            }
            options.ratesGiven = true;
        } else if (arg == "--info") {
            if (!(options.info = value("--info")))
                return kExitUsage;
            size_t length = std::strlen(options.info);
            if (length == 0 || length > 10239) {
                std::fprintf(stderr, "marvane-client: --info wants a word of 1 to 10239 bytes\n");
                return kExitUsage;
            }
        } else if (arg == "--ping") {
            options.ping = true;
        } else if (arg == "--seconds") {
            const char* text = value("--seconds");
            if (!text)
                return kExitUsage;
            char* end = nullptr;
            options.seconds = std::strtod(text, &end);
            if (end == text || *end != '\0' || !(options.seconds >= 0.0)) {
                std::fprintf(stderr, "marvane-client: --seconds wants a number of seconds\n");
                return kExitUsage;
            }
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "marvane-client: unknown option %s\n", arg.c_str());
            usage(stderr);
            return kExitUsage;
        } else if (options.host.empty()) {
            size_t colon = arg.rfind(':');
            options.host = arg.substr(0, colon);
            if (colon != std::string::npos &&
                (options.host.empty() || !parsePort(arg.c_str() + colon + 1, options.port))) {
                std::fprintf(stderr, "marvane-client: bad address %s\n", arg.c_str());
                return kExitUsage;
            }
        } else {
            std::fprintf(stderr, "marvane-client: unexpected argument %s\n", arg.c_str());
            return kExitUsage;
        }
    }
    if (options.host.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    return -1;
}

// The transmit file as link bytes: 8-bit offset binary at 11025 Hz, or at
// 5512.5 Hz for half rate. A sample s becomes (s >> 8) + 128, the station's
// own receive encoding, so a multiple of 256 comes back out unchanged.
bool loadTransmitFile(const char* path, bool halfRate, std::vector<uint8_t>& bytes) {
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

    double wanted = halfRate ? 5512.5 : 11025.0;
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
    // filter's delay and by one block more.
    size_t length = mono.size();
    const size_t blockBytes = halfRate ? 512 : 1024;
    size_t padded = halfRate ? (length + 16 + 511) / 512 * 512 + 512 : (length + 1023) / 1024 * 1024;
    // The station unkeys as soon as it has written the silent block that ends
    // the transmission, while up to four written blocks and the sound device's
    // own latency are still to be played: without more silence the end of the
    // file would go out after the transmitter is off. So whole blocks of
    // silence follow, at least four blocks and a quarter of a second.
    const double tailBytes =
        kQueuedBlocks * static_cast<double>(blockBytes) + kOutputLatencySeconds * wanted;
    padded += static_cast<size_t>(std::ceil(tailBytes / static_cast<double>(blockBytes))) * blockBytes;
    bytes.assign(padded, 128);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>((mono[i] >> 8) + 128);
    return true;
}

int connectTo(const Options& options) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    std::string service = std::to_string(options.port);
    int rc = getaddrinfo(options.host.c_str(), service.c_str(), &hints, &results);
    if (rc != 0) {
        std::fprintf(stderr, "marvane-client: cannot resolve %s: %s\n", options.host.c_str(),
                     gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int lastError = 0;
    for (addrinfo* ai = results; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            lastError = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(results);
    if (fd < 0) {
        std::fprintf(stderr, "marvane-client: cannot connect to %s:%d: %s\n", options.host.c_str(),
                     options.port, std::strerror(lastError));
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Header and payload in one send, so that the station reads the payload whole.
bool sendFrame(int fd, uint8_t command, int hi, int lo, const uint8_t* payload = nullptr,
               size_t length = 0) {
    uint8_t message[6 + 10239];
    message[0] = 0x01;
    message[1] = 0x02;
    message[2] = 0x03;
    message[3] = command;
    message[4] = static_cast<uint8_t>(hi);
    message[5] = static_cast<uint8_t>(lo);
    if (length)
        std::memcpy(message + 6, payload, length);
    return sendAll(fd, message, 6 + length);
}

bool sendSized(int fd, uint8_t command, const uint8_t* payload, size_t length) {
    return sendFrame(fd, command, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF),
                     payload, length);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Session {
    Options options;
    int fd = -1;
    SNDFILE* rxFile = nullptr;

    // Server stream: receive audio interleaved with 6-byte "P" and "N" frames.
    uint8_t pending[6] = {};
    int pendingLength = 0;
    short rxSamples[4096] = {};
    int rxCount = 0;
    long audioBytes = 0;

    bool pingSent = false;
    bool pongSeen = false;
    Clock::time_point pingTime;

    // Transmission.
    std::vector<uint8_t> tx;
    size_t txSent = 0;
    bool txStarted = false;  // "T" sent
    bool txStreaming = false; // first "N" seen
    bool txLastSent = false; // "R" sent
    bool txDone = false;
    double bytesPerSecond = 11025.0;
    int lastFill = 0;
    // The sends taken as not yet in lastFill, and their sum.
    std::deque<std::pair<Clock::time_point, size_t>> recentSends;
    size_t sentSinceReport = 0;
    Clock::time_point lastReport;
    Clock::time_point lastSentTime;
    long audioAtLastSent = 0;

    void flushAudio() {
        if (rxFile && rxCount > 0)
            sf_write_short(rxFile, rxSamples, rxCount);
        rxCount = 0;
    }

    void audio(uint8_t b) {
        ++audioBytes;
        if (!rxFile)
            return;
        rxSamples[rxCount++] = static_cast<short>((b - 128) * 256);
        if (rxCount == static_cast<int>(sizeof rxSamples / sizeof rxSamples[0]))
            flushAudio();
    }

    bool validPrefix() const {
        static const uint8_t marks[3] = {0x01, 0x02, 0x03};
        for (int i = 0; i < pendingLength && i < 3; ++i)
            if (pending[i] != marks[i])
                return false;
        return pendingLength < 4 || pending[3] == 'P' || pending[3] == 'N';
    }

    void frame() {
        if (pending[3] == 'P') {
            if (pingSent && !pongSeen) {
                pongSeen = true;
                std::printf("pong %.1f ms\n", secondsSince(pingTime) * 1000.0);
                std::fflush(stdout);
            }
            return;
        }
        int fill = pending[4] * 256 + pending[5];
        if (!options.quiet) {
            std::printf("fill %d\n", fill);
            std::fflush(stdout);
        }
        if (txStarted && !txLastSent) {
            txStreaming = true;
            lastFill = fill;
            lastReport = Clock::now();
            while (!recentSends.empty() &&
                   lastReport - recentSends.front().first > std::chrono::duration<double>(kInFlightSeconds)) {
                sentSinceReport -= recentSends.front().second;
                recentSends.pop_front();
            }
        }
    }

    void received(const uint8_t* data, int length) {
        for (int i = 0; i < length; ++i) {
            pending[pendingLength++] = data[i];
            while (pendingLength > 0 && !validPrefix()) {
                audio(pending[0]);
                std::memmove(pending, pending + 1, static_cast<size_t>(--pendingLength));
            }
            if (pendingLength == 6) {
                frame();
                pendingLength = 0;
            }
        }
    }

    // Tops the ring up to about kTargetSeconds after each fill report; the
    // last chunk goes out in "R".
    bool pump() {
        if (!txStreaming || txLastSent)
            return true;
        double want = kTargetSeconds * bytesPerSecond - lastFill - static_cast<double>(sentSinceReport);
        while (want > 0 && !txLastSent) {
            size_t left = tx.size() - txSent;
            size_t length = left < kChunkBytes ? left : static_cast<size_t>(kChunkBytes);
            bool last = length == left;
            if (!sendSized(fd, last ? 'R' : 'S', tx.data() + txSent, length))
                return false;
            txSent += length;
            sentSinceReport += length;
            recentSends.emplace_back(Clock::now(), length);
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
        double remaining = (lastFill + static_cast<double>(sentSinceReport)) / bytesPerSecond;
        if (audioBytes > audioAtLastSent || secondsSince(lastSentTime) > remaining + kDrainMarginSeconds) {
            txDone = true;
            if (!options.quiet)
                std::fprintf(stderr, "marvane-client: transmission done\n");
        }
    }
};

int run(Session& s) {
    const Options& o = s.options;
    bool halfTx = o.ratesGiven && o.txRate == 1;
    bool halfRx = o.ratesGiven && o.rxRate == 1;
    if (o.txPath && !loadTransmitFile(o.txPath, halfTx, s.tx))
        return kExitUsage;
    s.bytesPerSecond = halfTx ? 5512.5 : 11025.0;

    s.fd = connectTo(o);
    if (s.fd < 0)
        return kExitConnection;
    Clock::time_point start = Clock::now();
    if (!o.quiet)
        std::fprintf(stderr, "marvane-client: connected to %s:%d\n", o.host.c_str(), o.port);

    if (o.rxPath) {
        SF_INFO info{};
        info.samplerate = halfRx ? 5512 : 11025;
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
        ok = ok && sendFrame(s.fd, 'F', o.rxRate, o.txRate);
    if (o.info)
        ok = ok && sendSized(s.fd, 'I', reinterpret_cast<const uint8_t*>(o.info), std::strlen(o.info));
    if (o.ping) {
        s.pingTime = Clock::now();
        s.pingSent = true;
        ok = ok && sendFrame(s.fd, 'P', 0, 0);
    }
    if (o.txPath) {
        ok = ok && sendFrame(s.fd, 'T', 0, 0);
        s.txStarted = true;
        s.lastReport = Clock::now();
    }

    bool oneShotOnly = !o.rxPath && !o.txPath && (o.ping || o.info || o.ratesGiven);
    int status = kExitOk;
    while (ok && !interrupted) {
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
            uint8_t buffer[16384];
            ssize_t n = recv(s.fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                std::fprintf(stderr, "marvane-client: connection lost%s%s\n", n < 0 ? ": " : "",
                             n < 0 ? std::strerror(errno) : "");
                status = kExitConnection;
                break;
            }
            s.received(buffer, static_cast<int>(n));
        }
        ok = s.pump();
    }
    if (!ok) {
        std::fprintf(stderr, "marvane-client: connection lost: %s\n", std::strerror(errno));
        status = kExitConnection;
    }

    for (int i = 0; i < s.pendingLength; ++i)
        s.audio(s.pending[i]);
    s.flushAudio();
    if (s.rxFile)
        sf_close(s.rxFile);
    close(s.fd);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    static Session session;
    int status = parseOptions(argc, argv, session.options);
    if (status >= 0)
        return status;

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    return run(session);
}
