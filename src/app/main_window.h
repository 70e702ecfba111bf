#pragma once

namespace marvane::app {

// Runs the station in its main window until the window is closed. Returns the
// exit code, or -1 without starting anything when no display can be opened.
int runMainWindow(int argc, char** argv);

} // namespace marvane::app
