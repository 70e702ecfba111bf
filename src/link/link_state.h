// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The connection's state and its one owner. The state is one value: no
// client, receive, transmit or draining. Every change of it, whoever asks
// (the link server thread for the client of the link port, the audio pump at
// the end of a transmission, any later kind of client), goes through
// `transition`, which does all that belongs to the change under one lock
// that is never held across I/O: emptying or catching up the transmit ring,
// the drain, the client socket's no-delay switch, and the flags below.
//
// The flags of LinkState are the view that the pump, the window and the web
// station read; nothing but `transition` writes them. The client's rates,
// its info word and the fill reports are data that the frame reader and the
// fill reports write, not state.

#include <atomic>
#include <cstdint>

namespace marvane::link {

enum class Phase : int { noClient, receive, transmit, draining };

// Who holds the station: the client of the link port, or a web operator.
enum class Controller : int { none, linkClient, webOperator };

enum class LinkEvent {
    accepted,      // a controller takes the station: no client -> receive
    transmitAsked, // receive -> transmit, the ring emptied before
    lastChunk,     // the last chunk has arrived: transmit -> draining
    drained,       // the pump found the ring dry while draining: -> receive
    limitReached,  // the pump's silence or time limit: transmit or draining -> receive
    deviceFailed,  // the playback device failed: transmit or draining -> receive
    lost,          // the controller's connection ended: -> no client
};

struct LinkState {
    // The view of the phase, written by transition only.
    std::atomic<int> clientConnected{0};
    std::atomic<int> rxStreaming{1}; // 1 at start although no client is there
    std::atomic<int> txActive{0};
    std::atomic<int> rxPhase{1};
    std::atomic<int> txDrainPending{0};
    std::atomic<int> phase{static_cast<int>(Phase::noClient)};
    std::atomic<int> controller{static_cast<int>(Controller::none)};
    // Transmissions started and connections accepted so far: the pump counts
    // each transmission's blocks from the change of the first.
    std::atomic<int> transmissionsStarted{0};
    std::atomic<int> connectionsAccepted{0};

    // The client's data.
    std::atomic<int> rxHalfRate{0};
    std::atomic<int> txHalfRate{0};
    std::atomic<int> peerInfoChanged{0};
    std::atomic<int> lastReportedFill{0};
    std::atomic<int> blocksSinceReport{0};

    // Dotted-decimal client address, at most 15 characters.
    void copyPeerAddress(char (&out)[16]);
    void storePeerAddress(const char* text);
    // First word of the client's last "I" text, at most 19 characters.
    void copyPeerInfo(char (&out)[20]);
    void storePeerInfo(const char* word);
};

extern LinkState linkState;

// Carries out `event` asked by `who`; false (and nothing changed) when it does
// not apply in the present phase or `who` does not hold the station. The
// pump's events (drained, limitReached, deviceFailed) apply whoever holds it.
bool transition(LinkEvent event, Controller who = Controller::linkClient);

Phase currentPhase();

// The phase, its flags and the controller, read together under the
// transitions' lock: never half of one transition.
struct LinkSnapshot {
    Phase phase;
    Controller controller;
    int clientConnected, rxStreaming, txActive, rxPhase, txDrainPending;
};
LinkSnapshot snapshot();

// The state the program starts in: no client, an empty ring, the client's
// data cleared. Start-up only (and between tests), with no client served.
void resetLinkState();

} // namespace marvane::link
