// SPDX-License-Identifier: GPL-3.0-or-later
// A keying method: the few calls that key and unkey one kind of transmitter
// control, chosen once at start-up. The calls are made one at a time (the
// front in ptt.cpp holds its lock around each), so a method keeps its state
// without a lock of its own.
#pragma once

#include "config/settings.h"

namespace marvane::ptt {

struct KeyingMethod {
    const char* name;  // "serial", "hamlib", "none"
    // Opens what it keys with, unkeyed; a failure is noticed and tried again
    // at the next keying call, never fatal.
    void (*start)(const config::PttSettings& settings);
    // Keys (on) or unkeys the transmitter. Never throws, waits for one bounded
    // exchange at most; a failure is one notice ("ptt on failed: ...").
    void (*key)(bool on);
    // Lets go of what it keys with; the transmitter was unkeyed before.
    void (*stop)();
};

const KeyingMethod& serialKeying();
const KeyingMethod& hamlibKeying();

}  // namespace marvane::ptt
