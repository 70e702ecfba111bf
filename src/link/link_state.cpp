// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_state.h"

#include "link/link_sender.h"
#include "link/tx_ring.h"

#include <cstring>
#include <mutex>

namespace marvane::link {

LinkState linkState;

namespace {

std::mutex transitionGuard;
// Guards the two texts, so that no reader sees half of one.
std::mutex textGuard;
char peerAddressText[16] = {};
char peerInfoText[20] = {};

template <size_t N>
void copyText(char (&to)[N], const char* from) {
    size_t length = std::strlen(from);
    if (length > N - 1) length = N - 1;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

Phase phaseNow() { return static_cast<Phase>(linkState.phase.load()); }
Controller controllerNow() { return static_cast<Controller>(linkState.controller.load()); }

// The row of the table for each phase, in the order the readers rely on:
// txActive is raised before rxStreaming is cleared, and cleared before
// rxStreaming is raised again.
void enter(Phase phase) {
    LinkState& s = linkState;
    s.phase = static_cast<int>(phase);
    switch (phase) {
    case Phase::noClient:
        s.clientConnected = 0;
        s.txActive = 0;
        s.rxStreaming = 0;
        s.txDrainPending = 0;
        s.controller = static_cast<int>(Controller::none);
        break;
    case Phase::receive:
        s.txDrainPending = 0;
        s.rxPhase = 1;
        s.txActive = 0;
        s.rxStreaming = 1;
        s.clientConnected = 1;
        break;
    case Phase::transmit:
        s.rxPhase = 0;
        s.txActive = 1;
        s.rxStreaming = 0;
        s.txDrainPending = 0;
        break;
    case Phase::draining:
        s.txDrainPending = 1;
        break;
    }
}

bool transmitting(Phase p) { return p == Phase::transmit || p == Phase::draining; }

} // namespace

void LinkState::copyPeerAddress(char (&out)[16]) {
    std::lock_guard lock(textGuard);
    std::memcpy(out, peerAddressText, sizeof out);
}

void LinkState::storePeerAddress(const char* text) {
    std::lock_guard lock(textGuard);
    copyText(peerAddressText, text);
}

void LinkState::copyPeerInfo(char (&out)[20]) {
    std::lock_guard lock(textGuard);
    std::memcpy(out, peerInfoText, sizeof out);
}

void LinkState::storePeerInfo(const char* word) {
    std::lock_guard lock(textGuard);
    copyText(peerInfoText, word);
}

bool transition(LinkEvent event, Controller who) {
    std::lock_guard lock(transitionGuard);
    const Phase phase = phaseNow();
    const bool holder = who == controllerNow();
    switch (event) {
    case LinkEvent::accepted:
        if (phase != Phase::noClient || who == Controller::none) return false;
        // Nothing an earlier client left in the ring, or its drain, carries over.
        ringReset();
        linkState.controller = static_cast<int>(who);
        linkState.connectionsAccepted.fetch_add(1);
        enter(Phase::receive);
        return true;
    case LinkEvent::transmitAsked:
        if (phase != Phase::receive || !holder) return false;
        // Emptied before the pump can see the transmission: nothing that
        // arrived before the "T" is played in it.
        ringReset();
        linkState.transmissionsStarted.fetch_add(1);
        enter(Phase::transmit);
        if (who == Controller::linkClient) setClientNoDelay(1);
        return true;
    case LinkEvent::lastChunk:
        if (!transmitting(phase) || !holder) return false;
        enter(Phase::draining);
        return true;
    case LinkEvent::drained:
        if (phase != Phase::draining) return false;
        break;
    case LinkEvent::limitReached:
    case LinkEvent::deviceFailed:
        if (!transmitting(phase)) return false;
        break;
    case LinkEvent::lost:
        if (phase == Phase::noClient || !holder) return false;
        ringReset();
        enter(Phase::noClient);
        return true;
    }
    // The end of a transmission, back to receive.
    ringCatchUp();
    if (controllerNow() == Controller::linkClient) setClientNoDelay(0);
    enter(Phase::receive);
    return true;
}

Phase currentPhase() { return phaseNow(); }

LinkSnapshot snapshot() {
    std::lock_guard lock(transitionGuard);
    const LinkState& s = linkState;
    return {phaseNow(), controllerNow(), s.clientConnected, s.rxStreaming,
            s.txActive,  s.rxPhase,      s.txDrainPending};
}

void resetLinkState() {
    {
        std::lock_guard lock(transitionGuard);
        LinkState& s = linkState;
        ringReset();
        enter(Phase::noClient);
        s.rxStreaming = 1;
        s.rxPhase = 1;
        s.rxHalfRate = 0;
        s.txHalfRate = 0;
        s.peerInfoChanged = 0;
        s.lastReportedFill = 0;
        s.blocksSinceReport = 0;
    }
    linkState.storePeerAddress("");
    linkState.storePeerInfo("");
}

} // namespace marvane::link
