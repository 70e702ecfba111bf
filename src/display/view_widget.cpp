#include "display/view_widget.h"

#include <FL/Enumerations.H>
#include <FL/fl_draw.H>

namespace marvane::display {

ViewWidget::ViewWidget(int x, int y, const Raster& raster)
    : Fl_Widget(x, y, raster.width, raster.height), raster_(raster) {
    box(FL_NO_BOX);
    color(FL_BLACK);
}

void ViewWidget::draw() {
    const int width = raster_.width < w() ? raster_.width : w();
    const int height = raster_.height < h() ? raster_.height : h();
    // Whatever the raster does not cover stays black, as the class brush left it.
    if (width < w() || height < h()) fl_rectf(x(), y(), w(), h(), FL_BLACK);
    if (width > 0 && height > 0)
        fl_draw_image(raster_.pixels.data(), x(), y(), width, height, 3, raster_.width * 3);
}

}  // namespace marvane::display
