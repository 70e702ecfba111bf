// SPDX-License-Identifier: GPL-3.0-or-later
#include "display/refresh.h"

#include "display/signal_view.h"
#include "display/spectrum.h"

namespace marvane::display {

namespace {

// Single-precision 0.2 widened to double, not the double nearest 0.2: the
// smoothing has always used this value.
constexpr double kSmoothing = 0.20000000298023223876953125;

}  // namespace

int levelBarPosition(bool txActive, bool clientConnected, int lastReportedFill,
                     double currentGain) {
    if (txActive && clientConnected) return lastReportedFill / 560;
    return truncToInt(3.3 * currentGain);
}

void smoothSpectrum(SpectrumBins& shown, const SpectrumBins& fresh) {
    for (int i = 0; i < kSpectrumBinCount; ++i) shown[i] = (shown[i] * 4 + fresh[i]) * kSmoothing;
}

RefreshOutputs onRefreshTimer(const RefreshInputs& inputs, Raster& raster) {
    RefreshOutputs outputs;
    double* samples = inputs.levelledSamples;

    if (inputs.txActive && inputs.txBlock != nullptr) {
        for (int j = 0; j < kSpectrumBlockSize; ++j) samples[j] = inputs.txBlock[j];
        outputs.samplesFromTxBlock = true;
    }

    if (inputs.displayMode == kSpectrumMode) {
        computeSpectrum(samples, freshSpectrum.data());
        smoothSpectrum(shownSpectrum, freshSpectrum);
    } else if (inputs.displayMode == kWaterfallMode) {
        computeSpectrum(samples, shownSpectrum.data());
    }

    outputs.levelBarPosition = levelBarPosition(inputs.txActive, inputs.clientConnected,
                                                inputs.lastReportedFill, inputs.currentGain);

    if (inputs.peerInfoChanged != nullptr && inputs.readPeerInfoText != nullptr &&
        inputs.peerInfoChanged->exchange(0) != 0) {
        outputs.infoText = inputs.readPeerInfoText();
        outputs.infoTextChanged = true;
    }

    requestRepaint(raster, inputs.displayMode, samples);
    return outputs;
}

}  // namespace marvane::display
