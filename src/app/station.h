// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start-up and shutdown of the whole station, shared by the window and the
// headless run.

#include "audio/audio_pump.h"

#include <atomic>

namespace marvane::app {

// The start-up steps only a window has. Null in a headless run.
struct WindowSteps {
    void (*createViewPens)();
    void (*buildSpectrumTables)();
    void (*startRefreshTimer)();
};

// Brings the station up in its settled order: sound card choice and devices,
// the window's pens and spectrum tables, the link server, the keying method
// of [ptt] (the PTT port or the rig), the window's refresh timer, the audio
// pump (reporting to `sink`), announcing on; then tells a service manager
// that the station is ready.
void startStation(const audio::StatusSink* sink, const WindowSteps* window);

// The orderly end of a run: withdraws the station if announcing is on and
// unkeys the transmitter. Called once, by closing the window, on SIGINT or
// SIGTERM, or when a sound device has been lost for longer than [sound]
// give_up_seconds; the other threads end with the process.
void shutdownStation();

// The exit status of a run that gave up on a lost sound device.
inline constexpr int kExitSoundLost = 3;

// The "Anounce" menu state, mirrored by its check mark; 1 after start-up.
extern std::atomic<int> announceMenuOn;

// The "Anounce" command: flips announceMenuOn, then switches announcing on
// (re-reading url.txt) or off (sending the withdraw before it returns).
void toggleAnnouncing();

} // namespace marvane::app
