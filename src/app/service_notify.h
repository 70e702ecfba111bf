// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Telling systemd how the station is doing when it runs as a service
// (Type=notify): ready once started, stopping at shutdown, and the service
// watchdog petted from the audio pump, so that a pump that hangs gets the
// service restarted. Nothing is sent unless systemd set NOTIFY_SOCKET.

namespace marvane::app {

// Reads the watchdog's interval from the environment and, when it is on, has
// the audio pump pet it. Call before the pump starts.
void startServiceWatchdog();

// READY=1: the station is up.
void notifyServiceReady();

// STOPPING=1: the orderly end has begun.
void notifyServiceStopping();

} // namespace marvane::app
