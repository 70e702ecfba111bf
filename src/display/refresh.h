// SPDX-License-Identifier: GPL-3.0-or-later
// The work of one 50 ms refresh tick, over explicit inputs, so that the window
// glue only gathers the inputs and applies the outputs to its widgets:
//
//   inputs.displayMode = displayMode;  // and the link and level state
//   RefreshOutputs out = onRefreshTimer(inputs, viewRaster);
//   levelBar->value(out.levelBarPosition);           // on the window thread
//   if (out.infoTextChanged) infoBox->value(out.infoText.c_str());
//   graphView->redraw();  // its draw() only copies viewRaster to the screen
//
// An expose of the view draws viewRaster as it stands: only ticks change it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "display/raster.h"
#include "display/spectrum.h"

namespace marvane::display {

struct RefreshInputs {
    int displayMode = 3;
    bool txActive = false;
    bool clientConnected = false;
    int lastReportedFill = 0;
    double currentGain = 1.0;
    // The link's info flag and a reader of its text. The flag is cleared
    // before the text is read, so a text that changes in between is shown
    // again at the next tick. With either null the info box is left alone.
    std::atomic<int>* peerInfoChanged = nullptr;
    std::string (*readPeerInfoText)() = nullptr;
    // 1024 samples the views show and analyse. While transmitting the
    // transmit block is copied into them first (the caller publishes them
    // back if this is a private copy).
    double* levelledSamples = nullptr;
    // 1024 samples, read only while transmitting.
    const std::int16_t* txBlock = nullptr;
};

struct RefreshOutputs {
    int levelBarPosition = 0;
    bool samplesFromTxBlock = false;  // levelledSamples now hold the transmit block
    bool infoTextChanged = false;     // set the info box to infoText
    std::string infoText;
};

// Runs the refresh steps in order: transmit copy, spectrum analysis (smoothed
// in the spectrum view, fresh in the waterfall view), level bar position,
// info text, and the repaint of the view into raster.
RefreshOutputs onRefreshTimer(const RefreshInputs& inputs, Raster& raster);

// The level bar: the last reported ring fill / 560 while a connected client
// transmits (0 to 117; the bar's range is 0 to 100 and shows more as full),
// otherwise 3.3 x the receive gain, truncated.
int levelBarPosition(bool txActive, bool clientConnected, int lastReportedFill,
                     double currentGain);

// One tick of spectrum smoothing: each shown bin moves a fifth of the way to
// the fresh one.
void smoothSpectrum(SpectrumBins& shown, const SpectrumBins& fresh);

}  // namespace marvane::display
