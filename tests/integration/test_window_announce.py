# SPDX-License-Identifier: GPL-3.0-or-later
"""The "Anounce" command of the real marvane's main window under Xvfb, with
a web directory on 127.0.0.1:80: the check mark follows the toggle, switching
off sends the withdraw request, switching on announces again, and closing the
window withdraws the station only while announcing is on.

usage: test_window_announce.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77
# ctest: TIMEOUT 600

import os
import sys
import unittest

import harness
import windowharness as wh

MARVANE = None
XVFB = None

PATH = "/window-announce-%d" % os.getpid()
URL_TXT = "127.0.0.1\n%s\nT3ST\n14.2\nJO00aa\n" % PATH
ANNOUNCE = "GET %s/vela.php?call=T3ST&qrg=14.2&loc=JO00aa HTTP/1.0" % PATH
WITHDRAW = "GET %s/vela.php?call=T3ST&qrg=.0. HTTP/1.0" % PATH


class Announce(unittest.TestCase):
    def setUp(self):
        self.directory = wh.Directory(PATH)
        self.addCleanup(self.directory.stop)
        self.station = wh.Station(MARVANE, XVFB, files={"url.txt": URL_TXT})
        self.addCleanup(self.station.close)

    def test_toggle_moves_the_check_mark_and_withdraws(self):
        # Catches a check mark out of step with announcing, a toggle that
        # sends nothing, and a shutdown that does not withdraw.
        self.assertEqual(self.directory.wait_count(1), [ANNOUNCE])
        self.assertEqual(self.station.announce_checked(), "checked")

        self.station.choose("Anounce")
        self.assertEqual(self.directory.wait_count(2), [ANNOUNCE, WITHDRAW])
        self.assertEqual(self.station.announce_checked(), "clear")

        self.station.choose("Anounce")
        self.assertEqual(self.station.announce_checked(), "checked")
        self.assertEqual(self.directory.wait_count(3), [ANNOUNCE, WITHDRAW, ANNOUNCE])

        self.station.close_window()
        self.assertEqual(self.station.wait_exit(), 0)
        self.assertEqual(self.directory.lines(), [ANNOUNCE, WITHDRAW, ANNOUNCE, WITHDRAW])

    def test_closing_with_announcing_off_sends_nothing(self):
        # Catches a withdraw sent twice: once by the toggle, again at shutdown.
        self.assertEqual(self.directory.wait_count(1), [ANNOUNCE])
        self.station.choose("Anounce")
        self.assertEqual(self.directory.wait_count(2), [ANNOUNCE, WITHDRAW])
        self.station.close_window()
        self.assertEqual(self.station.wait_exit(), 0)
        # A request the station made before it ended is in the list already.
        self.assertEqual(self.directory.lines(), [ANNOUNCE, WITHDRAW])


if __name__ == "__main__":
    harness.require_private_network()
    MARVANE = sys.argv[1]
    XVFB = wh.Xvfb()
    wh.run_tests(XVFB)
