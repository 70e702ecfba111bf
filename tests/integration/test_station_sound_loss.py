# SPDX-License-Identifier: GPL-3.0-or-later
"""A sound card that goes away and comes back, on real devices: the real
marvane --headless on a private PulseAudio whose one null sink "radio" is the
station's card (an ALSA device "radio" of the test's own: playback into the
sink, capture from its monitor). Unloading the sink is the card unplugged,
loading it again under the same name the card plugged back in; stopping and
starting the server is a sound server that restarts. A client of the link
port receives or transmits meanwhile; the modem-line shim shows the keying.

usage: test_station_sound_loss.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77

import os
import subprocess
import sys
import unittest

import harness
from harness import PATIENCE, Pty, tone
from pulseharness import Pulse, PulseUnavailable
from stationharness import BLOCK, LinkClient, link_bytes

MARVANE = None
SKIP = 77
CARD = """</usr/share/alsa/alsa.conf>
pcm.radio {
    type asym
    playback.pcm { type pulse device radio }
    capture.pcm { type pulse device radio.monitor }
}
"""
KEYED = ["raise RTS: RTS=1 DTR=0", "raise DTR: RTS=1 DTR=1"]
UNKEYED = ["drop RTS: RTS=0 DTR=1", "drop DTR: RTS=0 DTR=0"]


def loud(items, after):
    """Whether receive audio after item `after` carries the played tone."""
    return any(item[0] == "audio" and max(abs(b - 128) for b in item[2]) > 20
               for item in items[after:])


class CardLoss(unittest.TestCase):
    def setUp(self):
        try:
            self.pulse = Pulse(sinks=("radio",), asoundrc="", rescue=False)
        except PulseUnavailable as e:
            print("SKIP: %s" % e)
            sys.exit(SKIP)
        self.addCleanup(self.pulse.close)
        with open(os.path.join(self.pulse.dir, "alsa.conf"), "w") as f:
            f.write(CARD)
        self.tone = os.path.join(self.pulse.dir, "tone.wav")
        harness.write_wav(self.tone, tone(600.0, 10000, 60 * harness.RATE))
        self.players = []
        self.addCleanup(lambda: [harness.stop_process(p) for p in self.players])

    def start(self, files=None, shim=False):
        env = {"MARVANE_VIRTUAL_SOUND": None,
               "ALSA_CONFIG_PATH": os.path.join(self.pulse.dir, "alsa.conf")}
        station = harness.Station(MARVANE, args=("--headless",), base_env=self.pulse.env, env=env,
                                  shim=shim,
                                  files=dict({"url.txt": harness.REFUSING_URL,
                                              "scnames.txt": "radio\nradio\n"}, **(files or {})),
                                  prefix="marvane-loss-")
        self.addCleanup(station.close)
        station.wait_line("address idle")
        return station

    def play_tone(self):
        """A 600 Hz tone into the card for as long as the card is there."""
        self.players.append(subprocess.Popen(["paplay", "--device=radio", self.tone],
                                             env=self.pulse.env, stderr=subprocess.DEVNULL))

    def assert_no_library_prints(self, station):
        for line in station.dump().splitlines():
            self.assertFalse(line.startswith(("Expression '", "ALSA lib ")), line)

    def test_receive_audio_stops_and_comes_back_with_the_card_and_the_server(self):
        # Catches audio that never comes back without a restart, a station
        # that keeps quiet about it, a connection dropped meanwhile, and the
        # libraries' own prints in the log.
        s = self.start()
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        self.play_tone()
        client.wait_for(lambda items: loud(items, 0), what="the card's tone")

        self.pulse.remove_sink("radio")
        lost = s.wait_line("capture device lost: radio: .+")
        s.wait_line("mode no (capture device|sound devices)", lost[0])
        quiet = client.count()
        client.wait_audio(8 * BLOCK, quiet)  # silence meanwhile, at the pump's pace
        heard = b"".join(i[2] for i in client.snapshot()[quiet:] if i[0] == "audio")
        self.assertLessEqual(max(abs(b - 128) for b in heard[-4 * BLOCK:]), 20)

        self.pulse.add_sink("radio")
        back = s.wait_line("capture device back: radio", lost[0])
        s.wait_line("mode RX", back[0])
        self.play_tone()
        client.wait_for(lambda items: loud(items, quiet), what="the tone after the card's return")

        # The sound server restarted: the same again.
        self.pulse.stop()
        again = s.wait_line("capture device lost: radio: .+", back[0])
        self.pulse.start()
        s.wait_line("capture device back: radio", again[0])
        after = client.count()
        self.play_tone()
        client.wait_for(lambda items: loud(items, after), what="the tone after the restart")

        self.assertEqual(s.texts().count("connected 127.0.0.1"), 1)
        self.assertNotIn("disconnected 127.0.0.1", s.texts())
        self.assertEqual(s.stop(), 0)
        self.assert_no_library_prints(s)
        self.assertEqual(s.sanitizer_report(), "")

    def test_the_card_going_while_transmitting_unkeys_and_ends_the_transmission(self):
        # Catches a transmitter left keyed with nothing to play (a dead
        # carrier until the longest-transmission limit), a client left in
        # its transmission, and a card that transmits no more once back.
        pty = Pty()
        self.addCleanup(pty.close)
        s = self.start(files={"comports.txt": "COM1 %s\n" % pty.name, "txport.bin": "1 comport\n"},
                       shim=True)
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        client.wait_audio(BLOCK)
        client.send_frame("T")
        client.wait_frame("N", 0)
        client.transmit(link_bytes(tone(600.0, 8000, 20 * harness.RATE)), last=False)
        on = s.wait_line("ptt on")

        self.pulse.remove_sink("radio")
        ended = s.wait_line("transmission ended: the playback device failed", on[0])
        off = s.wait_line("ptt off", ended[0])
        lines = s.shim_log().splitlines()
        self.assertEqual(lines[-4:], KEYED + UNKEYED)
        self.assertIn("playback device lost: radio: ", "\n".join(s.texts()))
        # The client is back in receive: receive audio comes, reports stop.
        back_in_rx = client.count()
        client.wait_audio(2 * BLOCK, back_in_rx)
        reports = [i for i in client.snapshot()[back_in_rx:] if i[0] == "frame" and i[2] == "N"]
        self.assertLessEqual(len(reports), 1)  # at most one already on its way

        self.pulse.add_sink("radio")
        s.wait_line("playback device back: radio", off[0])
        client.send_frame("T")
        again = s.wait_line("ptt on", off[0])
        client.transmit(link_bytes(tone(600.0, 8000, 3 * BLOCK)))
        s.wait_line("ptt off", again[0])
        self.assertEqual(s.shim_log().splitlines()[-8:], KEYED + UNKEYED + KEYED + UNKEYED)
        self.assertEqual(s.stop(), 0)
        self.assert_no_library_prints(s)
        self.assertEqual(s.sanitizer_report(), "")

    def test_a_card_lost_for_longer_than_give_up_seconds_ends_the_station_unkeyed(self):
        s = self.start(files={"marvane.conf": "[sound]\ngive_up_seconds = 2\n"})
        self.pulse.remove_sink("radio")
        lost = s.wait_line("capture device lost: radio: .+")
        self.assertEqual(s.stop(sig=None), 3)
        giving_up = s.wait_line(r"giving up: a sound device has been lost for more than 2 s .*",
                                lost[0])
        off = s.wait_line("ptt off", giving_up[0])  # unkeyed first,
        s.wait_line("stopped", off[0])               # then the orderly end


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
