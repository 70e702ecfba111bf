// PTT: keys the transmitter by raising a serial port's RTS and DTR lines, and
// remembers the chosen port in "txport.bin".
#pragma once

#include "ptt/serial.h"

namespace marvane::ptt {

// Port choice: '0' none, '1'..'8' "COM1:".."COM8:", anything else none.
// Drops RTS and DTR on the current port and closes it, opens the chosen one
// and leaves its lines low. Keying meanwhile finds no port and never waits
// for the open. A port that does not open is noticed and tried again at each
// keying call.
void openPttPort(char choice);

// Raise RTS, then DTR / drop RTS, then DTR, on the open port; nothing without
// one. A line change that fails is noticed ("ptt on failed: <reason>"), and
// the next keying call opens the chosen port again, once, before its change.
void pttOn();
void pttOff();

// While the process is stopped (a stop signal) the transmitter must not stay
// keyed: suspendKeying drops the lines and holds them down against keying
// calls, which are remembered; resumeKeying keys again if the last of them
// was pttOn.
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
