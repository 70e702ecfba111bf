// SPDX-License-Identifier: GPL-3.0-or-later
// What the PortAudio back end offers beyond the wave service: its start, its
// device filter, the sound libraries' prints kept off the screen, and a knob
// for tests. marvane-client's live audio uses PortAudio through these too.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace marvane::sound::wave::portaudio {

// PortAudio keeps its open streams in a list of its own without a lock:
// opening, starting, stopping and closing streams, and its start and end,
// take turns through this lock wherever they happen. Reading and writing a
// stream does not take it.
std::mutex& callLock();

template <class F>
auto serialized(F call) {
    std::lock_guard<std::mutex> guard(callLock());
    return call();
}

// Pa_Initialize, with ALSA's own error messages off, the libraries' prints
// filtered (filterLibraryPrints) and without starting a JACK server. True
// when PortAudio is ready (Pa_Terminate ends it).
bool initialize();

// From the first call on, the process's `stderr` leaves out the lines that
// PortAudio, ALSA and JACK print about their inner failures ("Expression
// '...' failed in 'src/hostapi/...", "ALSA lib ...", JACK's "Cannot connect
// to server ..."), and passes every other line on to descriptor 2 as it
// comes. Descriptor 2 itself is left alone.
void filterLibraryPrints();
// A stream that filters so onto fd (never closed); null when none can be made.
std::FILE* openLibraryPrintFilter(int fd);
// Whether a line is one of those prints.
bool isLibraryPrint(const char* line);

// The sound cards ALSA knows now, one line of number and name each.
// PortAudio builds its device list only when it starts: a card that has come
// since (plugged in, or back under another number) is missing from it, while
// one gone only fails to open.
std::string cardList();
// Whether ALSA has a card now that `before` (a cardList) lacks.
bool cardAdded(const std::string& before);

// Opens devices at this rate instead of the stream's (0: off), so that tests
// can run the conversion path on a sound server that takes any rate.
void forceDeviceRate(int rate);
// ALSA's pseudo devices (surround*, front, dmix, sysdefault, ...), which the
// device lists leave out.
bool isPseudoDevice(const char* name);
// A device of PortAudio's list (by its index) that the device lists show:
// one of ALSA's, and no pseudo device.
bool isListedDevice(int index);
// The text of a PortAudio error, with the sound system's own words for a
// host error ("No such device").
std::string errorText(int paError);

}  // namespace marvane::sound::wave::portaudio
