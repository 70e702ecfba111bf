// SPDX-License-Identifier: GPL-3.0-or-later
#include "live.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "live_audio.h"
#include "pacing.h"
#include "terminal.h"

namespace marvane::client {

namespace {

constexpr double kPingSeconds = 1.0;
constexpr double kSilentStationSeconds = 10.0;  // a "P" unanswered this long: the link is dead
constexpr double kKeyingSeconds = 10.0;         // "T" unanswered this long: given up
constexpr double kUnkeyMarginSeconds = 3.0;
constexpr double kLookAgainSeconds = 2.0;       // a lost sound device is looked for this often
constexpr double kStatusSeconds = 0.25;
constexpr std::size_t kMinSend = 256;  // captured bytes sent together (23 ms)
constexpr int kBarWidth = 20;
constexpr double kBarFloorDb = -60.0;

// Where the connection is, as the client sees it.
enum class Phase {
    receive,       // receive audio flows
    keying,        // "T" sent, its "N" not yet come
    transmitting,  // the microphone goes out in "S" chunks
    unkeying,      // "R" sent; the station plays out the ring, then receives again
};

std::string levelBar(int peak) {
    double db = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : kBarFloorDb;
    db = std::max(db, kBarFloorDb);
    int filled = static_cast<int>((db - kBarFloorDb) / -kBarFloorDb * kBarWidth + 0.5);
    char text[64];
    std::snprintf(text, sizeof text, "[%s%s] %3.0f dB", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(), db);
    return text;
}

struct LiveSession {
    const Options& options;
    bool halfTx;
    double txRate;
    int fd = -1;
    std::unique_ptr<Output> output = std::make_unique<Output>();
    std::unique_ptr<Input> input = std::make_unique<Input>();
    StatusLine status;
    bool raw = false;
    bool keysOpen = true;
    bool receivedAny = false;

    link::ServerStreamSplitter splitter;
    Pinger pinger;
    Clock::time_point lastPing{};
    Clock::time_point lastStatus{};
    int rxPeak = 0;

    Phase phase = Phase::receive;
    bool transmitWanted = false;  // space bar pressed while the station unkeys
    Clock::time_point phaseStart{};
    Clock::time_point lastReport{};
    double unkeyBudget = 0;
    LivePacer pacer;
    std::vector<std::uint8_t> captured;

    // A sound device that stopped working is closed and looked for again,
    // by the name it was found by at the start, while the connection goes on.
    bool outputLost = false;
    bool inputLost = false;
    std::string lostOutputName;
    std::string lostInputName;
    Clock::time_point nextLook{};
    bool soundDown = false;  // PortAudio did not start again: it is tried again

    bool quitting = false;
    int status_ = kExitOk;

    explicit LiveSession(const Options& o)
        : options(o), halfTx(o.halfTx()), txRate(link::linkRate(o.halfTx())) {}

    void enter(Phase p) {
        phase = p;
        phaseStart = Clock::now();
    }

    // What has been captured, less what the pacer drops: the `length`
    // bytes at the end of `captured`.
    const std::uint8_t* takeCaptured(std::size_t& length) {
        std::size_t n = input->waiting();
        captured.resize(n);
        n = input->take(captured.data(), n);
        length = pacer.dropFrom(n);
        return captured.data() + (n - length);
    }

    bool sendCaptured() {
        std::size_t length;
        const std::uint8_t* bytes = takeCaptured(length);
        return sendChunks(fd, bytes, length, false);
    }

    bool startTransmit() {
        transmitWanted = false;
        // Whatever an earlier transmission left behind is not sent.
        std::vector<std::uint8_t> old(input->waiting());
        input->take(old.data(), old.size());
        input->setActive(true);
        output->playout.expect(false);
        pacer.start(txRate);
        enter(Phase::keying);
        return sendFrame(fd, link::makeFrame(link::kCmdTransmit));
    }

    // The first "N": the ring is empty. It is filled at once, silence ahead
    // of what has been captured so far, to a block below the target: the
    // station starts taking blocks only after its playback queue has taken
    // the silent blocks of its first moments, which brings the ring up.
    bool beginStreaming() {
        lastReport = Clock::now();
        enter(Phase::transmitting);
        std::size_t have = input->waiting();
        auto target = static_cast<std::size_t>(pacer.targetFill() - link::kBlockSamples);
        if (have < target) {
            std::vector<std::uint8_t> silence(target - have, link::kSilenceByte);
            if (!sendChunks(fd, silence.data(), silence.size(), false))
                return false;
        }
        return sendCaptured();
    }

