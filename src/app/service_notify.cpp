// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/service_notify.h"

#include "audio/audio_pump.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace marvane::app {

namespace {

using Clock = std::chrono::steady_clock;

// The pump beats about ten times a second; the watchdog is petted at a third
// of its interval, so a late block or two never lets it run out.
std::int64_t petInterval = 0;  // nanoseconds; written before the pump starts
std::atomic<std::int64_t> lastPet{0};

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The audio pump's heartbeat.
void petWatchdog() {
    const std::int64_t t = now();
    if (t - lastPet.load(std::memory_order_relaxed) < petInterval) return;
    lastPet.store(t, std::memory_order_relaxed);
    sd_notify(0, "WATCHDOG=1");
}

} // namespace

void startServiceWatchdog() {
    std::uint64_t usec = 0;
    // WATCHDOG_USEC for this process (WATCHDOG_PID, when set, names it).
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    petInterval = static_cast<std::int64_t>(usec) * 1000 / 3;
    lastPet.store(now() - petInterval);
    audio::setPumpHeartbeat(petWatchdog);
}

void notifyServiceReady() { sd_notify(0, "READY=1"); }

void notifyServiceStopping() { sd_notify(0, "STOPPING=1"); }

} // namespace marvane::app
