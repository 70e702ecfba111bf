// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/view_widget.h"

#include <FL/Enumerations.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace marvane::display {

ViewWidget::ViewWidget(int x, int y, const Raster& raster)
    : Fl_Widget(x, y, raster.width, raster.height), raster_(raster) {
    box(FL_NO_BOX);
    color(FL_BLACK);
}

void ViewWidget::redrawRows(int first, int last) {
    first = std::max(first, 0);
    last = std::min(last, h() - 1);
    if (first > last) return;
    damage(FL_DAMAGE_USER1, x(), y() + first, w(), last - first + 1);
}

void ViewWidget::draw() {
    // Only the part being redrawn is converted and sent: the clip region's
    // bounds within the widget.
    int cx, cy, cw, ch;
    fl_clip_box(x(), y(), w(), h(), cx, cy, cw, ch);
    if (cw <= 0 || ch <= 0) return;
    // Whatever the raster does not cover stays black, as the class brush left it.
    if (raster_.width < w() || raster_.height < h()) fl_rectf(cx, cy, cw, ch, FL_BLACK);
    const int left = cx - x();
    const int top = cy - y();
    const int width = std::min(cw, raster_.width - left);
    const int height = std::min(ch, raster_.height - top);
    if (width <= 0 || height <= 0) return;
    const int stride = raster_.width * 3;
    fl_draw_image(raster_.pixels.data() + top * stride + left * 3, cx, cy, width, height, 3,
                  stride);
}

}  // namespace marvane::display
