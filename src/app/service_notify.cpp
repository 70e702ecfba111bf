// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/service_notify.h"

#include "audio/audio_pump.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

namespace marvane::app {

namespace {

using Clock = std::chrono::steady_clock;

struct Notifier {
    std::mutex guard;  // held for copies only, never while talking to systemd
    std::condition_variable changed;
    char station[128] = {};
    char sound[256] = {};
    bool statusPending = false;
    bool running = false;
};

Notifier& notifier() {
    static auto* n = new Notifier;  // never destroyed: the thread outlives main
    return *n;
}

// The pump beats about ten times a second; the watchdog is petted at a third
// of its interval while the beats keep coming, so a late block or two never
// lets it run out, and a hung pump does.
std::chrono::nanoseconds petInterval{0};  // written before the pump starts
std::atomic<std::int64_t> lastBeat{0};

std::int64_t sinceEpoch() { return Clock::now().time_since_epoch().count(); }

void beat() { lastBeat.store(sinceEpoch(), std::memory_order_relaxed); }

[[noreturn]] void runNotifier() {
    Notifier& n = notifier();
    const auto tick = petInterval.count() > 0 ? petInterval : std::chrono::nanoseconds(std::chrono::hours(1));
    for (;;) {
        char status[400] = {};
        bool send = false;
        {
            std::unique_lock lock(n.guard);
            n.changed.wait_for(lock, tick, [&n] { return n.statusPending; });
            if (n.statusPending) {
                n.statusPending = false;
                send = true;
                std::snprintf(status, sizeof status, "STATUS=%s%s%s", n.sound,
                              n.sound[0] != '\0' ? "; " : "", n.station);
            }
        }
        if (send) sd_notify(0, status);
        if (petInterval.count() > 0) {
            const auto since = Clock::duration(sinceEpoch() - lastBeat.load(std::memory_order_relaxed));
            if (since < petInterval) sd_notify(0, "WATCHDOG=1");
        }
    }
}

} // namespace

void startServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') return;
    std::uint64_t usec = 0;
    // WATCHDOG_USEC for this process (WATCHDOG_PID, when set, names it).
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        petInterval = std::chrono::microseconds(usec) / 3;
        beat();
        audio::setPumpHeartbeat(beat);
    }
    Notifier& n = notifier();
    std::lock_guard lock(n.guard);
    try {
        std::thread(runNotifier).detach();
        n.running = true;
    } catch (const std::exception&) {
        // No status and no watchdog pets: systemd restarts a station whose
        // watchdog runs out, which is what it is for.
    }
}

void notifyServiceReady() { sd_notify(0, "READY=1"); }

void notifyServiceStopping() { sd_notify(0, "STOPPING=1"); }

void setServiceStatus(StatusPart part, const char* text) {
    Notifier& n = notifier();
    {
        std::lock_guard lock(n.guard);
        if (!n.running) return;
        if (part == StatusPart::station)
            std::snprintf(n.station, sizeof n.station, "%s", text);
        else
            std::snprintf(n.sound, sizeof n.sound, "%s", text);
        n.statusPending = true;
    }
    n.changed.notify_one();
}

} // namespace marvane::app
