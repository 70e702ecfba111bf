// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window_frame.h"

#include <FL/Fl_Window.H>
#include <FL/x.H>

namespace marvane::app {

namespace {

// _MOTIF_WM_HINTS: flags, functions, decorations, input mode, status.
constexpr long kHintFunctions = 1;
constexpr long kHintDecorations = 2;
constexpr long kFunctionMove = 4;
constexpr long kFunctionClose = 32;
constexpr long kDecorBorder = 2;
constexpr long kDecorTitle = 8;
constexpr long kDecorMenu = 16;

}  // namespace

void allowOnlyMoveAndClose(Fl_Window* window) {
    const Window xid = fl_xid(window);
    if (xid == 0) return;
    long hints[5] = {kHintFunctions | kHintDecorations, kFunctionMove | kFunctionClose,
                     kDecorBorder | kDecorTitle | kDecorMenu, 0, 0};
    const Atom atom = XInternAtom(fl_display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(fl_display, xid, atom, atom, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(hints), 5);
    XFlush(fl_display);
}

}  // namespace marvane::app
