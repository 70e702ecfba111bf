// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window manager may offer on a window's frame.

class Fl_Window;

namespace marvane::app {

// A caption bar with a close box, and moving: no minimise or maximise box, no
// resizing (the Motif hints that X window managers read). For a shown window;
// window managers follow a change of the hints on a mapped window.
void allowOnlyMoveAndClose(Fl_Window* window);

}  // namespace marvane::app
