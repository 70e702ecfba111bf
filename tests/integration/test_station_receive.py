# SPDX-License-Identifier: GPL-3.0-or-later
"""Receive audio end to end: the real marvane --headless with a 1 kHz tone on
its virtual capture device, read by a loopback client. Rates are measured
over ten seconds each (full rate, then half rate after "F" 1,1).

usage: test_station_receive.py MARVANE MARVANE_CLIENT
"""
# ctest: RUN_SERIAL TRUE

import statistics
import sys
import time
import unittest

from harness import RATE
from stationharness import BLOCK, LinkClient, Station, peak_frequency, rate_of

MARVANE = CLIENT = None
WINDOW = 10.0  # seconds of audio per measured rate
GOAL = 15000   # the level control's peak goal, in 16-bit units


def samples_of(data):
    return [(b - 128) * 256 for b in data]


class Receive(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def measure(self, client, run):
        """Receives WINDOW seconds after the first run; returns the rate, the
        sizes of the arrivals and the audio of the last second."""
        first = client.count()
        client.wait_audio(run, after=first)
        time.sleep(WINDOW)
        items = client.snapshot()[first:]
        audio = [(t, data) for kind, t, *rest in items if kind == "audio" for data in rest[:1]]
        self.assertFalse([i for i in items if i[0] == "frame"], "no frame was asked for")
        last = b"".join(d for _, d in audio)[-int(RATE * run / BLOCK):]
        return rate_of([(t, len(d)) for t, d in audio]), [len(d) for _, d in audio], last

    def test_tone_at_full_then_half_rate(self):
        self.station.wait_line("address idle")
        connected_at = time.monotonic()
        client = LinkClient(self.station.port)
        self.addCleanup(client.close)

        # Audio begins within 2 s of connecting (the pump notices the client
        # within one block, about 93 ms).
        client.wait_audio(1)
        first_audio = next(t for kind, t, *_ in client.snapshot() if kind == "audio")
        self.assertLess(first_audio - connected_at, 2.0)
        self.station.wait_line("mode RX")

        rate, sizes, last = self.measure(client, BLOCK)
        self.assertAlmostEqual(rate, 11025.0, delta=11025.0 * 0.01)
        # One run per block: each arrival holds whole runs, most just one.
        self.assertTrue(all(n % BLOCK == 0 for n in sizes), sizes)
        self.assertEqual(statistics.median(sizes), BLOCK)
        samples = samples_of(last)
        self.assertAlmostEqual(peak_frequency(samples[:BLOCK], RATE), 1000.0,
                               delta=RATE / BLOCK)
        # The gain has settled near the goal: the peaks of the last second.
        peak = max(abs(s) for s in samples)
        self.assertGreater(peak, GOAL * 0.9)
        self.assertLess(peak, GOAL * 1.1)

        half = BLOCK // 2
        before = client.count()
        client.send_frame("F", 1, 1)
        # Full-rate runs still under way pass first.
        client.wait_for(lambda items: any(i[0] == "audio" and len(i[2]) == half
                                          for i in items[before:]), what="a 512-byte run")
        rate, sizes, last = self.measure(client, half)
        self.assertAlmostEqual(rate, 5512.5, delta=5512.5 * 0.01)
        self.assertTrue(all(n % half == 0 for n in sizes), sizes)
        self.assertEqual(statistics.median(sizes), half)
        # Every second sample of the same tone.
        self.assertAlmostEqual(peak_frequency(samples_of(last)[:half], RATE / 2), 1000.0,
                               delta=RATE / BLOCK)

        client.close()
        self.assertEqual(self.station.stop(), 0)
        self.assertEqual(self.station.sanitizer_report(), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
