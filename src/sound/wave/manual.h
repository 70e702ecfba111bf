// SPDX-License-Identifier: GPL-3.0-or-later
// The manually clocked back end for unit tests: its devices fill and play
// buffers only when the test says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sound/wave/backend.h"
#include "sound/wave/wave.h"

namespace marvane::sound::wave::manual {

// While installed, startWaveService picks this back end.
void install();
void uninstall();
bool installed();

// The device lists; open results reset to success. The lists count as
// changed (waveListOutdated) until the next start.
void setDevices(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);
// Device id of that direction will not report its capabilities.
void failCaps(Direction direction, UINT id);
// The result every later open of that direction gives (MMSYSERR_NOERROR to open).
void setOpenResult(Direction direction, MMRESULT result);

int openCount(Direction direction);
UINT lastOpenedId(Direction direction);
int lastOpenedRate(Direction direction);
bool isOpen(Direction direction);
std::size_t queued(Direction direction);
// Threads currently waiting on the open device's event.
int waiters(Direction direction);
int waitersOn(HANDLE event);

// Fills the oldest queued capture buffer to its end with firstValue,
// firstValue + 1, ...; false when there is none or the device is not recording.
bool completeCapture(std::int16_t firstValue);
// Plays the oldest queued playback buffer to its end; false when none is queued.
bool completePlayback();
// Everything played since the last clearPlayed, in order.
std::vector<std::int16_t> played();
void clearPlayed();

// The open device of that direction stops working, as when unplugged.
void failDevice(Direction direction, const char* reason = "unplugged");

// Whether the devices count as keeping time (off at install): a stream then
// takes a device that finishes no buffer for a while as hung.
void keepTime(bool on);

// While on, every open waits (as an open that does not return); heldOpens
// counts the opens waiting now.
void holdOpens(bool on);
int heldOpens();

}  // namespace marvane::sound::wave::manual
