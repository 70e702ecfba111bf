// SPDX-License-Identifier: GPL-3.0-or-later
// marvane-client --live: the station's receive audio on the laptop's
// speaker as it arrives, and push-to-talk from its microphone.
#pragma once

#include "options.h"

namespace marvane::client {

// The whole live session; returns the exit status.
int runLiveSession(const Options& options);

}  // namespace marvane::client
