// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/frame_reader.h"

namespace marvane::link {

bool knownCommand(uint8_t command) {
    switch (command) {
    case kCmdPing:
    case kCmdVersion:
    case kCmdRates:
    case kCmdInfo:
    case kCmdTransmit:
    case kCmdSamples:
    case kCmdLastSamples:
        return true;
    default:
        return false;
    }
}

int payloadLengthFor(uint8_t command, int argument) {
    if (command != kCmdInfo && command != kCmdSamples && command != kCmdLastSamples) return 0;
    return argument > kMaxPayload ? kMaxPayload : argument;
}

} // namespace marvane::link
