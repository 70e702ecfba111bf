// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The check the tests and the fuzzer make of the link's state: the flags
// that the rest of the station reads are the row of the connection state
// table for the phase.

#include "link/link_state.h"

namespace marvane::testing {

inline bool flagsMatchPhase(const link::LinkSnapshot& s) {
    using link::Controller;
    using link::Phase;
    switch (s.phase) {
    case Phase::noClient:
        // rxStreaming is 1 only before the first client.
        return s.clientConnected == 0 && s.txActive == 0 && s.txDrainPending == 0 &&
               s.controller == Controller::none;
    case Phase::receive:
        return s.clientConnected == 1 && s.rxPhase == 1 && s.rxStreaming == 1 &&
               s.txActive == 0 && s.txDrainPending == 0;
    case Phase::transmit:
        return s.clientConnected == 1 && s.rxPhase == 0 && s.rxStreaming == 0 &&
               s.txActive == 1 && s.txDrainPending == 0;
    case Phase::draining:
        return s.clientConnected == 1 && s.rxPhase == 0 && s.rxStreaming == 0 &&
               s.txActive == 1 && s.txDrainPending == 1;
    }
    return false;
}

} // namespace marvane::testing
