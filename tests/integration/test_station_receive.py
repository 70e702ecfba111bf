# SPDX-License-Identifier: GPL-3.0-or-later
"""Receive audio end to end: the real marvane --headless with a 1 kHz tone on
its virtual capture device, read by a loopback client: the tone levelled
to the goal at full rate, then at half rate after "F" 1,1.

usage: test_station_receive.py MARVANE MARVANE_CLIENT
"""
# ctest: RUN_SERIAL TRUE

import sys
import unittest

from harness import RATE
from stationharness import BLOCK, LinkClient, Station, peak_frequency

MARVANE = CLIENT = None
WINDOW = 5.0   # seconds of audio for the gain to settle
GOAL = 15000   # the level control's peak goal, in 16-bit units


def samples_of(data):
    return [(b - 128) * 256 for b in data]


class Receive(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def measure(self, client, count, after=None):
        """`count` bytes of receive audio after item `after` (by default
        after those already received); no frame comes among them, none
        being asked for."""
        first = client.count() if after is None else after
        client.wait_audio(count, after=first)
        items = client.snapshot()[first:]
        self.assertFalse([i for i in items if i[0] == "frame"], "no frame was asked for")
        return b"".join(item[2] for item in items if item[0] == "audio")[:count]

    def test_tone_at_full_then_half_rate(self):
        # The rate and the delay of the receive audio are measured in
        # bench/station/ (measure_latency.py, measure_cpu.py); here its
        # content: the tone, levelled, at full and then at half rate.
        self.station.wait_line("address idle")
        client = LinkClient(self.station.port)
        self.addCleanup(client.close)
        client.wait_audio(1)
        self.station.wait_line("mode RX")

        # A second of audio once the gain has had a few seconds to settle.
        self.measure(client, int(WINDOW * RATE))
        samples = samples_of(self.measure(client, RATE))
        self.assertAlmostEqual(peak_frequency(samples[:BLOCK], RATE), 1000.0,
                               delta=RATE / BLOCK)
        # The gain has settled near the goal: the peaks of the last second.
        peak = max(abs(s) for s in samples)
        self.assertGreater(peak, GOAL * 0.9)
        self.assertLess(peak, GOAL * 1.1)

        # Half rate: every second sample of the same tone, so 1000 Hz at
        # 5512.5 samples a second (full-rate bytes would read as 500 Hz).
        # The "P" reply is queued after the "F" is taken: what follows it is
        # at half rate.
        client.send_frame("F", 1, 1)
        client.send_frame("P")
        pong = client.wait_frame("P")
        half = samples_of(self.measure(client, BLOCK // 2, after=pong + 1))
        self.assertAlmostEqual(peak_frequency(half, RATE / 2), 1000.0, delta=RATE / BLOCK)

        client.close()
        self.assertEqual(self.station.stop(), 0)
        self.assertEqual(self.station.sanitizer_report(), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
