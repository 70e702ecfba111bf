// SPDX-License-Identifier: GPL-3.0-or-later
// A software raster of RGB pixels that implements the Surface primitives.
// The signal view is painted into it on the refresh tick; the window only
// copies it to the screen, so uncovering the window shows the picture as it
// stands.
#pragma once

#include <cstdint>
#include <vector>

#include "display/surface.h"

namespace marvane::display {

struct Raster {
    int width = 0;
    int height = 0;
    // Row-major, top row first, 3 bytes per pixel in the order red, green,
    // blue (what fl_draw_image and PNG take as they are).
    std::vector<std::uint8_t> pixels;
    Pen pen;
    int currentX = 0;
    int currentY = 0;
};

// Sizes the raster and fills it with black; the pen is black, the current
// position (0, 0).
void resizeRaster(Raster& raster, int width, int height);

// Fills every pixel with one colour (black is how the view is erased).
void fillRaster(Raster& raster, Colour colour);

// The colour of one pixel; 0 (black) for a point outside the raster.
Colour rasterPixel(const Raster& raster, int x, int y);

// A Surface drawing into the raster; its client rectangle is
// (0, 0, width, height). The raster must outlive the surface.
Surface rasterSurface(Raster& raster);

// Draws the line from (x0, y0) to (x1, y1), the end point excluded, with the
// current pen, clipped to the raster. The pixels drawn are those of the
// stepping along the longer axis (x when |dx| >= |dy|): for k = 0 .. n - 1,
// with n the length along that axis, the pixel at k steps from the start on
// that axis, and on the other axis the exact line's position there rounded to
// the nearest pixel, a tie going to the pixel nearer the start. Horizontal and
// vertical lines are thus exact runs; a zero-length line draws nothing.
void rasterLine(Raster& raster, int x0, int y0, int x1, int y1);

}  // namespace marvane::display
