// SPDX-License-Identifier: GPL-3.0-or-later
// The three views drawn into a raster the size of the main window's view.
#include <gtest/gtest.h>

#include <vector>

#include "display/signal_view.h"
#include "view_test.h"

namespace marvane::display {
namespace {

constexpr Colour kGreen = rgb(0, 255, 0);
constexpr Colour kBlue = rgb(0, 0, 255);

class SignalView : public testing::ViewTest {
protected:
    void SetUp() override {
        ViewTest::SetUp();
        samples.assign(kSpectrumBlockSize, 0.0);
    }
    void paint(int mode) { requestRepaint(raster, mode, samples.data()); }

    // Rows of column x that hold the colour.
    std::vector<int> rowsOf(int x, Colour colour) const {
        std::vector<int> rows;
        for (int y = 0; y < raster.height; ++y)
            if (rasterPixel(raster, x, y) == colour) rows.push_back(y);
        return rows;
    }
    int countLit() const {
        int n = 0;
        for (int y = 0; y < raster.height; ++y)
            for (int x = 0; x < raster.width; ++x) n += rasterPixel(raster, x, y) != 0;
        return n;
    }

    std::vector<double> samples;
};

TEST_F(SignalView, StartsInTheWaterfallAtTheTopRow) {
    EXPECT_EQ(displayMode.load(), kWaterfallMode);
    EXPECT_EQ(waterfallRow, 0);
    EXPECT_EQ(tracePen.colour, kGreen);
    EXPECT_EQ(cursorPen.colour, kBlue);
    EXPECT_EQ(viewRaster.width, 366);
    EXPECT_EQ(viewRaster.height, 260);
}

// A silent block is one green line on the centre row across the whole width.
TEST_F(SignalView, ScopeOfSilenceIsTheCentreRow) {
    paint(kScopeMode);
    for (int x = 0; x < kViewWidth; ++x) EXPECT_EQ(rowsOf(x, kGreen), std::vector<int>{130}) << x;
    EXPECT_EQ(countLit(), kViewWidth);
}

// 256 sample units per pixel, positive downwards, truncated toward zero.
TEST_F(SignalView, ScopeRowsFollowTheSampleValue) {
    const struct {
        double value;
        int row;
    } cases[] = {{256, 131}, {-256, 129}, {255, 130}, {-255, 130}, {512.5, 132}, {-32768, 2}};
    for (const auto& c : cases) {
        samples.assign(kSpectrumBlockSize, c.value);
        paint(kScopeMode);
        EXPECT_EQ(rowsOf(100, kGreen), std::vector<int>{c.row}) << c.value;
        EXPECT_EQ(countLit(), kViewWidth) << c.value;
    }
}

// Two pixels per sample: sample 50 is drawn at x = 100; the trace between
// samples steps at the rounding tie toward the earlier sample.
TEST_F(SignalView, ScopeDrawsTwoPixelsPerSample) {
    samples[50] = 256 * 10;
    paint(kScopeMode);
    EXPECT_EQ(rowsOf(100, kGreen).back(), 140);
    EXPECT_EQ(rowsOf(97, kGreen), std::vector<int>{130});
    EXPECT_EQ(rowsOf(103, kGreen), std::vector<int>{130});
}

// Each scope or spectrum paint starts from black: the old trace is gone.
TEST_F(SignalView, ScopeAndSpectrumEraseTheOldPicture) {
    samples.assign(kSpectrumBlockSize, 2560);
    paint(kScopeMode);
    samples.assign(kSpectrumBlockSize, 0);
    paint(kScopeMode);
    EXPECT_TRUE(rowsOf(10, kGreen) == std::vector<int>{130});
    paint(kSpectrumMode);
    EXPECT_TRUE(rowsOf(10, kGreen) == std::vector<int>{259});
    EXPECT_EQ(countLit(), kSpectrumBinCount - 1);
}

// Zero on the lowest row; the last segment ends at bin 365, which is excluded.
TEST_F(SignalView, SpectrumBaseIsTheLowestRow) {
    paint(kSpectrumMode);
    for (int x = 0; x < 365; ++x) EXPECT_EQ(rowsOf(x, kGreen), std::vector<int>{259}) << x;
    EXPECT_TRUE(rowsOf(365, kGreen).empty());
}

// 0.3 as a float is slightly above 0.3: 10 -> 3 rows up, 3 -> 0 rows up.
TEST_F(SignalView, SpectrumScaleIsSinglePrecisionThreeTenths) {
    shownSpectrum.fill(10);
    paint(kSpectrumMode);
    EXPECT_EQ(rowsOf(200, kGreen), std::vector<int>{256});
    shownSpectrum.fill(3);
    paint(kSpectrumMode);
    EXPECT_EQ(rowsOf(200, kGreen), std::vector<int>{259});
    shownSpectrum.fill(0);
    shownSpectrum[100] = 100;  // 30.0000012 -> 30 rows up
    paint(kSpectrumMode);
    EXPECT_EQ(rowsOf(100, kGreen).front(), 229);
}

TEST_F(SignalView, WaterfallColourRamp) {
    EXPECT_EQ(waterfallColour(0), rgb(0, 0, 0));
    EXPECT_EQ(waterfallColour(-50), rgb(0, 0, 0));
    EXPECT_EQ(waterfallColour(100), rgb(0, 0, 100));
    EXPECT_EQ(waterfallColour(254.9), rgb(0, 0, 254));
    EXPECT_EQ(waterfallColour(255), rgb(0, 0, 255));
    EXPECT_EQ(waterfallColour(300), 0x00FF2D00u);
    EXPECT_EQ(waterfallColour(509.99), rgb(0, 254, 255));
    EXPECT_EQ(waterfallColour(600), rgb(90, 255, 255));
    EXPECT_EQ(waterfallColour(765), rgb(255, 255, 255));
    EXPECT_EQ(waterfallColour(1e9), rgb(255, 255, 255));
}

// Each bin's colour lands at its own column of the line.
TEST_F(SignalView, WaterfallLineCarriesEachBinsColour) {
    const double magnitudes[] = {0, 100, 254.9, 255, 300, 600, 765, 5000};
    for (int j = 0; j < kSpectrumBinCount; ++j) shownSpectrum[j] = magnitudes[j % 8];
    paint(kWaterfallMode);
    for (int j = 0; j < kSpectrumBinCount; ++j)
        EXPECT_EQ(rasterPixel(raster, j, 0), waterfallColour(magnitudes[j % 8])) << j;
}

// The first line goes to the top row; the blue cursor marks the row the next
// line overwrites: from the top row that is the lowest row, then one row
// above the line just drawn.
TEST_F(SignalView, WaterfallLinesClimbAndTheCursorMarksTheNext) {
    shownSpectrum.fill(600);
    paint(kWaterfallMode);
    for (int x = 0; x < kViewWidth; ++x) {
        EXPECT_EQ(rasterPixel(raster, x, 0), rgb(90, 255, 255)) << x;
        EXPECT_EQ(rasterPixel(raster, x, 259), kBlue) << x;
    }
    EXPECT_EQ(waterfallRow, 259);

    shownSpectrum.fill(100);
    paint(kWaterfallMode);
    for (int x = 0; x < kViewWidth; ++x) {
        EXPECT_EQ(rasterPixel(raster, x, 259), rgb(0, 0, 100)) << x;
        EXPECT_EQ(rasterPixel(raster, x, 258), kBlue) << x;
        EXPECT_EQ(rasterPixel(raster, x, 0), rgb(90, 255, 255)) << x;  // kept
    }
    EXPECT_EQ(waterfallRow, 258);
}

// Every paint draws a visible line: 260 paints fill all 260 rows once and
// come back to the top row.
TEST_F(SignalView, WaterfallWrapsFromTheTopToTheBottomRow) {
    std::vector<int> drawnRows;
    for (int n = 0; n < kViewHeight + 2; ++n) {
        drawnRows.push_back(waterfallRow);
        shownSpectrum.fill(n + 1);
        paint(kWaterfallMode);
        EXPECT_GE(waterfallRow, 0);
        EXPECT_LT(waterfallRow, kViewHeight);
    }
    EXPECT_EQ(drawnRows[0], 0);
    EXPECT_EQ(drawnRows[1], 259);
    EXPECT_EQ(drawnRows[259], 1);
    EXPECT_EQ(drawnRows[260], 0);
    EXPECT_EQ(drawnRows[261], 259);
    // Row r (r > 0) holds the line of paint 260 - r; row 0 the one of paint 260.
    EXPECT_EQ(rasterPixel(raster, 5, 100), rgb(0, 0, 161));
    EXPECT_EQ(rasterPixel(raster, 5, 0), waterfallColour(261));
    EXPECT_EQ(rasterPixel(raster, 5, 258), kBlue);
}

// A row outside a smaller view starts again at its lowest row.
TEST_F(SignalView, WaterfallRowOutsideTheViewRestartsAtTheBottom) {
    waterfallRow = 400;
    shownSpectrum.fill(100);
    paint(kWaterfallMode);
    EXPECT_EQ(rasterPixel(raster, 0, 259), rgb(0, 0, 100));
    EXPECT_EQ(waterfallRow, 258);
}

// The waterfall keeps what was there; a mode outside 1..3 draws nothing.
TEST_F(SignalView, WaterfallKeepsThePictureAndUnknownModesDrawNothing) {
    paint(kScopeMode);
    paint(kWaterfallMode);
    EXPECT_EQ(rowsOf(10, kGreen), std::vector<int>{130});
    Raster before = raster;
    const int row = waterfallRow;
    paint(4);
    EXPECT_EQ(raster.pixels, before.pixels);
    EXPECT_EQ(waterfallRow, row);
    paint(0);  // erased like the scope, nothing drawn
    EXPECT_EQ(countLit(), 0);
}

}  // namespace
}  // namespace marvane::display
