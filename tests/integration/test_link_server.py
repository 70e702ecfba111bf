# SPDX-License-Identifier: GPL-3.0-or-later
"""The real marvane --headless on loopback: its connection log, the frame
exchange, a lost connection and the 1000 ms pause before the next accept,
and its exit on SIGINT and SIGTERM.

usage: test_link_server.py MARVANE MARVANE_CLIENT
"""

import re
import signal
import socket
import sys
import time
import unittest

from harness import PATIENCE
from linkharness import Station, frame, next_frame, reset_close

MARVANE = CLIENT = None
LINE = re.compile(r"^\d\d:\d\d:\d\d (connected|disconnected) 127\.0\.0\.1$")


class LinkServer(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def test_frames_are_answered(self):
        sock = self.station.connect()
        self.assertRegex(self.station.next_line(), LINE)
        # Any three marks are accepted; the reply carries the real ones.
        sock.sendall(bytes([0, 0, 0, ord("P"), 0x12, 0x34]))
        self.assertEqual(next_frame(sock), frame("P"))
        sock.sendall(frame("F", 0, 0) + frame("I", 0, 5) + b"W1AW " + frame("V", 1, 2))
        sock.sendall(frame("T"))
        self.assertEqual(next_frame(sock), frame("N", 0, 0))
        # The station now transmits silence and reports its empty ring every
        # second block; a second "T" changes nothing and the pong comes.
        # (That it draws no "N" of its own is a unit test of the link.)
        sock.sendall(frame("T") + frame("P"))
        reply = next_frame(sock)
        while reply == frame("N", 0, 0):
            reply = next_frame(sock)
        self.assertEqual(reply, frame("P"))
        reset_close(sock)
        self.assertRegex(self.station.next_line(), LINE)

    def test_lost_connection_is_followed_by_a_new_accept_after_the_pause(self):
        sock = self.station.connect()
        self.assertTrue(self.station.next_line().endswith(" connected 127.0.0.1"))
        lost_at = time.monotonic()
        reset_close(sock)
        self.assertTrue(self.station.next_line().endswith(" disconnected 127.0.0.1"))
        # During the pause the listener is closed: attempts are refused, and
        # one that slipped in before the close is reset. The next connection
        # that is served was made after the pause.
        deadline = time.monotonic() + PATIENCE
        while True:
            again = self.station.connect()
            connected_at = time.monotonic()
            try:
                again.sendall(frame("P"))
                if next_frame(again) == frame("P"):
                    break
            except OSError:
                pass
            again.close()
            self.assertLess(time.monotonic(), deadline)
        self.assertTrue(self.station.next_line().endswith(" connected 127.0.0.1"))
        self.assertGreaterEqual(connected_at - lost_at, 0.99)
        reset_close(again)
        self.assertTrue(self.station.next_line().endswith(" disconnected 127.0.0.1"))

    def test_a_second_client_waits_while_one_is_served(self):
        first = self.station.connect()
        self.station.next_line()
        second = socket.create_connection(("127.0.0.1", self.station.port), timeout=PATIENCE)
        second.sendall(frame("P"))
        first.sendall(frame("P"))
        self.assertEqual(next_frame(first), frame("P"))
        second.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            second.recv(6)
        reset_close(first)
        reset_close(second)

    def test_exits_cleanly_on_sigint_and_sigterm(self):
        self.station.connect().close()
        self.assertEqual(self.station.stop(signal.SIGINT), 0)
        other = Station(MARVANE)
        self.addCleanup(other.close)
        other.connect().close()
        self.assertEqual(other.stop(signal.SIGTERM), 0)


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
