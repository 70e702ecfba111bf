// SPDX-License-Identifier: GPL-3.0-or-later
// PTT: keys the transmitter by one keying method chosen at start-up from
// [ptt] in "marvane.conf": a serial port's RTS and DTR lines (the Com Port
// menu's port, remembered in "txport.bin"), or a rig driven by hamlib (a CAT
// command, the RTS or DTR line of the rig's port, a CM108 interface's GPIO
// pin, a GPIO line).
#pragma once

#include "ptt/serial.h"

namespace marvane::ptt {

// Chooses the keying method from the settings in force (config::settings(),
// so after config::loadSettings()) and opens what it keys: for serial the
// port of "txport.bin" (openPttPort(loadPttChoice())), for hamlib the rig. A
// notice says which method keys; a rig that does not open is noticed and
// tried again at each keying, never fatal. Whatever keyed before is let go
// first. This is what every program that keys calls first: the station at
// start-up, and a one-shot unkey (loadSettings, startKeying, pttOff,
// stopKeying) that must reach the rig the station keys.
void startKeying();

// Unkeys nothing by itself (call pttOff first): closes what the method keys
// with (the serial port with its lines dropped, the rig), after which keying
// calls do nothing until startKeying runs again. A rig that was being opened
// again is first keyed as the last call asked (the pttOff before), so a
// program that keys must end with it. Shutdown ends with it, so that a keying
// call racing the exit reaches no transmitter.
void stopKeying();

// "serial", "hamlib" or "none" (a bad [ptt] line, or after stopKeying).
const char* keyingMethodName();

// Whether the serial port chosen in the Com Port menu keys: the menu's port
// items do something only then.
bool keyingBySerialPort();

// Port choice: '0' none, '1'..'8' "COM1:".."COM8:", anything else none.
// Drops RTS and DTR on the current port and closes it, opens the chosen one
// and leaves its lines low. Keying meanwhile finds no port and never waits
// for the open. A port that does not open is noticed and tried again at each
// keying call. The port keys only while the serial method is chosen.
void openPttPort(char choice);

// Key / unkey by the chosen method only. Neither throws; each waits for one
// bounded exchange at most (a rig that does not answer costs about 0.5 s).
// Serial: raise RTS, then DTR / drop RTS, then DTR, on the open port; nothing
// without one. Hamlib: set the rig's PTT; after unkeying it is read back where
// the rig can report it, and set again once if it still shows keyed. A change
// that fails is one notice ("ptt on failed: <reason>", "ptt off failed:
// <reason>"), and the next keying call opens the port or the rig again, once,
// before its change.
void pttOn();
void pttOff();

// While the process is stopped (a stop signal) the transmitter must not stay
// keyed: suspendKeying unkeys and holds the transmitter unkeyed against
// keying calls, which are remembered; resumeKeying keys again if the last of
// them was pttOn.
void suspendKeying();
void resumeKeying();

// The choice stored in "txport.bin", or 0 when it cannot be read.
char loadPttChoice();
// Writes "txport.bin" as "%c comport\n".
void savePttChoice(char choice);

// Told of every pttOn (on = 1) and pttOff (on = 0) call, port or not, after the
// lines have changed. Called on the keying thread; null for none.
using PttObserver = void (*)(int on);
void setPttObserver(PttObserver observer);

// Replaces the line-control layer (null: the termios one). A port open through
// the old layer is closed with it first.
void setSerialLines(const SerialLines* lines);

bool pttPortOpen();

}  // namespace marvane::ptt
