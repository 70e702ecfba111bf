// SPDX-License-Identifier: GPL-3.0-or-later
// What the PortAudio back end offers beyond the wave service: its device
// filter, its quiet start, and a knob for tests. marvane-client's live audio
// uses PortAudio through these too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace marvane::sound::wave::portaudio {

// PortAudio's probing of JACK and of ALSA's plugins, and its checks when a
// device does not open, print straight to standard error; the operator
// should only see our own messages. Standard error goes to /dev/null for the
// duration of such a call; calls from several threads take turns.
std::mutex& quietLock();

template <class F>
auto quietly(F call) {
    std::lock_guard<std::mutex> guard(quietLock());
    std::fflush(stderr);
    int saved = dup(2);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, 2);
    auto result = call();
    std::fflush(stderr);
    if (saved >= 0 && null >= 0) dup2(saved, 2);
    if (null >= 0) ::close(null);
    if (saved >= 0) ::close(saved);
    return result;
}

// Pa_Initialize, quietly, with ALSA's own error messages off and without
// starting a JACK server. True when PortAudio is ready (Pa_Terminate ends it).
bool initialize();

// Opens devices at this rate instead of the stream's (0: off), so that tests
// can run the conversion path on a sound server that takes any rate.
void forceDeviceRate(int rate);
// ALSA's pseudo devices (surround*, front, dmix, sysdefault, ...), which the
// device lists leave out.
bool isPseudoDevice(const char* name);
// A device of PortAudio's list (by its index) that the device lists show:
// one of ALSA's, and no pseudo device.
bool isListedDevice(int index);

}  // namespace marvane::sound::wave::portaudio
