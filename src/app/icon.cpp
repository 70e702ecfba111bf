// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/icon.h"

#include <FL/Fl_Image.H>

#include <cmath>
#include <numbers>

#include "display/signal_view.h"

namespace marvane::app {

void drawProgramIcon(std::uint8_t* rgba) {
    constexpr int n = kIconSize;
    // Trace row per column: one and a half periods of a sine.
    int trace[n];
    for (int x = 0; x < n; ++x)
        trace[x] = 9 + static_cast<int>(std::lround(6.0 * std::sin(x * 3.0 * std::numbers::pi / (n - 1))));
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            std::uint8_t* p = rgba + (y * n + x) * 4;
            display::Colour c = display::rgb(0, 0, 0);
            if (x == 0 || y == 0 || x == n - 1 || y == n - 1) {
                c = display::rgb(128, 128, 128);  // frame
            } else if (y >= 18) {
                // Waterfall: a strong line at column 11 and a weaker one at 22
                // over a faint floor, in the view's own colour ramp.
                const int d1 = x - 11;
                const int d2 = x - 22;
                const double m = 40.0 + 760.0 / (1 + d1 * d1) + 300.0 / (1 + d2 * d2) +
                                 ((x * 7 + y * 3) % 5) * 12.0;
                c = display::waterfallColour(m);
            } else if (y == 17) {
                c = display::rgb(0, 0, 255);  // cursor line
            } else if (y == trace[x] || (x > 1 && (y - trace[x]) * (y - trace[x - 1]) < 0)) {
                c = display::rgb(0, 255, 0);
            }
            p[0] = static_cast<std::uint8_t>(display::redOf(c));
            p[1] = static_cast<std::uint8_t>(display::greenOf(c));
            p[2] = static_cast<std::uint8_t>(display::blueOf(c));
            p[3] = 255;
        }
    }
}

const Fl_RGB_Image* programIcon() {
    static std::uint8_t pixels[kIconSize * kIconSize * 4];
    static Fl_RGB_Image* image = [] {
        drawProgramIcon(pixels);
        return new Fl_RGB_Image(pixels, kIconSize, kIconSize, 4);
    }();
    return image;
}

}  // namespace marvane::app
