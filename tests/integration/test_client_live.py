# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane-client --live against the real marvane --headless (virtual sound
card, a 1 kHz tone captured) with PulseAudio null sinks as the laptop's
speaker and microphone: the station's tone is heard on the speaker, a tone
played into the microphone goes on the air while the space bar has
transmit on, Ctrl+C unkeys before the client quits, and the terminal is
given back as it was, also when the station goes away or refuses and when
the sound devices vanish (after unkeying).

usage: test_client_live.py MARVANE MARVANE_CLIENT
"""

import os
import subprocess
import sys
import unittest

from harness import PATIENCE, RATE, read_wav, sanitizer_report, tone, wait_until
from pulseharness import LiveClient, Pulse, PulseUnavailable
from stationharness import Station, peak_frequency

MARVANE = CLIENT = None
DEVICES = ("--output", "speaker", "--input", "microphone")


def sanitizer_build():
    """Whether the programs under test carry a sanitizer (and so leave the
    libraries' own messages on standard error, next to its reports)."""
    cache = os.path.join(os.environ.get("MARVANE_BUILD_DIR", ""), "CMakeCache.txt")
    with open(cache) as f:
        return "MARVANE_SANITIZE:STRING=\n" not in f.read()


def loud_stretch(samples, threshold=3000):
    """(first, last) index of the samples beyond the threshold, or None."""
    loud = [i for i, s in enumerate(samples) if abs(s) > threshold]
    return (loud[0], loud[-1]) if loud else None


class WithPulse(unittest.TestCase):
    def setUp(self):
        try:
            self.pulse = Pulse()
        except PulseUnavailable as e:
            self.skipTest("no PulseAudio here: %s" % e)
        self.addCleanup(self.pulse.close)


class LiveOperation(WithPulse):
    def setUp(self):
        super().setUp()
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def start_client(self):
        self.station.wait_listening()  # the client tries once
        client = LiveClient(CLIENT, self.station.port, self.pulse.env, DEVICES)
        self.addCleanup(client.close)
        client.wait_raw()
        self.station.wait_line("mode RX")
        return client

    def test_listen_talk_and_quit_with_ctrl_c(self):
        s = self.station
        client = self.start_client()

        # The station's tone on the speaker.
        heard = self.pulse.record("speaker.monitor")
        wait_until("a second and a half of the tone on the speaker",
                   lambda: sum(abs(x) > 2000 for x in heard.samples()) > 1.5 * RATE / 2)
        heard.stop()
        samples = heard.samples()
        first, _ = loud_stretch(samples, 2000)
        self.assertAlmostEqual(peak_frequency(samples[first + 2048:first + 3072], RATE), 1000,
                               delta=15)

        # Space bar: transmit on; a tone into the microphone; space bar off.
        client.type(b" ")
        on = s.wait_line("ptt on")
        self.pulse.play("mic", tone(600.0, 10000, 2 * RATE)).wait(timeout=PATIENCE)
        client.type(b" ")
        off = s.wait_line("ptt off", on[0])
        s.wait_line("mode RX", off[0])
        wait_until("playback.wav to hold the transmission",
                   lambda: loud_stretch(read_wav(s.path("playback.wav"))[1]))
        played = read_wav(s.path("playback.wav"))[1]
        # The tone, one stretch of it (the microphone's two seconds, however
        # the client's ring and the station's blocks cut them).
        first, last = loud_stretch(played)
        self.assertGreater(last - first, RATE)
        self.assertAlmostEqual(peak_frequency(played[first + 2048:first + 3072], RATE), 600,
                               delta=15)

        # Transmit again, then Ctrl+C: the client unkeys first, then goes.
        client.type(b" ")
        again = s.wait_line("ptt on", off[0])
        client.type(b"\x03")
        self.assertEqual(client.wait(), 0, client.output())
        unkeyed = s.wait_line("ptt off", again[0])
        gone = s.wait_line("disconnected.*", again[0])
        self.assertLess(unkeyed[0], gone[0])
        self.assertEqual(client.terminal(), client.cooked)
        self.assertRegex(client.output(), r"buffer \d+ ms  late \d+ lost \d+")
        self.assertEqual(sanitizer_report(client.output()), "")
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")

    def test_a_station_that_goes_away_ends_the_client_with_the_terminal_restored(self):
        client = self.start_client()
        self.station.proc.kill()
        self.assertEqual(client.wait(), 2, client.output())
        self.assertIn("connection lost", client.output())
        self.assertEqual(client.terminal(), client.cooked)
        self.assertEqual(sanitizer_report(client.output()), "")

    def test_a_sound_device_that_vanishes_while_transmitting(self):
        # The sound server going away stands for an unplugged headset.
        s = self.station
        client = self.start_client()
        client.type(b" ")
        on = s.wait_line("ptt on")
        self.pulse.proc.kill()
        self.assertEqual(client.wait(), 3, client.output())
        self.assertRegex(client.output(), r"the (output|input) device \w+ stopped working")
        if not sanitizer_build():
            self.assertNotIn("Expression", client.output())  # nothing of the libraries' own
        unkeyed = s.wait_line("ptt off", on[0])
        gone = s.wait_line("disconnected.*", on[0])
        self.assertLess(unkeyed[0], gone[0])
        self.assertEqual(client.terminal(), client.cooked)

    def test_a_station_that_refuses_the_address_is_named_as_such(self):
        refusing = Station(MARVANE, files={"marvane.conf": "[link]\nallow = 127.0.0.2\n"})
        self.addCleanup(refusing.close)
        refusing.connect().close()  # the listener is up (and closes at once on 127.0.0.1)
        client = LiveClient(CLIENT, refusing.port, self.pulse.env, DEVICES)
        self.addCleanup(client.close)
        self.assertEqual(client.wait(), 2, client.output())
        self.assertIn("may not let this address in", client.output())
        self.assertEqual(client.terminal(), client.cooked)


class Devices(WithPulse):
    def run_client(self, *args):
        return subprocess.run([CLIENT, *args], env=self.pulse.env, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=PATIENCE)

    def test_devices_are_listed_and_found_by_a_part_of_their_names(self):
        listed = self.run_client("--list-devices")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        inputs, outputs = listed.stdout.split("output devices:")
        for name in ("speaker", "microphone"):
            self.assertIn("  %s\n" % name, inputs)
            self.assertIn("  %s\n" % name, outputs)
        # A device that is not there: said so, exit 3, before any connection.
        missing = self.run_client("127.0.0.1:1", "--live", "--output", "nosuchcard")
        self.assertEqual(missing.returncode, 3)
        self.assertIn("nosuchcard", missing.stderr)
        self.assertNotIn("connect", missing.stderr)
        self.assertEqual(sanitizer_report(listed.stderr + missing.stderr), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
