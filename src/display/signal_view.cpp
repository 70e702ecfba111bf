// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/signal_view.h"

namespace marvane::display {

std::atomic<int> displayMode{kWaterfallMode};
SpectrumBins shownSpectrum{};
SpectrumBins freshSpectrum{};
int waterfallRow = 0;
Pen tracePen;
Pen cursorPen;

namespace {

Raster blackViewRaster() {
    Raster raster;
    resizeRaster(raster, kViewWidth, kViewHeight);
    return raster;
}

// Single-precision 0.3 widened to double: the view's scale, kept exactly.
constexpr double kSpectrumScale = 0.300000011920928955078125;
constexpr int kSaturation = 1000000;

}  // namespace

Raster viewRaster = blackViewRaster();

void createViewPens() {
    tracePen = Pen{rgb(0, 255, 0)};
    cursorPen = Pen{rgb(0, 0, 255)};
}

void resetSignalView() {
    displayMode = kWaterfallMode;
    shownSpectrum.fill(0);
    freshSpectrum.fill(0);
    waterfallRow = 0;
    resizeRaster(viewRaster, kViewWidth, kViewHeight);
}

int truncToInt(double value) {
    if (value != value) return 0;
    if (value >= kSaturation) return kSaturation;
    if (value <= -kSaturation) return -kSaturation;
    return static_cast<int>(value);
}

Colour waterfallColour(double magnitude) {
    int blue = truncToInt(magnitude);
    if (blue < 0) blue = 0;
    int green = 0;
    int red = 0;
    if (blue >= 255) {
        green = blue - 255;
        blue = 255;
    }
    if (green >= 255) {
        red = green - 255;
        green = 255;
    }
    if (red >= 255) red = 255;
    return rgb(red, green, blue);
}

void drawScope(const Surface& surface, const double* samples) {
    const ClientRect rect = surface.clientRect(surface.context);
    surface.selectPen(surface.context, tracePen);
    const int centre = (rect.bottom + rect.top) / 2;
    surface.moveTo(surface.context, 0, centre + truncToInt(samples[0] / 256));
    for (int i = 1; i < kSpectrumBlockSize; ++i)
        surface.lineTo(surface.context, 2 * i, centre + truncToInt(samples[i] / 256));
}

void drawSpectrum(const Surface& surface, const SpectrumBins& spectrum) {
    const ClientRect rect = surface.clientRect(surface.context);
    surface.selectPen(surface.context, tracePen);
    const int base = rect.bottom - 1;
    surface.moveTo(surface.context, 0, base - truncToInt(spectrum[0] * kSpectrumScale));
    for (int i = 1; i < kSpectrumBinCount; ++i)
        surface.lineTo(surface.context, i, base - truncToInt(spectrum[i] * kSpectrumScale));
}

void drawWaterfallLine(const Surface& surface, const SpectrumBins& spectrum, int& row) {
    const ClientRect rect = surface.clientRect(surface.context);
    // A row left outside by a smaller client area starts again at the bottom.
    if (row < rect.top || row >= rect.bottom) row = rect.bottom - 1;
    for (int j = 0; j < kSpectrumBinCount; ++j)
        surface.setPixel(surface.context, rect.left + j, row, waterfallColour(spectrum[j]));
    // The cycle stays inside the client area: from the top row straight to the
    // lowest, so every paint shows its line and its cursor.
    --row;
    if (row < rect.top) row = rect.bottom - 1;
    surface.selectPen(surface.context, cursorPen);
    surface.moveTo(surface.context, rect.left, row);
    surface.lineTo(surface.context, rect.right, row);
}

void paintSignalView(const Surface& surface, int mode, const double* samples) {
    switch (mode) {
        case kScopeMode:
            drawScope(surface, samples);
            break;
        case kSpectrumMode:
            drawSpectrum(surface, shownSpectrum);
            break;
        case kWaterfallMode:
            drawWaterfallLine(surface, shownSpectrum, waterfallRow);
            break;
        default:
            break;
    }
}

void requestRepaint(Raster& raster, int mode, const double* samples) {
    if (mode <= kSpectrumMode) fillRaster(raster, rgb(0, 0, 0));
    paintSignalView(rasterSurface(raster), mode, samples);
}

}  // namespace marvane::display
