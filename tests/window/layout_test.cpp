// The main window and the sound card dialog laid out from their templates'
// dialog units with base units of 6 x 13 pixels.
#include <gtest/gtest.h>

#include "app/main_window_layout.h"

namespace marvane::app::layout {
namespace {

bool inside(const Rect& r, const Rect& area) {
    return r.x >= 0 && r.y >= 0 && r.x + r.w <= area.w && r.y + r.h <= area.h;
}

// Catches a conversion with other base units or rounding: the view must be
// one pixel per spectrum bin wide and 260 rows high.
TEST(Layout, SignalViewIsOnePixelPerBin) {
    EXPECT_EQ(graphView.x, 15);
    EXPECT_EQ(graphView.y, 13);
    EXPECT_EQ(graphView.w, 366);
    EXPECT_EQ(graphView.h, 260);
}

// Catches rounding up where the conversion truncates (263 x 6 / 4 = 394.5).
TEST(Layout, MainWindowClientAreaTruncates) {
    EXPECT_EQ(mainWindow.w, 394);
    EXPECT_EQ(mainWindow.h, 334);
    EXPECT_EQ(mainWindow.x, 75);
    EXPECT_EQ(mainWindow.y, 162);
}

// Catches boxes swapped or misplaced: along the bottom they run address,
// info, mode, level bar, without overlapping, all below the view and inside
// the window.
TEST(Layout, StatusRowRunsAddressInfoModeLevel) {
    EXPECT_EQ(addressBox.x, 16);
    EXPECT_EQ(addressBox.y, 294);
    EXPECT_EQ(addressBox.w, 69);
    EXPECT_EQ(addressBox.h, 22);
    EXPECT_EQ(levelBar.y, 297);
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
    EXPECT_EQ(soundDialog.w, 451);
    EXPECT_EQ(soundDialog.h, 188);
    for (const Rect& r : {okButton, outputList, outputLabel, inputList, inputLabel})
        EXPECT_TRUE(inside(r, soundDialog));
    EXPECT_LE(inputList.x + inputList.w, outputList.x);
    EXPECT_GE(okButton.y, outputList.y + outputList.h);
}

}  // namespace
}  // namespace marvane::app::layout
