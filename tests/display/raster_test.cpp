// SPDX-License-Identifier: GPL-3.0-or-later
// The software raster's primitives: colour layout, end points, the line rule
// and clipping.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "display/raster.h"

namespace marvane::display {
namespace {

using Points = std::set<std::pair<int, int>>;

constexpr Colour kWhite = rgb(255, 255, 255);

Points litPixels(const Raster& raster) {
    Points lit;
    for (int y = 0; y < raster.height; ++y)
        for (int x = 0; x < raster.width; ++x)
            if (rasterPixel(raster, x, y) != 0) lit.insert({x, y});
    return lit;
}

class RasterLines : public ::testing::Test {
protected:
    void SetUp() override {
        resizeRaster(raster, 20, 10);
        surface = rasterSurface(raster);
        surface.selectPen(surface.context, Pen{kWhite});
    }
    void line(int x0, int y0, int x1, int y1) {
        surface.moveTo(surface.context, x0, y0);
        surface.lineTo(surface.context, x1, y1);
    }
    Raster raster;
    Surface surface;
};

// Catches a swapped byte order: 0x00BBGGRR has red in the low byte.
TEST(RasterColours, ColourValuesAreLaidOutBlueGreenRed) {
    EXPECT_EQ(rgb(0, 45, 255), 0x00FF2D00u);
    Raster raster;
    resizeRaster(raster, 3, 2);
    Surface surface = rasterSurface(raster);
    surface.setPixel(surface.context, 2, 1, 0x00FF2D00u);
    const std::size_t at = (1 * 3 + 2) * 3;
    EXPECT_EQ(raster.pixels[at], 0x00);      // red
    EXPECT_EQ(raster.pixels[at + 1], 0x2D);  // green
    EXPECT_EQ(raster.pixels[at + 2], 0xFF);  // blue
    EXPECT_EQ(rasterPixel(raster, 2, 1), 0x00FF2D00u);
    EXPECT_EQ(litPixels(raster), (Points{{2, 1}}));
}

TEST(RasterColours, ClientRectangleIsTheWholeRaster) {
    Raster raster;
    resizeRaster(raster, 366, 260);
    Surface surface = rasterSurface(raster);
    const ClientRect rect = surface.clientRect(surface.context);
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right, 366);
    EXPECT_EQ(rect.bottom, 260);
    fillRaster(raster, rgb(1, 2, 3));
    EXPECT_EQ(rasterPixel(raster, 365, 259), rgb(1, 2, 3));
    fillRaster(raster, 0);
    EXPECT_TRUE(litPixels(raster).empty());
}

// Catches an end point drawn, or a current position that does not move.
TEST_F(RasterLines, LineToExcludesItsEndAndMovesThere) {
    line(2, 5, 6, 5);
    EXPECT_EQ(litPixels(raster), (Points{{2, 5}, {3, 5}, {4, 5}, {5, 5}}));
    surface.lineTo(surface.context, 6, 8);
    EXPECT_EQ(litPixels(raster),
              (Points{{2, 5}, {3, 5}, {4, 5}, {5, 5}, {6, 5}, {6, 6}, {6, 7}}));
    EXPECT_EQ(raster.currentX, 6);
    EXPECT_EQ(raster.currentY, 8);
}

TEST_F(RasterLines, ZeroLengthLineDrawsNothing) {
    line(4, 4, 4, 4);
    EXPECT_TRUE(litPixels(raster).empty());
}

TEST_F(RasterLines, LinesRunBackwardsToo) {
    line(5, 3, 1, 3);
    EXPECT_EQ(litPixels(raster), (Points{{5, 3}, {4, 3}, {3, 3}, {2, 3}}));
    fillRaster(raster, 0);
    line(7, 6, 7, 2);
    EXPECT_EQ(litPixels(raster), (Points{{7, 6}, {7, 5}, {7, 4}, {7, 3}}));
}

// The stepping rule: one pixel per step along the longer axis, the other
// coordinate rounded to nearest with ties going toward the start.
TEST_F(RasterLines, SlopedLinesRoundToNearestWithTiesTowardTheStart) {
    line(0, 0, 4, 1);  // 0, 0.25, 0.5 (tie), 0.75
    EXPECT_EQ(litPixels(raster), (Points{{0, 0}, {1, 0}, {2, 0}, {3, 1}}));
    fillRaster(raster, 0);
    line(4, 1, 0, 0);  // the same line backwards: the tie goes to row 1 now
    EXPECT_EQ(litPixels(raster), (Points{{4, 1}, {3, 1}, {2, 1}, {1, 0}}));
    fillRaster(raster, 0);
    line(0, 0, 1, 3);  // steep: x is 0, 1/3, 2/3
    EXPECT_EQ(litPixels(raster), (Points{{0, 0}, {0, 1}, {1, 2}}));
    fillRaster(raster, 0);
    line(10, 0, 7, 3);  // exact diagonal
    EXPECT_EQ(litPixels(raster), (Points{{10, 0}, {9, 1}, {8, 2}}));
}

// Catches writes outside the pixel buffer (ASan) and lines lost entirely
// because one end lies outside.
TEST_F(RasterLines, PointsOutsideAreClipped) {
    surface.setPixel(surface.context, -1, 0, kWhite);
    surface.setPixel(surface.context, 20, 0, kWhite);
    surface.setPixel(surface.context, 0, -1, kWhite);
    surface.setPixel(surface.context, 0, 10, kWhite);
    EXPECT_TRUE(litPixels(raster).empty());

    line(-10, 4, 40, 4);
    Points row;
    for (int x = 0; x < 20; ++x) row.insert({x, 4});
    EXPECT_EQ(litPixels(raster), row);

    fillRaster(raster, 0);
    line(3, -5, 3, 30);
    Points column;
    for (int y = 0; y < 10; ++y) column.insert({3, y});
    EXPECT_EQ(litPixels(raster), column);

    fillRaster(raster, 0);
    line(25, -3, 40, 20);  // wholly outside
    line(-5, -5, -1, 9);
    EXPECT_TRUE(litPixels(raster).empty());
}

// Lines a million pixels long cross the raster without walking every pixel
// and light exactly one pixel per row they cross.
TEST_F(RasterLines, VeryLongLinesAreClippedToOnePixelPerRow) {
    line(2, -1000000, 5, 1000000);
    const Points lit = litPixels(raster);
    EXPECT_EQ(lit.size(), 10u);
    std::set<int> rows;
    for (const auto& [x, y] : lit) {
        rows.insert(y);
        EXPECT_TRUE(x == 3 || x == 4) << x;
    }
    EXPECT_EQ(rows.size(), 10u);
}

// The full int range of coordinates: no overflow in the stepping (UBSan).
TEST_F(RasterLines, ExtremeCoordinatesStayExact) {
    line(-2147483647 - 1, 5, 2147483647, 5);
    Points row;
    for (int x = 0; x < 20; ++x) row.insert({x, 5});
    EXPECT_EQ(litPixels(raster), row);
    fillRaster(raster, 0);
    line(-2147483647 - 1, -2147483647 - 1, 2147483647, 2147483647);  // the diagonal
    Points diagonal;
    for (int k = 0; k < 10; ++k) diagonal.insert({k, k});
    EXPECT_EQ(litPixels(raster), diagonal);
}

}  // namespace
}  // namespace marvane::display
