# SPDX-License-Identifier: GPL-3.0-or-later
"""A directory that accepts and never answers cannot hold the station's
shutdown longer than the 10 s an exchange may take, nor keep the transmitter
keyed meanwhile: SIGTERM in the middle of a transmission unkeys and closes
the PTT port (HUPCL) at once, while the withdraw still waits.

usage: test_announce_unanswered.py MARVANE MARVANE_CLIENT
"""

import signal
import sys
import time
import unittest

from harness import PATIENCE, RATE, Port80Server, Pty, require_private_network, tone
from stationharness import BLOCK, LinkClient, Station, link_bytes

MARVANE = CLIENT = None
LIMIT = 10.0  # seconds an exchange with the directory may take


class UnansweredDirectory(unittest.TestCase):
    def setUp(self):
        self.server = Port80Server("127.0.0.2", "silent")
        self.addCleanup(self.server.close)
        pty = Pty()
        self.addCleanup(pty.close)
        files = {"comports.txt": "COM2 %s\n" % pty.name, "txport.bin": "2 comport\n"}
        self.station = Station(MARVANE, url="127.0.0.2 /dir N0CALL 0 -\n", files=files,
                               shim=True)
        self.addCleanup(self.station.close)

    def test_shutdown_unkeys_at_once_and_ends_within_the_limit(self):
        s = self.station
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        client.wait_audio(BLOCK)
        client.send_frame("T")
        client.wait_frame("N", 0)
        client.transmit(link_bytes(tone(600.0, 8000, 8 * RATE)), last=False)
        s.wait_line("ptt on")
        # The first announcement is under way and will get no answer.
        deadline = time.monotonic() + PATIENCE
        while not self.server.connections and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(self.server.connections)

        s.send_signal(signal.SIGTERM)
        # The port is closed, its lines dropped, while the withdraw waits.
        while "close (HUPCL)" not in s.shim_log() and time.monotonic() < deadline:
            time.sleep(0.02)
        still_running = s.proc.poll() is None
        # Unkeyed, then both lines dropped once more before the close.
        self.assertIn("drop RTS: RTS=0 DTR=1\ndrop DTR: RTS=0 DTR=0\n"
                      "drop RTS+DTR: RTS=0 DTR=0\nclose (HUPCL): RTS=0 DTR=0\n", s.shim_log())
        self.assertTrue(still_running)

        # The withdraw gives up (its bound, 10 s, is in the notice below).
        self.assertEqual(s.stop(None, timeout=LIMIT + PATIENCE), 0)
        texts = s.texts()
        stop = texts.index("stopping on SIGTERM")
        self.assertEqual(texts[stop + 1], "ptt off")
        self.assertIn("withdraw failed: no answer within 10 s", texts[stop:])
        self.assertEqual(texts[-1], "stopped")
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    require_private_network()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
