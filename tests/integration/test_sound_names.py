# SPDX-License-Identifier: GPL-3.0-or-later
"""Sound devices remembered by name, on real devices: a private PulseAudio
with two null sinks, each behind a named ALSA device of an .asoundrc of the
test's own. Between two starts of marvane --headless the two devices swap
places in the list, while "scconfig.txt" keeps pointing at radio A: the
names in "scnames.txt" choose radio B both times, as PulseAudio's own
stream list shows.

usage: test_sound_names.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77

import os
import re
import subprocess
import sys
import unittest

import harness
from harness import PATIENCE, wait_until
from pulseharness import Pulse, PulseUnavailable

MARVANE = None
SKIP = 77
# Longer than the 31 characters of the dialog's list.
NAME_A = "marvane_test_radio_A_on_the_left_hand_side"
NAME_B = "marvane_test_radio_B_on_the_right_hand_side"
PCM = """pcm.%s {
    type asym
    playback.pcm { type pulse device %s }
    capture.pcm { type pulse device %s.monitor }
}
"""


def streams(pulse):
    """(sinks played to, sources recorded from) by name, as PulseAudio lists
    the streams."""
    def listed(kind):
        out = subprocess.run(["pactl", "list", "short", kind], env=pulse.env,
                             capture_output=True, text=True, timeout=PATIENCE).stdout
        return [line.split("\t") for line in out.splitlines()]
    sinks = {row[0]: row[1] for row in listed("sinks")}
    sources = {row[0]: row[1] for row in listed("sources")}
    return ([sinks.get(row[1]) for row in listed("sink-inputs")],
            [sources.get(row[1]) for row in listed("source-outputs")])


class DevicesByName(unittest.TestCase):
    def setUp(self):
        try:
            self.pulse = Pulse(sinks=("radio_a", "radio_b"), asoundrc="")
        except PulseUnavailable as e:
            print("SKIP: %s" % e)
            sys.exit(SKIP)
        self.addCleanup(self.pulse.close)

    def order(self, order):
        """Lists the two devices in that order ("ab") for programs started
        from now on."""
        path = os.path.join(self.pulse.dir, "alsa-%s.conf" % order)
        with open(path, "w") as f:
            f.write("</usr/share/alsa/alsa.conf>\n")
            for letter in order:
                f.write(PCM % (NAME_A if letter == "a" else NAME_B, "radio_" + letter,
                               "radio_" + letter))
        self.env = dict(self.pulse.env, ALSA_CONFIG_PATH=path)

    def position(self, name, folder):
        """The number --list-devices gives the device of that whole name in
        both lists, and whether it is marked as chosen in the playback list."""
        listed = subprocess.run([MARVANE, "--list-devices"], cwd=folder, env=self.env,
                                capture_output=True, text=True, timeout=PATIENCE).stdout
        found = re.findall(r"^ +(\d+)  %s( +\[chosen\])?$" % name, listed, re.M)
        self.assertEqual(len(found), 2, listed)  # playback and capture
        self.assertEqual(found[0][0], found[1][0])
        return int(found[0][0]), bool(found[0][1])

    def start(self, files):
        env = {name: self.env[name] for name in ("HOME", "PULSE_SERVER", "ALSA_CONFIG_PATH")}
        env["MARVANE_VIRTUAL_SOUND"] = None
        station = harness.Station(MARVANE, args=("--headless",), env=env, files=dict(
            files, **{"url.txt": harness.REFUSING_URL}), prefix="marvane-names-")
        self.addCleanup(station.close)
        station.wait_line("address idle")
        return station

    def wait_streams(self, played, recorded):
        wait_until("playback on %s and capture from %s" % (played, recorded),
                   lambda: streams(self.pulse) == ([played], [recorded]))

    def test_names_follow_the_devices_when_the_list_changes(self):
        # Catches a choice that goes by position only, whole names not kept
        # for scnames.txt or not listed whole, a name not taken in part or
        # without regard to case, and an unmatched name not reported.
        names = NAME_B + "\nRADIO_B_on_the_right\n"
        places = []
        for order in ("ab", "ba"):
            self.order(order)
            a, _ = self.position(NAME_A, self.pulse.dir)
            places.append(a)
            # scconfig.txt points at radio A; the names choose radio B.
            station = self.start({"scconfig.txt": "%d SCout\n%d SCin\n" % (a, a),
                                  "scnames.txt": names})
            self.wait_streams("radio_b", "radio_b.monitor")
            self.assertEqual(self.position(NAME_B, station.dir)[1], True)
            self.assertEqual(station.stop(), 0)
            self.assertEqual(station.sanitizer_report(), "")
        self.assertNotEqual(places[0], places[1])  # the devices did swap places

        # A capture name that matches nothing: the number is used for it.
        station = self.start({"scconfig.txt": "%d SCout\n%d SCin\n" % (a, a),
                              "scnames.txt": NAME_B + "\nradio C\n"})
        self.wait_streams("radio_b", "radio_a.monitor")
        self.assertEqual(station.texts().count(
            'scnames.txt: no capture device matches "radio C"; device %d of scconfig.txt is used'
            % a), 1, station.texts())
        self.assertEqual(station.stop(), 0)


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
