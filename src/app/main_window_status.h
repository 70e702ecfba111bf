// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The audio pump's status changes (the three boxes and the level bar) carried
// to the window thread. A change is stored in a mailbox that keeps the latest
// text of each box and the latest bar position, and the window thread is
// woken to show what is pending. The pump never waits for it: a window
// thread busy for seconds (a withdraw request can take 10 s) shows the
// latest of everything once it is free again.

#include "audio/audio_pump.h"

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

// The window is up: changes are now delivered to target.
void openStatusMailbox(const StatusTarget* target);

// The window is gone: later changes are dropped.
void closeStatusMailbox();

// Window thread: shows every change stored since the last call.
void applyPendingStatus();

// The sink the audio pump reports to while the window is up.
const audio::StatusSink* windowStatusSink();

}  // namespace marvane::app
