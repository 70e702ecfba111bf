// SPDX-License-Identifier: GPL-3.0-or-later
// The refresh tick over explicit inputs: transmit copy, analysis and
// smoothing, level bar, info text, and the repaint into the raster.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "display/refresh.h"
#include "display/signal_view.h"
#include "view_test.h"

namespace marvane::display {
namespace {

std::atomic<int> infoChanged{0};
std::string infoText;
int flagSeenByReader = -1;
int readerCalls = 0;

std::string readInfo() {
    ++readerCalls;
    flagSeenByReader = infoChanged.load();
    return infoText;
}

class Refresh : public testing::ViewTest {
protected:
    static void SetUpTestSuite() { buildSpectrumTables(); }
    void SetUp() override {
        ViewTest::SetUp();
        samples.assign(kSpectrumBlockSize, 0.0);
        txBlock.assign(kSpectrumBlockSize, 0);
        infoChanged = 0;
        infoText.clear();
        flagSeenByReader = -1;
        readerCalls = 0;
        inputs.levelledSamples = samples.data();
        inputs.txBlock = txBlock.data();
        inputs.peerInfoChanged = &infoChanged;
        inputs.readPeerInfoText = readInfo;
    }
    RefreshOutputs tick() { return onRefreshTimer(inputs, raster); }

