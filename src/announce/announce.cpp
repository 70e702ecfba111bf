// SPDX-License-Identifier: GPL-3.0-or-later
#include "announce/announce.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <exception>
#include <thread>

#include "config/settings_file.h"
#include "net/client.h"

namespace marvane::announce {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> announcing{0};
std::atomic<AnnounceObserver> observer{nullptr};

std::mutex settingsMutex;
DirectorySettings directorySettings{};  // all empty before the first switch-on

std::mutex switchMutex;  // one switch-on at a time

// The one announcer loop sleeps on wake; a switch-on moves its next wake to
// firstDelay after the switch-on. Never destroyed: at exit the loop is still
// waiting, and destroying a condition variable with a waiter blocks the exit.
struct LoopState {
    std::mutex m;
    std::condition_variable wake;
    bool started = false;
    unsigned switchOns = 0;
    Clock::time_point lastSwitchOn;
    std::chrono::milliseconds firstDelay{1000};
    std::chrono::milliseconds period{280000};
};
LoopState& loop = *new LoopState;

constexpr DirectorySettings kDefaults{"localhost", "/member/oktavo/vela", "N0CALL", "0", "-"};

// One white-space-separated word, cut to the field's 99 characters; the rest
// of a longer word is skipped so it does not become the next field.
bool readWord(std::FILE* f, char (&field)[100]) {
    int c;
    do c = std::getc(f);
    while (c != EOF && std::isspace(c));
    if (c == EOF) return false;
    std::size_t n = 0;
    while (c != EOF && !std::isspace(c)) {
        if (n < sizeof field - 1) field[n++] = static_cast<char>(c);
        c = std::getc(f);
    }
    field[n] = '\0';
    return true;
}

}  // namespace

void loadUrlFile(DirectorySettings& s) {
    const config::SettingsFile file("url.txt");
    if (std::FILE* f = file.file()) {
        readWord(f, s.host) && readWord(f, s.path) && readWord(f, s.call) &&
            readWord(f, s.qrg) && readWord(f, s.loc);
        return;
    }
    s = kDefaults;
    // Written only where there is no file: one that cannot be read stays.
    if (file.status() != config::SettingsRead::missing) return;
    if (std::FILE* f = config::openSettingsForWriting("url.txt")) {
        std::fprintf(f, "%s\n%s\n%s\n%s\n%s\n", s.host, s.path, s.call, s.qrg, s.loc);
        std::fclose(f);
    }
}

namespace {

int finish(int withdraw, int fd, int result, const char* problem, const char* detail = "") {
    if (fd >= 0) ::close(fd);
    char outcome[300];
    const char* what = withdraw ? "withdraw" : "announce";
    if (result == 0)
        std::snprintf(outcome, sizeof outcome, "%s ok", what);
    else
        std::snprintf(outcome, sizeof outcome, "%s failed: %s%s", what, problem, detail);
    if (AnnounceObserver o = observer.load()) o(withdraw, result, outcome);
    return result;
}

}  // namespace

int announce(int withdraw) {
    using net::ClientResult;
    const auto deadline = Clock::now() + kExchangeLimit;
    const DirectorySettings s = currentDirectorySettings();

    const int fd = net::openClientSocket();
    if (fd < 0) return finish(withdraw, fd, -1, "cannot create a socket");

    in_addr address{};
    if (s.host[0] == '\0') return finish(withdraw, fd, -1, "no host in url.txt");
    switch (net::resolveIPv4(s.host, address, deadline)) {
    case ClientResult::ok: break;
    case ClientResult::failed: return finish(withdraw, fd, -1, "cannot resolve ", s.host);
    case ClientResult::timedOut:
        return finish(withdraw, fd, -1, "no answer within 10 s when resolving ", s.host);
    }

    // 651 characters at most with 99-character fields.
    char request[1000];
    int length;
    if (withdraw)
        length = std::snprintf(request, sizeof request,
                               "GET %s/vela.php?call=%s&qrg=.0. HTTP/1.0\nREFERER: %s\nHost: %s\n\n",
                               s.path, s.call, s.host, s.host);
    else
        length = std::snprintf(
            request, sizeof request,
            "GET %s/vela.php?call=%s&qrg=%s&loc=%s HTTP/1.0\nREFERER: %s\nHost: %s\n\n", s.path,
            s.call, s.qrg, s.loc, s.host, s.host);

    char target[120];
    std::snprintf(target, sizeof target, "%s:%d", s.host, kDirectoryPort);
    switch (net::connectBefore(fd, address, kDirectoryPort, deadline)) {
    case ClientResult::ok: break;
    case ClientResult::failed: return finish(withdraw, fd, -1, "cannot connect to ", target);
    case ClientResult::timedOut:
        return finish(withdraw, fd, -1, "no answer within 10 s when connecting to ", target);
    }

    // The send's result does not matter: a failure shows in the receive.
    net::sendBefore(fd, request, static_cast<std::size_t>(length), deadline);

    // The answer is read until the server closes and thrown away.
    std::size_t received = 0;
    if (net::receiveUntilClosed(fd, request, sizeof request, deadline, &received) ==
        ClientResult::timedOut)
        return finish(withdraw, fd, -1,
                      received ? "answer not finished within 10 s" : "no answer within 10 s");
    return finish(withdraw, fd, 0, "");
}

void setAnnouncing(char c) {
    if (c != 'Y') {
        announcing.store(0);
        announce(1);
        return;
    }
    std::lock_guard switching(switchMutex);
    if (announcing.load()) return;
    DirectorySettings s = currentDirectorySettings();
    loadUrlFile(s);
    replaceDirectorySettings(s);
    announcing.store(1);

    bool start;
    {
        std::lock_guard lock(loop.m);
        ++loop.switchOns;
        loop.lastSwitchOn = Clock::now();
        start = !loop.started;
        loop.started = true;
    }
    loop.wake.notify_all();
    if (!start) return;
    try {
        std::thread(runAnnouncer).detach();
    } catch (const std::exception&) {
        std::lock_guard lock(loop.m);
        loop.started = false;  // try again at the next switch-on
    }
}

void runAnnouncer() {
    std::unique_lock lock(loop.m);
    unsigned seen = loop.switchOns;
    Clock::time_point wakeAt = loop.lastSwitchOn + loop.firstDelay;
    for (;;) {
        if (loop.wake.wait_until(lock, wakeAt, [&] { return loop.switchOns != seen; })) {
            seen = loop.switchOns;
            wakeAt = loop.lastSwitchOn + loop.firstDelay;
            continue;
        }
        lock.unlock();
        if (announcing.load()) announce(0);
        lock.lock();
        // The period runs from the end of the exchange.
        wakeAt = Clock::now() + loop.period;
    }
}

void setAnnounceObserver(AnnounceObserver o) { observer.store(o); }

DirectorySettings currentDirectorySettings() {
    std::lock_guard lock(settingsMutex);
    return directorySettings;
}

void replaceDirectorySettings(const DirectorySettings& settings) {
    std::lock_guard lock(settingsMutex);
    directorySettings = settings;
}

void setAnnouncerTimingForTests(std::chrono::milliseconds delay, std::chrono::milliseconds every) {
    std::lock_guard lock(loop.m);
    loop.firstDelay = delay;
    loop.period = every;
}

}  // namespace marvane::announce
