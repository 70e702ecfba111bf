// SPDX-License-Identifier: GPL-3.0-or-later
// The main window and the sound card dialog laid out from their templates'
// dialog units with base units of 6 x 13 pixels.
#include <gtest/gtest.h>

#include "app/main_window_layout.h"

namespace marvane::app::layout {
namespace {

bool inside(const Rect& r, const Rect& area) {
    return r.x >= 0 && r.y >= 0 && r.x + r.w <= area.w && r.y + r.h <= area.h;
}

// Catches a conversion with other base units: the view must be
// one pixel per spectrum bin wide and 260 rows high.
TEST(Layout, SignalViewIsOnePixelPerBin) {
    EXPECT_EQ(graphView.x, 15);
    EXPECT_EQ(graphView.y, 13);
    EXPECT_EQ(graphView.w, 366);
    EXPECT_EQ(graphView.h, 260);
}

// Catches a conversion that truncates where the dialog manager rounds to the
// nearest pixel (263 x 6 / 4 = 394.5 -> 395, 206 x 13 / 8 = 334.75 -> 335).
TEST(Layout, MainWindowClientAreaRounds) {
    EXPECT_EQ(mainWindow.w, 395);
    EXPECT_EQ(mainWindow.h, 335);
    EXPECT_EQ(mainWindow.x, 75);
    EXPECT_EQ(mainWindow.y, 163);
}

// Catches truncation, and halves rounded down or to even, in the conversion
// itself: x 11 -> 16.5 -> 17, 61 -> 91.5 -> 92, 39 -> 58.5 -> 59; y 14 ->
// 22.75 -> 23, 181 -> 294.125 -> 294.
TEST(Layout, DialogUnitsRoundToNearestHalvesAwayFromZero) {
    EXPECT_EQ(xPixels(11), 17);
    EXPECT_EQ(xPixels(61), 92);
    EXPECT_EQ(xPixels(39), 59);
    EXPECT_EQ(xPixels(46), 69);
    EXPECT_EQ(yPixels(14), 23);
    EXPECT_EQ(yPixels(181), 294);
    EXPECT_EQ(yPixels(4), 7);  // 6.5
    EXPECT_EQ(xPixels(-11), -17);
}

// Catches boxes swapped or misplaced: along the bottom they run address,
// info, mode, level bar, without overlapping, all below the view and inside
// the window.
TEST(Layout, StatusRowRunsAddressInfoModeLevel) {
    EXPECT_EQ(addressBox.x, 17);
    EXPECT_EQ(addressBox.y, 294);
    EXPECT_EQ(addressBox.w, 69);
    EXPECT_EQ(addressBox.h, 23);
    EXPECT_EQ(infoBox.x, 92);
    EXPECT_EQ(infoBox.w, 59);
    EXPECT_EQ(modeBox.x, 156);
    EXPECT_EQ(modeBox.w, 39);
    EXPECT_EQ(levelBar.x, 210);
    EXPECT_EQ(levelBar.y, 297);
    EXPECT_EQ(levelBar.w, 168);
    EXPECT_EQ(levelBar.h, 16);
    EXPECT_LE(addressBox.x + addressBox.w, infoBox.x);
    EXPECT_LE(infoBox.x + infoBox.w, modeBox.x);
    EXPECT_LE(modeBox.x + modeBox.w, levelBar.x);
    for (const Rect& r : {addressBox, infoBox, modeBox, levelBar}) {
        EXPECT_TRUE(inside(r, mainWindow));
        EXPECT_GE(r.y, graphView.y + graphView.h);
    }
}

// Catches a dialog too small for its lists and button.
TEST(Layout, SoundDialogHoldsItsControls) {
    EXPECT_EQ(soundDialog.w, 452);
    EXPECT_EQ(soundDialog.h, 189);
    for (const Rect& r : {okButton, outputList, outputLabel, inputList, inputLabel})
        EXPECT_TRUE(inside(r, soundDialog));
    EXPECT_LE(inputList.x + inputList.w, outputList.x);
    EXPECT_GE(okButton.y, outputList.y + outputList.h);
}

}  // namespace
}  // namespace marvane::app::layout
