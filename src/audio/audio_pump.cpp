// SPDX-License-Identifier: GPL-3.0-or-later
// The audio pump: idle, receive and transmit, one block at a time, paced by
// the sound card's blocking reads and writes. A playback device that fails
// ends the transmission at once, and a guard unkeys should the pump ever
// stop while keyed.

#include "audio/audio_pump.h"

#include "audio/audio_block.h"
#include "audio/level_control.h"
#include "audio/station_feed.h"
#include "audio/tx_source.h"
#include "config/notice.h"
#include "link/link_sender.h"
#include "link/link_state.h"
#include "ptt/ptt.h"
#include "sound/sound.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace marvane::audio {

namespace {

// The pump's own buffers; the window reads copies through
// storeLevelledSamples / storeTxBlock, so none of these is shared.
SampleBlock captureBlock{};
SampleBlock pumpTxBlock{};
double levelled[kBlockSamples] = {};

std::atomic<PumpHeartbeat> heartbeat{nullptr};

// Blocks begun, for the keying guard; and the transmission keyed now (0 for
// none), which whoever unkeys first takes back.
std::atomic<unsigned> blocksBegun{0};
std::atomic<unsigned> keyedTransmission{0};
unsigned transmissions = 0;

void beat() {
    blocksBegun.fetch_add(1, std::memory_order_relaxed);
    if (PumpHeartbeat b = heartbeat.load(std::memory_order_relaxed)) b();
}

// The pump waits only for the sound device, and those waits end on the
// device's own clock; should it ever stand still anywhere else while keyed
// (a keying call or a device open that does not return), the guard unkeys
// and ends the transmission. Counted in its own ticks, so that a process
// stopped and continued (Ctrl+Z) does not look like a pump standing still.
constexpr auto kGuardTick = std::chrono::milliseconds(250);
constexpr int kGuardTicks = 12;  // 3 s

[[noreturn]] void runKeyGuard() {
    unsigned seen = blocksBegun.load();
    int still = 0;
    for (;;) {
        std::this_thread::sleep_for(kGuardTick);
        const unsigned begun = blocksBegun.load();
        unsigned keyed = keyedTransmission.load();
        if (keyed == 0 || begun != seen || sound::waitingForDevice()) {
            seen = begun;
            still = 0;
            continue;
        }
        if (++still < kGuardTicks || !keyedTransmission.compare_exchange_strong(keyed, 0))
            continue;
        ptt::pttOff();
        link::transition(link::LinkEvent::deviceFailed);
        config::notice("transmitter unkeyed: the audio pump has stood still for %d s",
                       kGuardTicks * static_cast<int>(kGuardTick.count()) / 1000);
        still = 0;
    }
}

void startKeyGuard() {
    try {
        std::thread(runKeyGuard).detach();
    } catch (const std::exception&) {
        // Without the guard the pump's own bounded waits still unkey.
    }
}

// The mode box shows the stage, and in idle and receive, while a sound
// device is lost, that instead.
const char* stageMode = " ";
const char* shownTrouble = "";

void showMode(const StatusSink* sink, const char* stage) {
    stageMode = stage;
    shownTrouble = sound::soundTroubleWord();
    const bool transmitting = stage[0] == 'T';
    sink->setModeText(shownTrouble[0] != '\0' && !transmitting ? shownTrouble : stage);
}

// A device lost or back since the last block is shown at once.
void followSoundTrouble(const StatusSink* sink) {
    if (sound::soundTroubleWord() != shownTrouble) showMode(sink, stageMode);
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
    startKeyGuard();
    sound::configureCapture(kBlockSamples, kSampleRate);
    sound::configurePlayback(kBlockSamples, kSampleRate);

    for (;;) {
        // Idle: keep levelling so that the display and the gain run on.
        sink->setAddressText("idle");
        showMode(sink, " ");
        sink->setInfoText(" ");
        while (state.clientConnected.load() == 0) {
            captureAndLevel();
            followSoundTrouble(sink);
        }

        // Receive: each levelled block goes to the client.
        char address[16];
        state.copyPeerAddress(address);
        sink->setAddressText(address);
        showMode(sink, "RX");
        sink->setLevelBar(0);
        while (state.rxStreaming.load() != 0) {
            captureAndLevel();
            link::sendRxAudio(levelled, kBlockSamples);
            followSoundTrouble(sink);
        }

        // Transmit: entered on every cycle, even when the loop does not run
        // (the client went away while receiving); the transmitter is keyed
        // only when there is something to transmit, and a device to play it.
        if (state.txActive.load() == 0) {
            sink->passTransmitStage();
        } else if (sound::playbackDeviceLost()) {
            if (link::transition(link::LinkEvent::deviceFailed))
                config::notice("transmission refused: the playback device is lost");
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sink->passTransmitStage();
        } else {
            showMode(sink, "TX");
            const unsigned transmission = ++transmissions == 0 ? ++transmissions : transmissions;
            keyedTransmission.store(transmission);
            ptt::pttOn();
            while (state.txActive.load() != 0) {
                beat();
                fillTxBlock(pumpTxBlock.data(), kBlockSamples);
                storeTxBlock(pumpTxBlock.data());
                publishFeedBlock(stationFeed, FeedKind::transmit, pumpTxBlock.data(), kBlockSamples);
                sound::writePlaybackBlock(pumpTxBlock.data());
                // No keyed carrier without audio: unkeyed within this block.
                if (sound::playbackDeviceLost()) {
                    if (link::transition(link::LinkEvent::deviceFailed))
                        config::notice("transmission ended: the playback device failed");
                    break;
                }
            }
            keyedTransmission.store(0);
            ptt::pttOff();
        }
    }
}

} // namespace marvane::audio
