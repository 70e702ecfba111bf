// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection.h"

namespace marvane::client {

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: marvane-client HOST[:PORT] [options]\n"
        "       marvane-client --list-devices | --version\n"
        "  --rx FILE.wav   write the received audio as 16-bit WAV (11025 Hz, 5512 Hz at half rate)\n"
        "  --tx FILE.wav   transmit the file: \"T\", \"S\" chunks paced by the fill reports,\n"
        "                  the last chunk in \"R\"; followed by silence in whole blocks\n"
        "                  (at least 0.6 s), so that the station plays all of it\n"
        "                  while the transmitter is keyed\n"
        "  --live          operate the station live: the receive audio on the output\n"
        "                  device, the space bar switches transmit from the input\n"
        "                  device on and off, Escape or Ctrl+C unkeys and quits\n"
        "  --output NAME   with --live, play on the output device whose name contains\n"
        "                  NAME (default: the system's default device)\n"
        "  --input NAME    with --live, capture from the input device whose name\n"
        "                  contains NAME (default: the system's default device)\n"
        "  --list-devices  list the input and output devices by the names --live uses\n"
        "  --rates RX,TX   send \"F\" with these bytes (1 = half rate); with --rx, --tx or\n"
        "                  --live \"F\" is always sent, by default with 0,0 (full rate)\n"
        "  --info WORD     send \"I\" with WORD\n"
        "  --ping          send \"P\" and print the round trip as \"pong N.N ms\"\n"
        "  --seconds N     stay connected N seconds, then close (with --tx, not before the\n"
        "                  transmission is done; with --live, unkeying first); default:\n"
        "                  until --tx is done, after the reply to --ping when only\n"
        "                  one-shot frames are asked for, else until interrupted\n"
        "  --quiet         print no \"fill N\" lines, no progress messages and, with\n"
        "                  --live, no status line\n"
        "  --version       print the version and exit\n"
        "PORT defaults to MARVANE_PORT, else 3020. A connection refused or closed at\n"
        "once is tried again for up to 3 s. Exit status: 0 done, 1 usage or file\n"
        "error, 2 connection refused or lost, 3 sound device missing or failed.\n",
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

}  // namespace

int parseOptions(int argc, char** argv, Options& options) {
    options.port = link::kDefaultPort;
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
        } else if (arg == "--version") {
            std::printf("marvane-client %s\n", MARVANE_VERSION);
            return kExitOk;
        } else if (arg == "--rx") {
            if (!(options.rxPath = value("--rx")))
                return kExitUsage;
        } else if (arg == "--tx") {
            if (!(options.txPath = value("--tx")))
                return kExitUsage;
        } else if (arg == "--live") {
            options.live = true;
        } else if (arg == "--list-devices") {
            options.listDevices = true;
        } else if (arg == "--output") {
            if (!(options.outputName = value("--output")))
                return kExitUsage;
        } else if (arg == "--input") {
            if (!(options.inputName = value("--input")))
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
            if (length == 0 || length > static_cast<size_t>(link::kMaxPayload)) {
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
    if (options.listDevices && options.host.empty())
        return -1;
    if (options.host.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    if (options.live && (options.rxPath || options.txPath)) {
        std::fprintf(stderr, "marvane-client: --live goes without --rx and --tx\n");
        return kExitUsage;
    }
    if (!options.live && (options.outputName || options.inputName)) {
        std::fprintf(stderr, "marvane-client: --output and --input go with --live\n");
        return kExitUsage;
    }
    return -1;
}

}  // namespace marvane::client
