// SPDX-License-Identifier: GPL-3.0-or-later
// The signal view: scope, spectrum and waterfall, drawn only through a
// Surface, and the state they keep between refreshes. Everything here runs on
// the window thread, except displayMode, which the menu sets.
#pragma once

#include <atomic>

#include "display/raster.h"
#include "display/spectrum.h"
#include "display/surface.h"

namespace marvane::display {

// The view's client area as the main window lays it out: one pixel per bin.
constexpr int kViewWidth = 366;
constexpr int kViewHeight = 260;

constexpr int kScopeMode = 1;
constexpr int kSpectrumMode = 2;
constexpr int kWaterfallMode = 3;

// 1 scope, 2 spectrum, 3 waterfall; 3 at start. Any other value draws nothing.
extern std::atomic<int> displayMode;

// What the spectrum and waterfall views draw; all zero at start.
extern SpectrumBins shownSpectrum;
// The spectrum view's new analysis, blended into shownSpectrum.
extern SpectrumBins freshSpectrum;
// The client-area row where the next waterfall line goes; 0 (top) at start.
// Kept across refreshes and changes of view.
extern int waterfallRow;

extern Pen tracePen;   // green: scope and spectrum traces
extern Pen cursorPen;  // blue: the waterfall's cursor line

// The picture of the view. The refresh tick paints into it; showing the view
// on screen only copies it, so an expose never changes the picture.
extern Raster viewRaster;

// Creates both pens. Run once at start-up, before the refresh timer starts.
void createViewPens();

// Puts displayMode, both spectra, waterfallRow and viewRaster (black,
// kViewWidth x kViewHeight) back to their start values.
void resetSignalView();

// Truncates toward zero like a plain conversion, but saturates far outside
// any pixel range (and maps NaN to 0) instead of overflowing.
int truncToInt(double value);

// The waterfall's colour for one magnitude: black through blue (0 to 255),
// cyan (green rising up to 510) to white (red rising up to 765) and above.
Colour waterfallColour(double magnitude);

// samples: 1024 values; two pixels per sample, 256 sample units per pixel,
// positive below the centre row.
void drawScope(const Surface& surface, const double* samples);
// One pixel per bin, magnitude 0 on the lowest row.
void drawSpectrum(const Surface& surface, const SpectrumBins& spectrum);
// Writes one line of colours at row, moves row up by one (from the top row it
// wraps to the lowest row) and draws the cursor line on the new row, the one
// the next line will overwrite.
void drawWaterfallLine(const Surface& surface, const SpectrumBins& spectrum, int& row);

// Draws the view of mode onto the surface as one paint: the scope from
// samples, the spectrum from shownSpectrum, or one waterfall line from
// shownSpectrum at waterfallRow (which then moves).
void paintSignalView(const Surface& surface, int mode, const double* samples);

// One refresh's repaint into the raster: erased to black first for the scope
// and the spectrum (modes 2 and below), kept for the waterfall, then painted.
void requestRepaint(Raster& raster, int mode, const double* samples);

}  // namespace marvane::display
