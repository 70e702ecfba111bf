// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The audio pump: the thread that moves audio between the sound card and the
// link, cycling through idle, receive and transmit.

namespace marvane::audio {

// Where the pump shows its stage: the main window's status boxes and level
// bar, or the headless log. Each call returns once the change is shown (or,
// for the window, once it is gone and cannot show it any more).
struct StatusSink {
    void (*setAddressText)(const char* text);
    void (*setModeText)(const char* text);
    void (*setInfoText)(const char* text);
    void (*setLevelBar)(int position);
};

// Thread body; never returns.
void runAudioPump(const StatusSink* sink);

// Called by the pump once for every block it captures or plays, so that a
// watcher can tell a running pump from a hung one. Null (the default) for
// none; set before the pump starts.
using PumpHeartbeat = void (*)();
void setPumpHeartbeat(PumpHeartbeat hook);

} // namespace marvane::audio
