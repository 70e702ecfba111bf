// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The audio pump's status changes (the three boxes and the level bar) carried
// to the window thread. A change is stored in a mailbox that keeps the latest
// text of each box and the latest bar position, the window thread is woken to
// show what is pending, and the pump waits until it has been shown. The wait
// is bounded: once the window is gone a change returns at once, and a window
// thread busy for longer than kStatusWait (a withdraw request can take 10 s)
// does not hold up the audio; the change is then shown when the window
// thread is free again, nothing being lost but the order against the pump.

#include "audio/audio_pump.h"

#include <chrono>

namespace marvane::app {

enum class StatusBox { address, mode, info };

// How the mailbox reaches the window. showText and showLevel run on the
// window thread only; wakeWindowThread may be called from any thread and has
// applyPendingStatus run on the window thread soon (false when it cannot).
struct StatusTarget {
    void (*showText)(StatusBox box, const char* text);
    void (*showLevel)(int position);
    bool (*wakeWindowThread)();
};

inline constexpr std::chrono::milliseconds kStatusWait{1000};

// The window is up: changes are now delivered to target and waited for.
// wait bounds each change's wait (kStatusWait but in tests).
void openStatusMailbox(const StatusTarget* target,
                       std::chrono::milliseconds wait = kStatusWait);

// The window is gone: waiting changes return at once, later ones are dropped.
void closeStatusMailbox();

// Window thread: shows every change stored since the last call.
void applyPendingStatus();

// The sink the audio pump reports to while the window is up.
const audio::StatusSink* windowStatusSink();

}  // namespace marvane::app
