# SPDX-License-Identifier: GPL-3.0-or-later
"""Closing the real marvane's main window under Xvfb, and the keys and
commands that must not close it: the close box during a transmission exits 0
with the transmitter unkeyed; Alt+F4 and "Exit" close it too; Escape and
Enter do nothing; the "Com Port" commands open and remember the PTT port.
The PTT port is a pseudo-terminal whose modem lines the tiocm shim keeps.

usage: test_window_close.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77
# ctest: TIMEOUT 600

import subprocess
import sys
import unittest

from harness import RATE, Pty, tone, write_wav
import windowharness as wh

MARVANE = CLIENT = None
XVFB = None

KEYED = "RTS=1 DTR=1"
UNKEYED = "RTS=0 DTR=0"


def ptt_lines(station):
    """The modem-line shim's log of the station's PTT port."""
    return station.shim_log().splitlines()


class Close(unittest.TestCase):
    def start(self, files=None, shim=False):
        self.station = wh.Station(MARVANE, XVFB, files=files, shim=shim)
        self.addCleanup(self.station.close)
        return self.station

    def pty(self):
        pty = Pty()
        self.addCleanup(pty.close)
        return pty

    def test_close_box_during_transmission_exits_and_unkeys(self):
        # Catches a close box that does not end the program, an exit code
        # other than 0, and a transmitter left keyed.
        pty = self.pty()
        station = self.start({"comports.txt": "COM1 %s\n" % pty.name, "txport.bin": "1 comport\n"},
                             shim=True)
        tx = station.path("tx.wav")
        write_wav(tx, tone(700, 8000, 30 * RATE))
        station.wait_listening()  # the client tries once
        client = subprocess.Popen([CLIENT, "127.0.0.1:%d" % station.port, "--tx", tx, "--quiet"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(client.wait)
        self.addCleanup(client.kill)
        wh.wait_until("the transmitter keyed",
                      lambda: ptt_lines(station) and ptt_lines(station)[-1].endswith(KEYED))

        station.close_window()
        self.assertEqual(station.wait_exit(), 0)
        lines = ptt_lines(station)
        self.assertTrue(lines[-1].endswith(UNKEYED), lines)

    def test_alt_f4_closes(self):
        # Catches Alt+F4 ignored by a window with no window manager to take it.
        station = self.start()
        station.desktop.focus(station.window)
        station.desktop.key("alt+F4")
        self.assertEqual(station.wait_exit(), 0)

    def test_exit_command_closes(self):
        station = self.start()
        station.choose("Exit")
        self.assertEqual(station.wait_exit(), 0)

    def test_escape_and_enter_do_nothing(self):
        # Catches FLTK's default of closing a window on Escape. The keys go
        # first; the view command after them is handled after them, so once
        # the scope shows, the keys have been handled too.
        station = self.start()
        station.desktop.focus(station.window)
        station.desktop.key("Escape", "Return", "KP_Enter", "Escape")
        station.choose("Display", "Scope")
        wh.wait_until("the scope", lambda: any(
            p == (0, 255, 0) for row in station.view() for p in row))
        self.assertIsNone(station.proc.poll())
        self.assertEqual(station.desktop.find_window(wh.TITLE), station.window)
        station.close_window()
        self.assertEqual(station.wait_exit(), 0)

    def test_com_port_commands_open_and_remember_the_port(self):
        # Catches port items wired to the wrong choice, a choice not saved,
        # and a port not opened (or left keyed) by the command.
        pty = self.pty()
        # COM4 is a device that does not exist: a test never opens a real
        # serial port.
        station = self.start({"comports.txt": "COM2 %s\nCOM4 /nonexistent/marvane-com4\n" % pty.name},
                             shim=True)
        self.assertEqual(ptt_lines(station), [])

        station.choose("Com Port", "Com2")
        wh.wait_until("txport.bin with Com2", lambda: station.file("txport.bin") == "2 comport\n")
        wh.wait_until("the port opened", lambda: ptt_lines(station))
        self.assertTrue(ptt_lines(station)[-1].endswith(UNKEYED), ptt_lines(station))

        station.choose("Com Port", "None")
        wh.wait_until("txport.bin with none", lambda: station.file("txport.bin") == "0 comport\n")
        self.assertTrue(ptt_lines(station)[-1].startswith("close"), ptt_lines(station))

        before = ptt_lines(station)
        station.choose("Com Port", "Com4")
        wh.wait_until("txport.bin with Com4", lambda: station.file("txport.bin") == "4 comport\n")
        self.assertEqual(ptt_lines(station), before)  # saved, though it did not open


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    XVFB = wh.Xvfb()
    wh.run_tests(XVFB)
