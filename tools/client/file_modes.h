// SPDX-License-Identifier: GPL-3.0-or-later
// The file modes: receive audio into a WAV file (--rx), transmit a sound file
// (--tx), and the one-shot frames (--ping, --info, --rates).
#pragma once

#include <cstdint>
#include <vector>

#include "options.h"

namespace marvane::client {

// The transmit file as link bytes: 8-bit offset binary at 11025 Hz, or at
// 5512.5 Hz for half rate, padded with silence so that the station plays all
// of it. False after printing why not.
bool loadTransmitFile(const char* path, bool halfRate, std::vector<std::uint8_t>& bytes);

// The whole session of the file modes; returns the exit status.
int runFileSession(const Options& options);

}  // namespace marvane::client
