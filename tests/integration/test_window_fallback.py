# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane with no arguments and no display to open runs the station
headless instead of failing: with DISPLAY unset, and with DISPLAY naming a
display no server answers for.

usage: test_window_fallback.py MARVANE MARVANE_CLIENT
"""

import os
import sys
import unittest

import harness
import windowharness as wh

MARVANE = None
IDLE = r"\d\d:\d\d:\d\d address idle"  # the whole line


def unused_display():
    n = 4000
    while os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
        n += 1
    return ":%d" % n


class Fallback(unittest.TestCase):
    def run_without_window(self, display):
        station = harness.Station(MARVANE, files={"url.txt": wh.QUIET_URL_TXT},
                                  capture=wh.CAPTURE, env={"DISPLAY": display},
                                  prefix="marvane-fallback-", patience=wh.PATIENCE)
        self.addCleanup(station.close)
        station.wait_line(IDLE, whole=True)
        self.assertEqual(station.stop(), 0, station.dump())
        self.assertEqual(station.sanitizer_report(), "")

    def test_no_display_set_runs_headless(self):
        # Catches a program that needs a display to run at all.
        self.run_without_window(None)

    def test_display_without_a_server_runs_headless(self):
        # Catches the toolkit's fatal "cannot open display" ending the program.
        self.run_without_window(unused_display())


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
