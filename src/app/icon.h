// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's icon: a 32 x 32 picture of the signal view, a waterfall
// ramp under a green trace, drawn in code.

#include <cstdint>

class Fl_RGB_Image;

namespace marvane::app {

inline constexpr int kIconSize = 32;

// Fills rgba (kIconSize x kIconSize pixels, 4 bytes each, top row first).
void drawProgramIcon(std::uint8_t* rgba);

// The icon as an FLTK image, made on first use and kept for the run.
const Fl_RGB_Image* programIcon();

}  // namespace marvane::app