    // The rest of the capture and the silence that lets the station play
    // all of it, the last chunk in "R".
    bool unkey() {
        input->setActive(false);
        std::size_t length;
        const std::uint8_t* rest = takeCaptured(length);
        std::vector<std::uint8_t> bytes(rest, rest + length);
        bytes.resize(bytes.size() + tailSilenceBytes(halfTx, true), link::kSilenceByte);
        unkeyBudget = (std::max(pacer.lastFill, 0) + static_cast<double>(bytes.size())) / txRate +
                      kUnkeyMarginSeconds;
        enter(Phase::unkeying);
        return sendChunks(fd, bytes.data(), bytes.size(), true);
    }

    // Receive audio in the transmit phase: the station is receiving again.
    void backToReceive() {
        input->setActive(false);
        output->playout.expect(true);
        enter(Phase::receive);
    }

    bool audio(const std::uint8_t* bytes, std::size_t n) {
        if (phase == Phase::transmitting) {
            status.note("the station ended the transmission");
            backToReceive();
        } else if (phase == Phase::unkeying) {
            backToReceive();
            if (transmitWanted && !quitting && !startTransmit())
                return false;
        }
        for (std::size_t i = 0; i < n; ++i)
            rxPeak = std::max(rxPeak, std::abs(static_cast<int>(link::decodeLinkByte(bytes[i]))));
        if (!outputLost)
            output->playout.push(bytes, n, Playout::now());
        return true;
    }

    bool frame(std::uint8_t letter, int argument) {
        if (letter == link::kCmdPing) {
            pinger.answered();
            return true;
        }
        if (phase == Phase::keying)
            return beginStreaming();
        if (phase == Phase::transmitting) {
            pacer.report(argument, secondsSince(lastReport));
            lastReport = Clock::now();
        }
        return true;
    }

    bool received(const std::uint8_t* data, std::size_t length) {
        bool ok = true;
        splitter.feed(
            data, length,
            [&](const std::uint8_t* b, std::size_t n) { ok = audio(b, n) && ok; },
            [&](std::uint8_t letter, int argument) { ok = frame(letter, argument) && ok; });
        return ok;
    }

    bool key(Key k) {
        if (k == Key::quit) {
            quitting = true;
            return true;
        }
        switch (phase) {
        case Phase::receive:
            if (inputLost) {
                status.note("no input device: transmit waits until %s is back", lostInputName.c_str());
                return true;
            }
            return startTransmit();
        case Phase::keying:
        case Phase::transmitting:
            return unkey();
        case Phase::unkeying:
            transmitWanted = !transmitWanted;
            return true;
        }
        return true;
    }

    void showStatus() {
        if (options.quiet)
            return;
        std::string text = outputLost && inputLost ? "no sound devices  "
                           : outputLost            ? "no output device  "
                           : inputLost             ? "no input device  "
                                                   : "";
        bool tx = phase == Phase::transmitting || phase == Phase::keying;
        switch (phase) {
        case Phase::receive: text += "RX "; break;
        case Phase::keying: text += "TX keying "; break;
        case Phase::transmitting: text += "TX "; break;
        case Phase::unkeying: text += transmitWanted ? "RX unkeying, TX next " : "RX unkeying "; break;
        }
        text += levelBar(tx ? input->takePeak() : rxPeak);
        rxPeak = 0;
        char part[160];
        if (phase == Phase::transmitting && pacer.lastFill >= 0) {
            std::snprintf(part, sizeof part, "  ring %.2f s", pacer.lastFill / txRate);
            text += part;
        }
        if (pinger.lastMilliseconds >= 0)
            std::snprintf(part, sizeof part, "  rtt %.1f ms", pinger.lastMilliseconds);
        else
            std::snprintf(part, sizeof part, "  rtt -");
        text += part;
        Playout& p = output->playout;
        int depth = p.depthMilliseconds.load(std::memory_order_relaxed);
        if (depth >= 0)
            std::snprintf(part, sizeof part, "  buffer %d ms", depth);
        else
            std::snprintf(part, sizeof part, "  buffer -");
        text += part;
        std::snprintf(part, sizeof part, "  late %d lost %d", p.lateRuns.load(), p.lostRuns.load());
        text += part;
        status.show(text);
    }

