// SPDX-License-Identifier: GPL-3.0-or-later
// The sound card interface: a capture and a playback stream of four buffers
// each over the wave service, the device lists, the remembered device choice
// ("scconfig.txt") and the logic of the sound card selection dialog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace marvane::sound {

// ---- streams and device lists ----

// Resets both streams, builds both device lists (at most 8 devices each) and
// creates the streams' events. Prints "No audio device found." when a list is
// empty. Call once at start-up, before the audio pump runs.
void initSoundCards();

int inputDeviceCount();
int outputDeviceCount();
// The name of device i, 0 <= i < count ("" outside that range), as the
// dialog lists it: at most 31 characters, a longer name cut in the middle.
const char* inputDeviceName(int i);
const char* outputDeviceName(int i);
// The whole name of device i ("" outside the range or when unknown).
const char* inputDeviceFullName(int i);
const char* outputDeviceFullName(int i);
// The listed device that the system's default device (-1) is, or -1 when it
// is none of them.
int inputDefaultDevice();
int outputDefaultDevice();

// Audio pump thread only. Rebuild the four buffers for blocks of blockSamples
// samples; capture reopens its device when a select asked for it, playback
// always reopens and starts with four blocks of silence.
void configureCapture(int blockSamples, int rate);
void configurePlayback(int blockSamples, int rate);

// Audio pump thread only. Copies the next captured block into dest; true when
// all four buffers were full (input is being lost). A blocking stream
// without a working device returns false after about one block's time with
// dest silent; a non-blocking one returns false at once, dest unchanged.
bool readCaptureBlock(std::int16_t* dest);
// Audio pump thread only. Queues one block; true when the output had run dry
// (restarted behind two blocks of silence) or the block was dropped (no free
// buffer on a non-blocking stream, or no working device).
bool writePlaybackBlock(const std::int16_t* src);

// Any thread. Marks the stream so that its next read or write reopens device
// `number`; numbers at or above the device count mean the system's default
// device (-1).
void selectCaptureDevice(int number, bool blocking);
void selectPlaybackDevice(int number, bool blocking);

// Closes both devices (tests, and an orderly exit). The next read or write
// opens them again.
void closeSoundDevices();

// ---- the capture as it arrives ----
//
// For listeners that should not wait for whole blocks: called on the capture
// device's own thread with each piece it delivers (mono, at the stream's
// rate, a few hundred samples at a time), in order, whether the pump reads
// or not (it does not while transmitting). One call at a time; it must
// never block. Nothing is delivered while a device is lost. Set once at
// start-up; null (the default) for none.
using CaptureTap = void (*)(const std::int16_t* samples, std::size_t count);
void setCaptureTap(CaptureTap tap);

// ---- devices that go away and come back ----
//
// A device that fails while open (unplugged, its sound server gone), that
// keeps time but finishes no buffer for 2 s (it hangs), or that does not
// open is lost: one notice says so ("capture device lost: NAME: REASON"),
// the stream closes it without waiting for it, and from then on reads give
// silence and writes drop their block, at the pace of a working device, so
// that the pump keeps its pace. Every 2 s the capture reads look for each
// lost device again, rebuilding the device lists when the system has a sound
// card they lack: first by the name of setDeviceNames, then by the whole name
// of the lost device (which finds a card that came back under another
// number), or, for the system's default device, that again; never another
// device in its place. It is back, one notice again ("capture device back:
// NAME"), once it has finished a buffer. Writes never look: a transmission
// is not interrupted for it, and a lost playback device ends one.

// The names a lost device is looked for by first: the lines of
// "scnames.txt", or the whole names of the devices chosen in the dialog; ""
// for none. Any thread.
void setDeviceNames(const std::string& playbackName, const std::string& captureName);

// Whether a device is lost. Any thread.
bool captureDeviceLost();
bool playbackDeviceLost();
// Seconds since the device lost first was lost; 0 while both work. Any thread.
double soundDeviceLostSeconds();
// For the window's mode box: "" while both work, else "no capture device",
// "no playback device" or "no sound devices" (a constant text each).
const char* soundTroubleWord();

// Told of each loss and return, on the thread of the stream call that saw
// it, with the whole text: "" when both devices work, else "capture device
// lost: NAME: REASON" and the same for playback, joined by "; ". Null for none.
using SoundStatusObserver = void (*)(const char* text);
void setSoundStatusObserver(SoundStatusObserver observer);

// Whether a stream call is waiting for its device to finish a buffer (a wait
// the device's own clock bounds). Any thread.
bool waitingForDevice();

// ---- device choice ----

// Positions chosen in the output and input lists, -1 for none; 0 at start.
// Window thread only.
extern int playbackChoice;
extern int captureChoice;

// The devices remembered by name in "scnames.txt": the playback device's
// whole name on line 1, the capture device's on line 2; "" for none. Window
// thread only.
extern std::string playbackChoiceName;
extern std::string captureChoiceName;

// Reads "scconfig.txt" from the working directory into the choices, and
// "scnames.txt" into the choice names.
void loadSoundCardChoice();
// Writes the choices to "scconfig.txt" ("%d SCout\n%d SCin\n").
void saveSoundCardChoice();
// Writes the whole names of the chosen devices to "scnames.txt" (an empty
// line for a choice that is no listed device) and keeps them as the names.
void saveSoundCardNames();
// The device that a remembered name stands for: the device of that whole
// name, else the first whose name contains it ignoring case; a name ending
// in ALSA's card number ("(hw:1,0)"), when that finds none, is looked for
// again without it, so that a card renumbered since is still found. -1 for
// none (and for an empty name).
int findDeviceByName(const std::string& name, int count, const char* (*fullName)(int));
// After initSoundCards: each choice name that finds a device chooses it; a
// name that finds none is a notice, once, and leaves the number as it is.
void resolveSoundCardNames();
// initSoundCards, resolveSoundCardNames, then selects the playback and the
// capture device from the choices, both blocking, and has a lost device
// looked for by the choice names.
void applySoundCardChoice();

// For an operator without a screen: loads the choices, builds the device
// lists and prints both, numbered as "scconfig.txt" counts them, each device
// with its whole name, the system's default device and the device the
// choices select marked.
void printDeviceLists();

// ---- the sound card selection dialog ----

// One list box of the dialog, as the dialog's window provides it.
struct SoundCardList {
    void* widget;
    void (*resetContent)(void* widget);                // empty the list
    void (*addString)(void* widget, const char* name); // append an entry
    void (*setCurSel)(void* widget, int position);     // select; -1 selects nothing
    int (*getCurSel)(void* widget);                    // selected position, -1 for none
};

enum class SoundCardDialogEvent {
    init,      // the dialog opens: fill both lists, preselect the choices
    ok,        // OK button or Enter: take both selections, select, save
    closeBox,  // the window's close box: close without changing anything
    escape,    // Escape: nothing, the dialog stays open
    other,     // anything else: nothing
};

// Does what the event means; true when the dialog is to close now.
bool soundCardDialog(SoundCardDialogEvent event, const SoundCardList& inputList,
                     const SoundCardList& outputList);

}  // namespace marvane::sound
