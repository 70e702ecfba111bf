// SPDX-License-Identifier: GPL-3.0-or-later
// The five drawing primitives the signal view needs. The views draw through a
// Surface only, so the same drawing code runs against the software raster
// (what the window shows and the tests inspect) or anything else that offers
// these primitives.
#pragma once

#include <cstdint>

namespace marvane::display {

// 0x00BBGGRR: red in the low byte, green in the second, blue in the third.
using Colour = std::uint32_t;

constexpr Colour rgb(int red, int green, int blue) {
    return static_cast<Colour>(red & 0xFF) | (static_cast<Colour>(green & 0xFF) << 8) |
           (static_cast<Colour>(blue & 0xFF) << 16);
}
constexpr int redOf(Colour c) { return static_cast<int>(c & 0xFF); }
constexpr int greenOf(Colour c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int blueOf(Colour c) { return static_cast<int>((c >> 16) & 0xFF); }

// A solid pen one pixel wide.
struct Pen {
    Colour colour = 0;
};

// Left and top are 0; right and bottom are exclusive.
struct ClientRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct Surface {
    void* context = nullptr;
    // Makes the pen current for the following lines.
    void (*selectPen)(void* context, const Pen& pen) = nullptr;
    // Sets the current position without drawing.
    void (*moveTo)(void* context, int x, int y) = nullptr;
    // Draws from the current position to (x, y), that end point excluded, and
    // makes (x, y) the current position.
    void (*lineTo)(void* context, int x, int y) = nullptr;
    // Sets one pixel; points outside the client area are dropped.
    void (*setPixel)(void* context, int x, int y, Colour colour) = nullptr;
    ClientRect (*clientRect)(void* context) = nullptr;
};

}  // namespace marvane::display
