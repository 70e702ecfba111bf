# SPDX-License-Identifier: GPL-3.0-or-later
"""The station's stages seen from a link client: receive audio stops while
transmitting and resumes afterwards, and a client killed in the middle of a
transmission leaves the station unkeyed, idle and ready for the next client
after its 1000 ms pause.

usage: test_station_link.py MARVANE MARVANE_CLIENT
"""

import os
import signal
import subprocess
import sys
import time
import unittest

from harness import RATE, tone, write_wav
from stationharness import BLOCK, LinkClient, Station, link_bytes

MARVANE = CLIENT = None


class StagesSeenByAClient(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def test_receive_audio_stops_while_transmitting_and_resumes(self):
        s = self.station
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        client.wait_audio(2 * BLOCK)
        # The info word is shown, with no control character of the client's.
        client.send_sized("I", b"W1AW\x1b[2J rest")
        s.wait_line(r"info W1AW\?\[2J")

        client.send_frame("T")
        answer = client.wait_frame("N", 0)
        # Eleven blocks of audio and no "R" yet: the station plays them, then
        # silence, keyed, until the last chunk comes. The fill reports show
        # the ring filled and then run dry (the first ones may come before
        # the audio). The receive stage's last blocks may arrive before the
        # answer to "T", none after it.
        client.transmit(link_bytes(tone(600.0, 8000, 11 * BLOCK)), last=False)
        s.wait_line("ptt on")
        filled = client.wait_for(
            lambda items: next((i for i in range(answer + 1, len(items))
                                if items[i][0] == "frame" and items[i][3] > 0), None),
            what="a fill report above 0")
        client.wait_frame("N", 0, after=filled)
        self.assertEqual(client.audio_bytes(after=answer), 0)

        before = client.count()
        client.transmit(b"")  # "R" with nothing: the end of the transmission
        off = s.wait_line("ptt off")
        s.wait_line("mode RX", off[0])
        client.wait_audio(2 * BLOCK, after=before)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")

    def test_client_killed_while_transmitting(self):
        s = self.station
        path = os.path.join(s.dir, "long.wav")
        write_wav(path, tone(600.0, 8000, 8 * RATE))
        s.wait_listening()  # the client tries once
        client = subprocess.Popen([CLIENT, "127.0.0.1:%d" % s.port, "--tx", path, "--quiet"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        on = s.wait_line("ptt on")
        time.sleep(1.0)
        client.kill()
        client.wait()
        off = s.wait_line("ptt off", on[0])
        s.wait_line("mode -", off[0])
        stages = [t for t in s.texts()[off[0] + 1:] if "connected" not in t]
        self.assertEqual(stages[:2], ["address idle", "mode -"])
        lost = s.wait_line("disconnected 127.0.0.1", on[0])

        # The next client is served once the listener is back, not sooner
        # than the 1000 ms pause after the loss.
        again = s.serve_client()
        self.addCleanup(again.close)
        served = s.wait_line("connected 127.0.0.1", lost[0])
        self.assertGreater(served[1] - lost[1], 0.9)
        s.wait_line("mode RX", served[0])
        self.assertEqual(s.stop(signal.SIGINT), 0)
        self.assertEqual(s.sanitizer_report(), "")


class WithoutADisplay(unittest.TestCase):
    def test_runs_headless_when_no_display_can_be_opened(self):
        s = Station(MARVANE, args=(), env={"DISPLAY": None, "WAYLAND_DISPLAY": None})
        self.addCleanup(s.close)
        s.wait_line("address idle")
        client = s.serve_client()
        self.addCleanup(client.close)
        s.wait_line("mode RX")
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
