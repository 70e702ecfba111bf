// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The signal view on screen (the "GraphClass" control): an FLTK widget that
// copies a raster to the window. The refresh tick paints the raster and asks
// for a redraw; an expose redraws the raster as it stands, so uncovering the
// window neither loses the waterfall nor moves it on.

#include <FL/Fl_Widget.H>

#include "display/raster.h"

namespace marvane::display {

class ViewWidget : public Fl_Widget {
public:
    // Shows raster (not owned; it must outlive the widget) at x, y. The
    // widget takes the raster's size at construction.
    ViewWidget(int x, int y, const Raster& raster);

    // Redraws only rows first to last (inclusive, clipped to the view): a
    // waterfall tick changes two rows, the new line and the cursor.
    void redrawRows(int first, int last);

protected:
    void draw() override;

private:
    const Raster& raster_;
};

}  // namespace marvane::display
