// SPDX-License-Identifier: GPL-3.0-or-later
// The audio pump: idle, receive and transmit, one block at a time, paced by
// the sound card's blocking reads and writes.

#include "audio/audio_pump.h"

#include "audio/audio_block.h"
#include "audio/level_control.h"
#include "audio/station_feed.h"
#include "audio/tx_source.h"
#include "link/link_sender.h"
#include "link/link_state.h"
#include "ptt/ptt.h"
#include "sound/sound.h"

#include <atomic>

namespace marvane::audio {

namespace {

// The pump's own buffers; the window reads copies through
// storeLevelledSamples / storeTxBlock, so none of these is shared.
SampleBlock captureBlock{};
SampleBlock pumpTxBlock{};
double levelled[kBlockSamples] = {};

std::atomic<PumpHeartbeat> heartbeat{nullptr};

void beat() {
    if (PumpHeartbeat b = heartbeat.load(std::memory_order_relaxed)) b();
}

// One captured block, levelled and published for the display.
void captureAndLevel() {
    beat();
    sound::readCaptureBlock(captureBlock.data());
    levelBlock(captureBlock.data(), levelled, kBlockSamples);
    storeLevelledSamples(levelled);
    publishLevelledBlock(stationFeed, levelled, kBlockSamples);
}

} // namespace

void setPumpHeartbeat(PumpHeartbeat hook) { heartbeat.store(hook); }

void runAudioPump(const StatusSink* sink) {
    link::LinkState& state = link::linkState;
    sound::configureCapture(kBlockSamples, kSampleRate);
    sound::configurePlayback(kBlockSamples, kSampleRate);

    for (;;) {
        // Idle: keep levelling so that the display and the gain run on.
        sink->setAddressText("idle");
        sink->setModeText(" ");
        sink->setInfoText(" ");
        while (state.clientConnected.load() == 0)
            captureAndLevel();

        // Receive: each levelled block goes to the client.
        char address[16];
        state.copyPeerAddress(address);
        sink->setAddressText(address);
        sink->setModeText("RX");
        sink->setLevelBar(0);
        while (state.rxStreaming.load() != 0) {
            captureAndLevel();
            link::sendRxAudio(levelled, kBlockSamples);
        }

        // Transmit: entered on every cycle, even when the loop does not run
        // (the client went away while receiving); the transmitter is keyed
        // only when there is something to transmit.
        if (state.txActive.load() == 0) {
            sink->passTransmitStage();
        } else {
            sink->setModeText("TX");
            ptt::pttOn();
            while (state.txActive.load() != 0) {
                beat();
                fillTxBlock(pumpTxBlock.data(), kBlockSamples);
                storeTxBlock(pumpTxBlock.data());
                publishFeedBlock(stationFeed, FeedKind::transmit, pumpTxBlock.data(), kBlockSamples);
                sound::writePlaybackBlock(pumpTxBlock.data());
            }
            ptt::pttOff();
        }
    }
}

} // namespace marvane::audio
