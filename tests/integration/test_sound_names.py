"""Sound devices remembered by name, on real devices: a private PulseAudio
with two null sinks, each behind a named ALSA device of an ALSA
configuration file of the test's own. Between two starts of marvane
--headless the two devices swap places in the list, while "scconfig.txt"
keeps pointing at radio A: the names in "scnames.txt" choose radio B both
times, as PulseAudio's own stream list shows.

usage: test_sound_names.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import PATIENCE, wait_until

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


class Pulse:
    """A PulseAudio server of the test's own with the null sinks radio_a and
    radio_b, reached through PULSE_SERVER."""

    def __init__(self, folder):
        self.socket = os.path.join(folder, "pulse.sock")
        self.env = dict(os.environ, PULSE_SERVER="unix:" + self.socket, HOME=folder)
        self.log = open(os.path.join(folder, "pulse.log"), "w")
        self.proc = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
             "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket,
             "--load=module-null-sink sink_name=radio_a rate=11025 channels=1",
             "--load=module-null-sink sink_name=radio_b rate=11025 channels=1"],
            env=self.env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        try:
            wait_until("PulseAudio to answer", self._answers, timeout=20)
        except AssertionError:
            self.stop()
            raise

    def _answers(self):
        if self.proc.poll() is not None:
            raise AssertionError("pulseaudio ended at start")
        return self.pactl("info") is not None

    def pactl(self, *args):
        result = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                                timeout=PATIENCE)
        return result.stdout if result.returncode == 0 else None

    def names(self, kind):
        """Index -> name of the sinks or sources."""
        rows = (line.split("\t") for line in (self.pactl("list", "short", kind) or "").splitlines())
        return {row[0]: row[1] for row in rows if len(row) > 1}

    def streams(self):
        """(sinks played to, sources recorded from) by name."""
        sinks, sources = self.names("sinks"), self.names("sources")
        played = [sinks.get(line.split("\t")[1]) for line in
                  (self.pactl("list", "short", "sink-inputs") or "").splitlines()]
        recorded = [sources.get(line.split("\t")[1]) for line in
                    (self.pactl("list", "short", "source-outputs") or "").splitlines()]
        return played, recorded

    def stop(self):
        harness.stop_process(self.proc)
        self.log.close()


class DevicesByName(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="marvane-names-")
        self.addCleanup(tmp.cleanup)
        self.folder = tmp.name
        try:
            self.pulse = Pulse(self.folder)
        except (OSError, AssertionError) as e:
            print("SKIP: no PulseAudio here: %s" % e)
            sys.exit(SKIP)
        self.addCleanup(self.pulse.stop)

    def alsa_config(self, order):
        path = os.path.join(self.folder, "alsa-%s.conf" % order)
        with open(path, "w") as f:
            f.write("</usr/share/alsa/alsa.conf>\n")
            for letter in order:
                name = NAME_A if letter == "a" else NAME_B
                f.write(PCM % (name, "radio_" + letter, "radio_" + letter))
        return path

    def start(self, order, files):
        env = {"ALSA_CONFIG_PATH": self.alsa_config(order), "PULSE_SERVER": self.pulse.env[
            "PULSE_SERVER"], "MARVANE_VIRTUAL_SOUND": None}
        station = harness.Station(MARVANE, args=("--headless",), env=env, files=dict(
            files, **{"url.txt": harness.REFUSING_URL}), prefix="marvane-names-")
        self.addCleanup(station.close)
        return station

    def wait_streams(self, played, recorded):
        wait_until("playback on %s and capture from %s" % (played, recorded),
                   lambda: self.pulse.streams() == ([played], [recorded]))

    def test_names_follow_the_devices_when_the_list_changes(self):
        # Catches a choice that goes by position only, whole names not kept
        # for scnames.txt, a name not taken in part or without regard to
        # case, and an unmatched name that is not reported.
        files = {"scconfig.txt": "0 SCout\n0 SCin\n",
                 "scnames.txt": NAME_B + "\nRADIO_B_on_the_right\n"}
        station = self.start("ab", files)
        station.wait_line("address idle")
        self.wait_streams("radio_b", "radio_b.monitor")
        self.assertEqual(station.stop(), 0)

        # --list-devices shows the whole names, as scnames.txt wants them.
        listed = subprocess.run([MARVANE, "--list-devices"], cwd=station.dir, env=dict(
            self.pulse.env, ALSA_CONFIG_PATH=self.alsa_config("ab")), capture_output=True,
            text=True, timeout=PATIENCE).stdout.splitlines()
        self.assertEqual(listed[1:3], ["   0  " + NAME_A, "   1  %s  [chosen]" % NAME_B])

        # Radio B first now; scconfig.txt still points at radio A, and the
        # capture name matches nothing: the number is used for it.
        files = {"scconfig.txt": "1 SCout\n1 SCin\n",
                 "scnames.txt": NAME_B + "\nradio C\n"}
        station = self.start("ba", files)
        station.wait_line("address idle")
        self.wait_streams("radio_b", "radio_a.monitor")
        texts = station.texts()
        self.assertEqual(texts.count('scnames.txt: no capture device matches "radio C"; device 1 '
                                     'of scconfig.txt is used'), 1, texts)
        self.assertEqual(station.stop(), 0)
        self.assertEqual(station.sanitizer_report(), "")


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    if shutil.which("pulseaudio") is None or shutil.which("pactl") is None:
        print("SKIP: pulseaudio is not installed")
        sys.exit(SKIP)
    unittest.main(argv=sys.argv[:1], verbosity=2)
