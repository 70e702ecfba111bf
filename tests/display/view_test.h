// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture of the tests that draw the views: the signal view as it starts,
// its pens made, drawing into a raster the size of the main window's view.
#pragma once

#include <gtest/gtest.h>

#include "display/raster.h"
#include "display/signal_view.h"

namespace marvane::display::testing {

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetSignalView();
        createViewPens();
        resizeRaster(raster, kViewWidth, kViewHeight);
    }
    Raster raster;
};

}  // namespace marvane::display::testing
