// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/tx_source.h"

#include "audio/audio_block.h"
#include "config/notice.h"
#include "config/settings.h"
#include "link/link_protocol.h"
#include "link/link_sender.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <cstring>
#include <mutex>

namespace marvane::audio {

const float txFilterTaps[kTxFilterTaps] = {
    -0.000317f, 0.001323f,  0.000932f,  -0.001885f, -0.002461f, 0.002558f,  0.005509f,
    -0.002453f, -0.010403f, 0.000253f,  0.017036f,  0.005774f,  -0.024815f, -0.018050f,
    0.032744f,  0.041281f,  -0.039618f, -0.091370f, 0.044292f,  0.312895f,  0.453550f,
    0.312895f,  0.044292f,  -0.091370f, -0.039618f, 0.041281f,  0.032744f,  -0.018050f,
    -0.024815f, 0.005774f,  0.017036f,  0.000253f,  -0.010403f, -0.002453f, 0.005509f,
    0.002558f,  -0.002461f, -0.001885f, 0.000932f,  0.001323f,  -0.000317f};

namespace {

// d[40] is the newest input, d[0] the oldest; audio pump thread only.
float txFilterDelay[kTxFilterTaps] = {};

std::mutex txBlockGuard;
int16_t txBlock[kBlockSamples] = {};

// The blocks of the transmission in progress, counted on the pump thread from
// the "T" that started it: all of them, and the latest run of silent ones.
int countedTransmission = -1;
int transmissionBlocks = 0;
int silentBlocks = 0;

// Blocks in `seconds` of audio, rounded up; 0 (no limit) stays 0.
int blocksIn(int seconds) {
    return static_cast<int>((static_cast<long long>(seconds) * kSampleRate + kBlockSamples - 1) /
                            kBlockSamples);
}

} // namespace

int interpolateTx(int16_t x) {
    for (int i = 0; i < kTxFilterTaps - 1; ++i)
        txFilterDelay[i] = txFilterDelay[i + 1];
    txFilterDelay[kTxFilterTaps - 1] = static_cast<float>(x);
    // The product of two floats is exact in double; the sum is rounded to
    // single precision after each addition.
    float sum = 0.0f;
    for (int i = 0; i < kTxFilterTaps; ++i)
        sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(txFilterDelay[i]) *
                                                                static_cast<double>(txFilterTaps[i]));
    return static_cast<int>(sum);
}

void clearTxFilterDelay() { std::memset(txFilterDelay, 0, sizeof txFilterDelay); }

void fillTxBlock(int16_t* samples, int count) {
    using link::linkState;
    const int transmission = linkState.transmissionsStarted.load();
    if (transmission != countedTransmission) {
        countedTransmission = transmission;
        transmissionBlocks = 0;
        silentBlocks = 0;
    }
    // A transmission that has lasted its longest ends with a silent block,
    // as a drained one does.
    const int longest = blocksIn(config::settings().transmit.maxSeconds);
    if (++transmissionBlocks == longest &&
        link::transition(link::LinkEvent::limitReached)) {
        config::notice("transmission ended: it lasted %d s, the longest allowed",
                       config::settings().transmit.maxSeconds);
        std::memset(samples, 0, sizeof(int16_t) * static_cast<size_t>(count));
        return;
    }

    if (linkState.txDrainPending == 0) {
        if (linkState.blocksSinceReport.fetch_add(1) + 1 >= 2)
            link::sendFillReport();
    }

    // The fill test and the takes hold the ring, so that a reset by a
    // transition (a lost connection) lands before or after them, never in
    // between. Not held for the fill report nor for ending the transmission,
    // which take it themselves.
    {
        std::unique_lock ring = link::holdRing();
        if (link::heldRingFill() >= count) {
            silentBlocks = 0;
            if (linkState.txHalfRate == 1) {
                for (int k = 0; k < count / 2; ++k) {
                    int16_t v = link::decodeLinkByte(link::ringTake());
                    samples[2 * k] = v;
                    samples[2 * k + 1] = v;
                }
                ring.unlock();
                for (int i = 0; i < count; ++i)
                    samples[i] =
                        static_cast<int16_t>(static_cast<uint16_t>(interpolateTx(samples[i]) & 0xFFFF));
                return;
            }
            for (int i = 0; i < count; ++i)
                samples[i] = link::decodeLinkByte(link::ringTake());
            return;
        }
    }

    // Too little waits: silence. After the last chunk that ends the
    // transmission; without one, so does a client that has sent nothing for
    // too long (a frozen client program keeps its connection).
    std::memset(samples, 0, sizeof(int16_t) * static_cast<size_t>(count));
    if (linkState.txDrainPending == 1) {
        link::transition(link::LinkEvent::drained);
        return;
    }
    const int quiet = blocksIn(config::settings().transmit.silenceSeconds);
    if (++silentBlocks == quiet && link::transition(link::LinkEvent::limitReached))
        config::notice("transmission ended: no audio from the client for %d s",
                       config::settings().transmit.silenceSeconds);
}

void storeTxBlock(const int16_t* in) {
    std::lock_guard lock(txBlockGuard);
    std::memcpy(txBlock, in, sizeof txBlock);
}

void copyTxBlock(int16_t* out) {
    std::lock_guard lock(txBlockGuard);
    std::memcpy(out, txBlock, sizeof txBlock);
}

} // namespace marvane::audio