    std::vector<double> samples;
    std::vector<std::int16_t> txBlock;
    RefreshInputs inputs;
};

void fillSine(std::vector<double>& block, double amplitude, double cycles) {
    for (int j = 0; j < kSpectrumBlockSize; ++j)
        block[j] = amplitude * std::sin(2 * M_PI * cycles * j / kSpectrumBlockSize);
}

TEST(LevelBar, OutsideTransmissionsShowsThreePointThreeTimesTheGain) {
    EXPECT_EQ(levelBarPosition(false, false, 0, 1.0), 3);
    EXPECT_EQ(levelBarPosition(false, true, 40000, 2.45), 8);
    EXPECT_EQ(levelBarPosition(false, true, 0, 30), 99);
    EXPECT_EQ(levelBarPosition(false, false, 0, 0.2), 0);
    // Transmitting without a client (the client just left) still shows the gain.
    EXPECT_EQ(levelBarPosition(true, false, 65535, 1.0), 3);
}

TEST(LevelBar, WhileAClientTransmitsShowsTheFillIn560ths) {
    EXPECT_EQ(levelBarPosition(true, true, 559, 1.0), 0);
    EXPECT_EQ(levelBarPosition(true, true, 560, 1.0), 1);
    EXPECT_EQ(levelBarPosition(true, true, 65535, 1.0), 117);
}

// A gain far out of range must not overflow the conversion.
TEST(LevelBar, HugeGainSaturates) {
    EXPECT_GT(levelBarPosition(false, false, 0, 1e300), 100);
    EXPECT_EQ(levelBarPosition(false, false, 0, std::nan("")), 0);
}

// Smoothing uses the float value of 0.2, not the double nearest 0.2.
TEST(Smoothing, MovesAFifthOfTheWayPerTick) {
    SpectrumBins shown{};
    SpectrumBins fresh;
    fresh.fill(1.0);
    smoothSpectrum(shown, fresh);
    EXPECT_EQ(shown[5], 0.20000000298023223876953125);
    EXPECT_NE(shown[5], 0.2);
    fresh.fill(1000.0);
    shown.fill(0);
    const double expected[] = {200, 360, 488};
    for (double e : expected) {
        smoothSpectrum(shown, fresh);
        for (double v : shown) EXPECT_NEAR(v, e, 1e-3);
    }
    for (int n = 0; n < 200; ++n) smoothSpectrum(shown, fresh);
    EXPECT_NEAR(shown[0], 1000.0, 1e-3);
}

// The spectrum view blends each analysis into what it shows.
TEST_F(Refresh, SpectrumViewSmoothsTheAnalysis) {
    inputs.displayMode = kSpectrumMode;
    fillSine(samples, 1000, 10);
    const double expected[] = {100, 180, 244};
    for (double e : expected) {
        tick();
        EXPECT_NEAR(shownSpectrum[10], e, 1e-4);
        EXPECT_NEAR(freshSpectrum[10], 500, 1e-6);
    }
    // 244 * 0.3 -> 73 rows above the lowest row.
    EXPECT_EQ(rasterPixel(raster, 10, 259 - 73), tracePen.colour);
}

// The waterfall draws the fresh analysis, unsmoothed.
TEST_F(Refresh, WaterfallViewDrawsTheFreshAnalysis) {
    inputs.displayMode = kWaterfallMode;
    fillSine(samples, 1000, 10);
    tick();
    SpectrumBins plain;
    computeSpectrumPlain(samples.data(), plain.data());
    EXPECT_EQ(std::memcmp(shownSpectrum.data(), plain.data(), sizeof plain), 0);
    EXPECT_EQ(rasterPixel(raster, 10, 0), waterfallColour(500));
    EXPECT_EQ(rasterPixel(raster, 11, 0), rgb(0, 0, 0));
    EXPECT_EQ(waterfallRow, kViewHeight - 1);
}

// The scope runs no analysis: what the spectrum views show stays as it was.
TEST_F(Refresh, ScopeViewLeavesTheSpectrumAlone) {
    shownSpectrum.fill(42);
    inputs.displayMode = kScopeMode;
    fillSine(samples, 1000, 10);
    tick();
    for (double v : shownSpectrum) EXPECT_EQ(v, 42);
    for (double v : freshSpectrum) EXPECT_EQ(v, 0);
}

// While transmitting the views show the transmit block, with no gain.
TEST_F(Refresh, TransmitBlockIsCopiedWhileTransmitting) {
    inputs.displayMode = kScopeMode;
    txBlock.assign(kSpectrumBlockSize, -512);
    txBlock[7] = 32767;
    inputs.txActive = true;
    const RefreshOutputs out = tick();
    EXPECT_TRUE(out.samplesFromTxBlock);
    EXPECT_EQ(samples[7], 32767.0);
    EXPECT_EQ(samples[8], -512.0);
    EXPECT_EQ(rasterPixel(raster, 300, 128), tracePen.colour);

    inputs.txActive = false;
    samples.assign(kSpectrumBlockSize, 256);
    const RefreshOutputs rx = tick();
    EXPECT_FALSE(rx.samplesFromTxBlock);
    EXPECT_EQ(samples[7], 256.0);
    EXPECT_EQ(rasterPixel(raster, 300, 131), tracePen.colour);
}

TEST_F(Refresh, LevelBarPositionComesFromTheInputs) {
    inputs.currentGain = 2.45;
    EXPECT_EQ(tick().levelBarPosition, 8);
    inputs.txActive = true;
    inputs.clientConnected = true;
    inputs.lastReportedFill = 65535;
    EXPECT_EQ(tick().levelBarPosition, 117);
}

// Without the flag the box is not touched, even though the text changed.
TEST_F(Refresh, InfoTextUntouchedWhileTheFlagIsClear) {
    infoText = "new words";
    const RefreshOutputs out = tick();
    EXPECT_FALSE(out.infoTextChanged);
    EXPECT_EQ(readerCalls, 0);
}

// The flag is cleared before the text is read, so a text set in between
// raises the flag again and shows at the next tick.
TEST_F(Refresh, InfoFlagIsClearedBeforeTheTextIsRead) {
    infoText = "IC-7300";
    infoChanged = 1;
    const RefreshOutputs out = tick();
    EXPECT_TRUE(out.infoTextChanged);
    EXPECT_EQ(out.infoText, "IC-7300");
    EXPECT_EQ(flagSeenByReader, 0);
    EXPECT_EQ(infoChanged.load(), 0);
    EXPECT_FALSE(tick().infoTextChanged);
    EXPECT_EQ(readerCalls, 1);
}

// One line per tick, each tick's line one row above the last.
TEST_F(Refresh, EachTickAddsOneWaterfallLine) {
    inputs.displayMode = kWaterfallMode;
    fillSine(samples, 1000, 93);
    for (int n = 0; n < 3; ++n) tick();
    EXPECT_EQ(waterfallRow, kViewHeight - 3);
    EXPECT_EQ(rasterPixel(raster, 93, 0), waterfallColour(500));
    EXPECT_EQ(rasterPixel(raster, 93, 259), waterfallColour(500));
    EXPECT_EQ(rasterPixel(raster, 93, 258), waterfallColour(500));
    EXPECT_EQ(rasterPixel(raster, 93, 257), cursorPen.colour);
}

}  // namespace
}  // namespace marvane::display
