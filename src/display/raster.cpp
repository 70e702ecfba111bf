// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/raster.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace marvane::display {

namespace {

void putPixel(Raster& raster, std::int64_t x, std::int64_t y, Colour colour) {
    if (x < 0 || y < 0 || x >= raster.width || y >= raster.height) return;
    std::uint8_t* p = &raster.pixels[(static_cast<std::size_t>(y) * raster.width + x) * 3];
    p[0] = static_cast<std::uint8_t>(redOf(colour));
    p[1] = static_cast<std::uint8_t>(greenOf(colour));
    p[2] = static_cast<std::uint8_t>(blueOf(colour));
}

// Steps k along the major axis from start (moving by step = +1 or -1) that
// land inside [0, limit).
void visibleSteps(std::int64_t start, int step, std::int64_t length, std::int64_t limit,
                  std::int64_t& first, std::int64_t& end) {
    if (step > 0) {
        first = std::max<std::int64_t>(0, -start);
        end = std::min<std::int64_t>(length, limit - start);
    } else {
        first = std::max<std::int64_t>(0, start - limit + 1);
        end = std::min<std::int64_t>(length, start + 1);
    }
}

void selectPenOp(void* context, const Pen& pen) { static_cast<Raster*>(context)->pen = pen; }

void moveToOp(void* context, int x, int y) {
    auto* raster = static_cast<Raster*>(context);
    raster->currentX = x;
    raster->currentY = y;
}

void lineToOp(void* context, int x, int y) {
    auto* raster = static_cast<Raster*>(context);
    rasterLine(*raster, raster->currentX, raster->currentY, x, y);
    raster->currentX = x;
    raster->currentY = y;
}

void setPixelOp(void* context, int x, int y, Colour colour) {
    putPixel(*static_cast<Raster*>(context), x, y, colour);
}

ClientRect clientRectOp(void* context) {
    const auto* raster = static_cast<const Raster*>(context);
    return ClientRect{0, 0, raster->width, raster->height};
}

}  // namespace

void resizeRaster(Raster& raster, int width, int height) {
    raster.width = std::max(0, width);
    raster.height = std::max(0, height);
    raster.pixels.assign(static_cast<std::size_t>(raster.width) * raster.height * 3, 0);
    raster.pen = Pen{};
    raster.currentX = 0;
    raster.currentY = 0;
}

void fillRaster(Raster& raster, Colour colour) {
    const auto r = static_cast<std::uint8_t>(redOf(colour));
    const auto g = static_cast<std::uint8_t>(greenOf(colour));
    const auto b = static_cast<std::uint8_t>(blueOf(colour));
    if (r == g && g == b) {
        std::fill(raster.pixels.begin(), raster.pixels.end(), r);
        return;
    }
    for (std::size_t i = 0; i + 2 < raster.pixels.size(); i += 3) {
        raster.pixels[i] = r;
        raster.pixels[i + 1] = g;
        raster.pixels[i + 2] = b;
    }
}

Colour rasterPixel(const Raster& raster, int x, int y) {
    if (x < 0 || y < 0 || x >= raster.width || y >= raster.height) return 0;
    const std::uint8_t* p = &raster.pixels[(static_cast<std::size_t>(y) * raster.width + x) * 3];
    return rgb(p[0], p[1], p[2]);
}

void rasterLine(Raster& raster, int x0, int y0, int x1, int y1) {
    // Wholly to one side of the raster: nothing to walk.
    if (std::max(x0, x1) < 0 || std::min(x0, x1) >= raster.width || std::max(y0, y1) < 0 ||
        std::min(y0, y1) >= raster.height)
        return;
    const std::int64_t dx = static_cast<std::int64_t>(x1) - x0;
    const std::int64_t dy = static_cast<std::int64_t>(y1) - y0;
    const bool xMajor = std::llabs(dx) >= std::llabs(dy);
    const std::int64_t length = xMajor ? std::llabs(dx) : std::llabs(dy);
    const std::int64_t minorLength = xMajor ? std::llabs(dy) : std::llabs(dx);
    if (length == 0) return;
    const int majorStep = (xMajor ? dx : dy) > 0 ? 1 : -1;
    const int minorStep = (xMajor ? dy : dx) >= 0 ? 1 : -1;
    const std::int64_t majorStart = xMajor ? x0 : y0;
    const std::int64_t minorStart = xMajor ? y0 : x0;
    const std::int64_t majorLimit = xMajor ? raster.width : raster.height;

    // Only the steps whose major coordinate is inside the raster are walked,
    // so a line running far outside costs no more than one crossing it.
    std::int64_t first = 0;
    std::int64_t end = 0;
    visibleSteps(majorStart, majorStep, length, majorLimit, first, end);
    for (std::int64_t k = first; k < end; ++k) {
        // Nearest pixel to k * minorLength / length, ties toward the start.
        // (128-bit: k and the lengths may each be near 2^32.)
        const auto offset = static_cast<std::int64_t>(
            (2 * static_cast<__int128>(k) * minorLength + length - 1) / (2 * length));
        const std::int64_t major = majorStart + majorStep * k;
        const std::int64_t minor = minorStart + minorStep * offset;
        if (xMajor)
            putPixel(raster, major, minor, raster.pen.colour);
        else
            putPixel(raster, minor, major, raster.pen.colour);
    }
}

Surface rasterSurface(Raster& raster) {
    Surface surface;
    surface.context = &raster;
    surface.selectPen = selectPenOp;
    surface.moveTo = moveToOp;
    surface.lineTo = lineToOp;
    surface.setPixel = setPixelOp;
    surface.clientRect = clientRectOp;
    return surface;
}

}  // namespace marvane::display
