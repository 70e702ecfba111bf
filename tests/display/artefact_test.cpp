// SPDX-License-Identifier: GPL-3.0-or-later
// Renders each view from a known block through the real refresh and keeps a
// PNG of it in the build folder (artefacts/), checked to decode back to the
// very pixels of the raster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "display/refresh.h"
#include "display/signal_view.h"
#include "png_io.h"
#include "view_test.h"

namespace marvane::display {
namespace {

// A 1 kHz tone (bin 93) of 8000 and a 2.5 kHz tone (bin 232) of 1500 sample
// units, the second one fading in and out over n so the waterfall shows the
// colour ramp.
std::vector<double> knownBlock(int n) {
    std::vector<double> block(kSpectrumBlockSize);
    const double fade = 0.5 - 0.5 * std::cos(2 * M_PI * n / 130.0);
    for (int j = 0; j < kSpectrumBlockSize; ++j) {
        const double t = j / 11025.0;
        block[j] = 8000 * std::sin(2 * M_PI * 1000 * t) +
                   1500 * fade * std::sin(2 * M_PI * 2500 * t + 0.3);
    }
    return block;
}

class ViewPictures : public testing::ViewTest {
protected:
    static void SetUpTestSuite() { buildSpectrumTables(); }
    void render(int mode, int ticks) {
        RefreshInputs inputs;
        inputs.displayMode = mode;
        for (int n = 0; n < ticks; ++n) {
            std::vector<double> samples = knownBlock(n);
            inputs.levelledSamples = samples.data();
            onRefreshTimer(inputs, raster);
        }
    }
    void keep(const std::string& name) {
        const std::filesystem::path dir = MARVANE_ARTEFACT_DIR;
        std::filesystem::create_directories(dir);
        const std::string path = (dir / name).string();
        ASSERT_TRUE(testing::writePng(raster, path)) << path;
        Raster decoded;
        ASSERT_TRUE(testing::readPng(path, decoded)) << path;
        EXPECT_EQ(decoded.width, kViewWidth);
        EXPECT_EQ(decoded.height, kViewHeight);
        EXPECT_TRUE(decoded.pixels == raster.pixels) << path << " does not hold the raster";
    }
};

TEST_F(ViewPictures, Scope) {
    render(kScopeMode, 1);
    // The first block is the 1 kHz tone alone: 8000 / 256 = 31 rows either
    // side of the centre.
    int top = kViewHeight;
    int bottom = -1;
    for (int y = 0; y < kViewHeight; ++y)
        for (int x = 0; x < kViewWidth; ++x)
            if (rasterPixel(raster, x, y) != 0) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    EXPECT_NEAR(top, 130 - 31, 1);
    EXPECT_NEAR(bottom, 130 + 31, 1);
    keep("display-scope.png");
}

TEST_F(ViewPictures, Spectrum) {
    render(kSpectrumMode, 30);
    // The 1 kHz peak (about 4000, 1200 rows high) runs off the top and is
    // clipped there; far from both tones the trace lies near the lowest row.
    int peakRow = kViewHeight;
    for (int x = 90; x <= 96; ++x)
        for (int y = 0; y < kViewHeight; ++y)
            if (rasterPixel(raster, x, y) != 0) peakRow = std::min(peakRow, y);
    EXPECT_EQ(peakRow, 0);
    int quietRow = kViewHeight;
    for (int y = 0; y < kViewHeight; ++y)
        if (rasterPixel(raster, 350, y) != 0) quietRow = std::min(quietRow, y);
    EXPECT_GT(quietRow, 240);
    keep("display-spectrum.png");
}

TEST_F(ViewPictures, Waterfall) {
    render(kWaterfallMode, 200);
    // The 1 kHz line is drawn white in every row painted so far.
    int white = 0;
    for (int y = 0; y < kViewHeight; ++y)
        white += rasterPixel(raster, 93, y) == rgb(255, 255, 255) ? 1 : 0;
    EXPECT_EQ(white, 200);
    keep("display-waterfall.png");
}

}  // namespace
}  // namespace marvane::display
