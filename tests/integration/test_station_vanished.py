# SPDX-License-Identifier: GPL-3.0-or-later
"""A client whose network vanishes (no FIN, no RST), while receiving and
while transmitting, is dropped on the real station, unkeyed first when it
was transmitting, and the slot is free again (how long it takes, 15 s at
most, is measured in bench/station/measure_on_air.py). The firewall
rules that make the network vanish need a network namespace of the test's
own; without one the test is skipped.

usage: test_station_vanished.py MARVANE MARVANE_CLIENT
"""

import sys
import unittest

import onair

MARVANE = CLIENT = None


class Vanished(unittest.TestCase):
    def test_while_receiving_then_while_transmitting(self):
        s = onair.station(MARVANE)
        self.addCleanup(s.close)
        _, off = onair.vanished_client(s, transmitting=False)
        self.assertIsNone(off)
        gone, off = onair.vanished_client(s, transmitting=True)
        self.assertIsNotNone(off)
        self.assertLessEqual(off, gone)  # unkeyed before the slot is free
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    onair.require_firewall()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
