// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace marvane::app {

// Runs the station in its main window until the window is closed, then ends
// the process with exit code 0 (the station's threads end with it). Returns
// -1 without starting anything when no display can be opened.
int runMainWindow(int argc, char** argv);

} // namespace marvane::app
