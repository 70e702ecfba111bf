// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The modal "Sound Card Selection" dialog (template 1001): the input and
// output device lists and OK. What it does is sound::soundCardDialog.

class Fl_Window;

namespace marvane::app {

// Runs the dialog over owner and returns when it has closed. Window thread
// only; the owner's timer and status updates go on meanwhile.
void runSoundCardDialog(Fl_Window* owner);

}  // namespace marvane::app
