// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The audio pump: the thread that moves audio between the sound card and the
// link, cycling through idle, receive and transmit.

namespace marvane::audio {

// Where the pump shows its stage: the main window's status boxes and level
// bar, or the headless log. Each call only hands the change on: the pump
// never waits for it to be shown.
struct StatusSink {
    void (*setAddressText)(const char* text);
    void (*setModeText)(const char* text);
    void (*setInfoText)(const char* text);
    void (*setLevelBar)(int position);
    // The transmit stage passed through without a transmission (the client
    // went away, or only listened): the window shows "TX" for a moment as
    // the mode box always has; a log says nothing of it.
    void (*passTransmitStage)();
};

// Thread body; never returns.
void runAudioPump(const StatusSink* sink);

// Called by the pump once for every block it captures or plays, so that a
// watcher can tell a running pump from a hung one. Null (the default) for
// none; set before the pump starts.
using PumpHeartbeat = void (*)();
void setPumpHeartbeat(PumpHeartbeat hook);

} // namespace marvane::audio