    // The device stopped working: said so, the transmitter unkeyed if it
    // was keyed, the device closed; false when the connection failed.
    bool deviceLost(bool isInput) {
        const char* what = isInput ? "input" : "output";
        std::string& name = isInput ? lostInputName : lostOutputName;
        name = isInput ? input->name : output->name;
        const std::string& reason = isInput ? input->failReason : output->failReason;
        status.note("the %s device %s stopped working: %s; looking for it again every %.0f s", what,
                    name.c_str(), reason.c_str(), kLookAgainSeconds);
        bool ok = true;
        if (phase == Phase::keying || phase == Phase::transmitting)
            ok = unkey();
        if (isInput) {
            inputLost = true;
            input = std::make_unique<Input>();  // the old one closes
        } else {
            outputLost = true;
            output = std::make_unique<Output>();
        }
        nextLook = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(kLookAgainSeconds));
        return ok;
    }

    // Opens the device of that direction found as at the start: one that was
    // lost and opens is back; one that worked until it was closed for
    // PortAudio's new start and does not open is lost.
    void reopen(bool isInput, bool wasLost) {
        const char* what = isInput ? "input" : "output";
        const int device = findDevice(isInput, isInput ? options.inputName : options.outputName, true);
        bool& lostNow = isInput ? inputLost : outputLost;
        bool opened = false;
        if (isInput) {
            auto fresh = std::make_unique<Input>();
            if (device >= 0 && fresh->open(device, txRate, true)) {
                input = std::move(fresh);
                opened = true;
            }
        } else {
            auto fresh = std::make_unique<Output>();
            if (device >= 0 && fresh->open(device, link::linkRate(options.halfRx()), true)) {
                fresh->playout.expectAudio.store(phase == Phase::receive);
                output = std::move(fresh);
                opened = true;
            }
        }
        lostNow = !opened;
        if (opened && wasLost)
            status.note("the %s device %s is back", what,
                        (isInput ? input->name : output->name).c_str());
        else if (!opened && !wasLost)
            status.note("the %s device %s is gone after the sound cards changed; looking for it again",
                        what, (isInput ? lostInputName : lostOutputName).c_str());
    }

    // Every kLookAgainSeconds while a device is lost. PortAudio lists devices
    // only when it starts: when a card has come since, it starts again, the
    // working device closed for it and opened again (never in the middle of
    // a transmission).
    void lookAgain() {
        nextLook = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(kLookAgainSeconds));
        const bool wasOutputLost = outputLost;
        const bool wasInputLost = inputLost;
        bool reopenOutput = outputLost;
        bool reopenInput = inputLost;
        if ((soundDown || soundCardAdded()) && phase != Phase::keying &&
            phase != Phase::transmitting) {
            if (!outputLost)
                lostOutputName = output->name;
            if (!inputLost)
                lostInputName = input->name;
            output = std::make_unique<Output>();
            input = std::make_unique<Input>();
            // Lost until opened again, whatever happens to PortAudio's start.
            outputLost = inputLost = true;
            soundDown = !restartSound();
            if (soundDown)
                return;
            reopenOutput = reopenInput = true;
        }
        if (reopenOutput)
            reopen(false, wasOutputLost);
        if (reopenInput)
            reopen(true, wasInputLost);
    }

