// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The places of the main window's and the sound card dialog's controls, kept
// in dialog units as the templates give them and converted to pixels with base
// units of 6 x 13 pixels: x pixels = du x 6 / 4, y pixels = du x 13 / 8,
// rounded to the nearest pixel, halves away from zero, as the dialog manager
// converts them. The signal view's 244 x 160 units thus become 366 x 260
// pixels, one pixel per spectrum bin.

namespace marvane::app::layout {

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

// a x b / c rounded to nearest, halves away from zero (c > 0).
constexpr int mulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : -((-product + half) / c));
}

constexpr int xPixels(int du) { return mulDiv(du, 6, 4); }
constexpr int yPixels(int du) { return mulDiv(du, 13, 8); }

// A rectangle of a template (position and size in dialog units) in pixels of
// the window's client area.
constexpr Rect toPixels(int x, int y, int w, int h) {
    return Rect{xPixels(x), yPixels(y), xPixels(w), yPixels(h)};
}

// Template 1000: the main window. Its client area lies below the menu bar.
inline constexpr Rect mainWindow = toPixels(50, 100, 263, 206);
inline constexpr Rect graphView = toPixels(10, 8, 244, 160);     // 1114
inline constexpr Rect addressBox = toPixels(11, 181, 46, 14);    // 1115
inline constexpr Rect modeBox = toPixels(104, 181, 26, 14);      // 1116
inline constexpr Rect levelBar = toPixels(140, 183, 112, 10);    // 1119
inline constexpr Rect infoBox = toPixels(61, 181, 39, 14);       // 1120
// The menu bar above the client area (a window-system element on the
// original, so it has no template units).
inline constexpr int menuBarHeight = 25;

// Template 1001: the "Sound Card Selection" dialog.
inline constexpr Rect soundDialog = toPixels(0, 0, 301, 116);
inline constexpr Rect okButton = toPixels(241, 95, 50, 14);
inline constexpr Rect outputList = toPixels(158, 24, 134, 63);   // 1121
inline constexpr Rect outputLabel = toPixels(158, 8, 105, 8);
inline constexpr Rect inputList = toPixels(14, 24, 132, 63);     // 1123
inline constexpr Rect inputLabel = toPixels(14, 8, 85, 8);

}  // namespace marvane::app::layout
