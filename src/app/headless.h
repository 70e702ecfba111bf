// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace marvane::app {

// Runs the station without a window until SIGINT or SIGTERM, printing one line
// per status change, PTT change and announcement. Returns the exit code.
int runHeadless();

} // namespace marvane::app
