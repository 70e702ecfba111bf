# SPDX-License-Identifier: GPL-3.0-or-later
"""A client whose network vanishes (no FIN, no RST), while receiving and
while transmitting, is dropped within 15 s on the real station, unkeyed
first when it was transmitting, and the slot is free again. The firewall
rules that make the network vanish need a network namespace of the test's
own; without one the test is skipped.

usage: test_station_vanished.py MARVANE MARVANE_CLIENT
"""

import sys
import unittest

import onair

MARVANE = CLIENT = None
LIMIT = 15.0    # seconds the station may take
MARGIN = 5.0    # for a loaded machine; the kernel's timers set the pace


class Vanished(unittest.TestCase):
    def test_while_receiving_then_while_transmitting(self):
        s = onair.station(MARVANE)
        self.addCleanup(s.close)
        gone, off = onair.vanished_client(s, transmitting=False)
        self.assertLess(gone, LIMIT + MARGIN)
        self.assertIsNone(off)
        gone, off = onair.vanished_client(s, transmitting=True)
        self.assertLess(gone, LIMIT + MARGIN)
        self.assertLess(off, LIMIT + MARGIN)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    onair.require_firewall()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