    // One turn of the loop; false when the session ends.
    bool turn(Clock::time_point start) {
        if (stopRequested() || (options.seconds >= 0 && secondsSince(start) >= options.seconds))
            quitting = true;
        if (!outputLost && output->failed.load() && !deviceLost(false))
            return lost(errno);
        if (!inputLost && input->failed.load() && !deviceLost(true))
            return lost(errno);
        if ((outputLost || inputLost) && Clock::now() >= nextLook)
            lookAgain();
        if (quitting) {
            // Unkey first, then go; a second stop request does not wait.
            if (phase == Phase::keying || phase == Phase::transmitting) {
                if (!unkey())
                    return lost(errno);
            }
            if (phase == Phase::receive || stopRequests() >= 2)
                return false;
        }
        if (phase == Phase::unkeying && secondsSince(phaseStart) > unkeyBudget) {
            status.note("no receive audio after the transmission; taking the station as receiving");
            backToReceive();
            if (transmitWanted && !quitting && !startTransmit())
                return lost(errno);
        }
        if (phase == Phase::keying && secondsSince(phaseStart) > kKeyingSeconds) {
            status.note("the station did not answer \"T\" within %.0f s", kKeyingSeconds);
            if (!unkey())
                return lost(errno);
        }
        if (pinger.oldestWaitingSeconds() > kSilentStationSeconds) {
            status.note("connection lost: the station has not answered for %.0f s",
                        kSilentStationSeconds);
            status_ = kExitConnection;
            return false;
        }
        if (secondsSince(lastPing) >= kPingSeconds) {
            lastPing = Clock::now();
            if (!pinger.send(fd))
                return lost(errno);
        }
        if (phase == Phase::transmitting && input->waiting() >= kMinSend && !sendCaptured())
            return lost(errno);
        if (secondsSince(lastStatus) >= kStatusSeconds) {
            lastStatus = Clock::now();
            showStatus();
        }

        pollfd p[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Captured sound is sent within 10 ms; otherwise the station's blocks
        // and the keys wake the loop, the status line needs a few turns a second.
        int ready = poll(p, keysOpen ? 2 : 1, phase == Phase::transmitting ? 10 : 50);
        if (ready < 0)
            return errno == EINTR || lost(errno);
        if (p[0].revents != 0) {
            std::uint8_t buffer[16384];
            long n = receiveSome(fd, buffer, sizeof buffer);
            if (n <= 0)
                return lost(n < 0 ? errno : 0);
            receivedAny = true;
            if (!received(buffer, static_cast<std::size_t>(n)))
                return lost(errno);
        }
        if (keysOpen && p[1].revents != 0) {
            std::vector<Key> keys;
            keysOpen = readKeys(STDIN_FILENO, keys);
            for (Key k : keys)
                if (!key(k))
                    return lost(errno);
        }
        return true;
    }

    bool lost(int error) {
        status.close();
        reportLostConnection(error, !receivedAny);
        status_ = kExitConnection;
        return false;
    }

    int run() {
        status.open();
        if (!startSound())
            return kExitSound;
        int out = findDevice(false, options.outputName);
        int in = out < 0 ? -1 : findDevice(true, options.inputName);
        if (out < 0 || in < 0 || !output->open(out, link::linkRate(options.halfRx())) ||
            !input->open(in, txRate)) {
            finish();
            return kExitSound;
        }
        fd = connectToStation(options.host, options.port);
        if (fd < 0) {
            finish();
            return kExitConnection;
        }
        bool ok = sendFrame(fd, link::makeRatesFrame(options.rxRate, options.txRate));
        if (ok && options.info)
            ok = sendSized(fd, link::kCmdInfo, reinterpret_cast<const std::uint8_t*>(options.info),
                           std::strlen(options.info));
        if (!ok) {
            lost(errno);
            finish();
            return status_;
        }
        raw = enterRawMode(STDIN_FILENO);
        hushLibraries();
        if (!options.quiet)
            status.note("connected to %s:%d, playing on %s, microphone %s; space bar: transmit "
                        "on/off, Escape or Ctrl+C: quit",
                        options.host.c_str(), options.port, output->name.c_str(), input->name.c_str());
        Clock::time_point start = Clock::now();
        while (turn(start)) {
        }
        finish();
        return status_;
    }

    void finish() {
        unhushLibraries();
        if (raw)
            leaveRawMode();
        status.close();
        if (fd >= 0) {
            // Nothing the station sent is left unread when the socket closes,
            // which would reset the connection under the last chunk.
            shutdown(fd, SHUT_WR);
            std::uint8_t buffer[4096];
            pollfd p{fd, POLLIN, 0};
            auto until = Clock::now() + std::chrono::milliseconds(200);
            while (Clock::now() < until && poll(&p, 1, 20) > 0 && receiveSome(fd, buffer, sizeof buffer) > 0) {
            }
            close(fd);
            fd = -1;
        }
        output->close();
        input->close();
    }
};

}  // namespace

int runLiveSession(const Options& options) {
    LiveSession session(options);
    return session.run();
}

}  // namespace marvane::client
