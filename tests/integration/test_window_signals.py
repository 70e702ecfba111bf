# SPDX-License-Identifier: GPL-3.0-or-later
"""SIGINT and SIGTERM end the real marvane's main window under Xvfb the way
its close box does: the transmitter unkeyed (the PTT port a pseudo-terminal
whose modem lines the tiocm shim keeps), the station withdrawn from the web
directory on 127.0.0.1:80 while announcing is on, exit code 0. SIGPIPE is
ignored.

usage: test_window_signals.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77
# ctest: TIMEOUT 600

import os
import signal
import subprocess
import sys
import unittest

from harness import RATE, Pty, require_private_network, tone, write_wav
import windowharness as wh

MARVANE = CLIENT = None
XVFB = None

KEYED = "RTS=1 DTR=1"
UNKEYED = "RTS=0 DTR=0"
PATH = "/window-signals-%d" % os.getpid()
URL_TXT = "127.0.0.1\n%s\nT3ST\n14.2\nJO00aa\n" % PATH
ANNOUNCE = "GET %s/vela.php?call=T3ST&qrg=14.2&loc=JO00aa HTTP/1.0" % PATH
WITHDRAW = "GET %s/vela.php?call=T3ST&qrg=.0. HTTP/1.0" % PATH


def ptt_lines(station):
    """The modem-line shim's log of the station's PTT port."""
    return station.shim_log().splitlines()


class Signals(unittest.TestCase):
    def start(self, files=None, shim=False):
        station = wh.Station(MARVANE, XVFB, files=files, shim=shim)
        self.addCleanup(station.close)
        return station

    def test_sigterm_during_transmission_unkeys_withdraws_and_exits_0(self):
        # Catches a window run that SIGTERM kills outright (exit by signal,
        # both lines left up, no withdraw) or that ignores it.
        directory = wh.Directory(PATH)
        self.addCleanup(directory.stop)
        pty = Pty()
        self.addCleanup(pty.close)
        station = self.start({"comports.txt": "COM1 %s\n" % pty.name,
                              "txport.bin": "1 comport\n", "url.txt": URL_TXT}, shim=True)
        self.assertEqual(directory.wait_count(1), [ANNOUNCE])
        tx = station.path("tx.wav")
        write_wav(tx, tone(700, 8000, 30 * RATE))
        station.wait_listening()  # the client tries once
        client = subprocess.Popen([CLIENT, "127.0.0.1:%d" % station.port, "--tx", tx, "--quiet"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(client.wait)
        self.addCleanup(client.kill)
        wh.wait_until("the transmitter keyed",
                      lambda: ptt_lines(station) and ptt_lines(station)[-1].endswith(KEYED))

        station.proc.send_signal(signal.SIGTERM)
        self.assertEqual(station.wait_exit(), 0, station.dump())
        lines = ptt_lines(station)
        self.assertTrue(lines[-1].endswith(UNKEYED), lines)
        self.assertTrue(lines[-1].startswith("close"), lines)
        self.assertEqual(directory.lines(), [ANNOUNCE, WITHDRAW])

    def test_sigint_with_the_sound_card_dialog_open_exits_0(self):
        # Catches SIGINT ending the process by its default action, and a
        # shutdown held up by the modal dialog's own loop.
        station = self.start()
        station.choose("SoundCard")
        station.desktop.wait_window(wh.DIALOG_TITLE)
        station.proc.send_signal(signal.SIGINT)
        self.assertEqual(station.wait_exit(), 0, station.dump())

    def test_sigpipe_is_ignored(self):
        # Catches SIGPIPE ending the window run by its default action.
        station = self.start()
        station.proc.send_signal(signal.SIGPIPE)
        station.choose("Display", "Scope")
        wh.wait_until("the scope", lambda: any(
            p == (0, 255, 0) for row in station.view() for p in row))
        self.assertIsNone(station.proc.poll())
        station.close_window()
        self.assertEqual(station.wait_exit(), 0)


def main():
    global MARVANE, CLIENT, XVFB
    require_private_network()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    XVFB = wh.Xvfb()
    wh.run_tests(XVFB)


if __name__ == "__main__":
    main()
