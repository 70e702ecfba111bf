// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Telling systemd how the station is doing when it runs as a service
// (Type=notify): ready once started, stopping at shutdown, a status line for
// `systemctl status`, and the service watchdog, petted while the audio pump's
// heartbeat keeps coming, so that a pump that hangs gets the service
// restarted. A thread of its own does the talking: the pump and the log only
// store a time or a text and go on. Nothing is sent unless systemd set
// NOTIFY_SOCKET.

namespace marvane::app {

// Starts the notifier when systemd listens, and has the audio pump's
// heartbeat feed the watchdog when that is on. Call before the pump starts.
void startServiceNotifier();

// READY=1: the station is up.
void notifyServiceReady();

// STOPPING=1: the orderly end has begun.
void notifyServiceStopping();

// The two parts of the status line: what the station does (idle, receiving,
// transmitting) and what is wrong with its sound devices ("" when nothing).
enum class StatusPart { station, sound };
void setServiceStatus(StatusPart part, const char* text);

} // namespace marvane::app
