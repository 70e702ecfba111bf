# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane for a station without a screen: the one-shot options (--help,
--version, --list-devices, --unkey) run as an operator would, and the
headless station telling a notification socket of the test's own, as systemd
would have it, that it is ready, that its audio pump runs (the watchdog) and
that it stops.

usage: test_station_service.py MARVANE MARVANE_CLIENT
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness
from harness import PATIENCE, Pty, tone
from stationharness import BLOCK, RATE, LinkClient, Station, link_bytes

MARVANE = CLIENT = None
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def run(args, folder, env=None, extra_env=None):
    environment = dict(os.environ if env is None else env, **(extra_env or {}))
    return subprocess.run([MARVANE, *args], cwd=folder, env=environment, capture_output=True,
                          text=True, timeout=PATIENCE, stdin=subprocess.DEVNULL)


class OneShotOptions(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="marvane-options-")
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def test_help_version_and_manual_agree(self):
        # Catches an option missing from --help or from the manual page, and
        # a version that differs from the project's and the package's.
        shown = run(["--help"], self.dir)
        self.assertEqual(shown.returncode, 0)
        options = set(re.findall(r"--[a-z-]+", shown.stdout))
        self.assertEqual(options, {"--headless", "--list-devices", "--unkey", "--help",
                                   "--version", "--add-user", "--listener", "--remove-user",
                                   "--list-users"})
        # The variables for tests and machines without a sound card, too.
        self.assertIn("MARVANE_PORT", shown.stdout)
        self.assertIn("MARVANE_VIRTUAL_SOUND", shown.stdout)
        with open(os.path.join(SOURCE, "man", "marvane.1")) as f:
            manual = f.read().replace("\\-", "-")
        for word in sorted(options) + ["scconfig.txt", "scnames.txt", "txport.bin",
                                       "comports.txt", "url.txt", "marvane.conf",
                                       "web-users.txt", "web-cert.pem", "SIGINT",
                                       "SIGTERM", "SIGUSR1"]:
            self.assertIn(word, manual)
        client = subprocess.run([CLIENT, "--help"], capture_output=True, text=True,
                                timeout=PATIENCE).stdout
        with open(os.path.join(SOURCE, "man", "marvane-client.1")) as f:
            client_manual = f.read().replace("\\-", "-")
        for option in set(re.findall(r"--[a-z-]+", client)):
            self.assertIn(option, client_manual)
        wrong = run(["--no-such-option"], self.dir)
        self.assertEqual(wrong.returncode, 1)
        self.assertIn("--list-devices", wrong.stderr)

        version = run(["--version"], self.dir).stdout
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            project = re.search(r"project\(marvane VERSION ([0-9.]+)", f.read()).group(1)
        with open(os.path.join(SOURCE, "debian", "changelog")) as f:
            package = re.match(r"marvane \(([^)]+)\)", f.read()).group(1)
        self.assertEqual(version, "marvane %s\n" % project)
        self.assertEqual(package, project)

    def test_list_devices(self):
        # Catches lists numbered otherwise than scconfig.txt counts, marks
        # missing or misplaced, a name in scnames.txt not noted when it
        # matches nothing, and silence when there is no device at all.
        virtual = {"MARVANE_VIRTUAL_SOUND": self.dir}
        self.write("scconfig.txt", "5 SCout\n0 SCin\n")
        self.write("scnames.txt", "no such card\n")
        listed = run(["--list-devices"], self.dir, extra_env=virtual)
        self.assertEqual(listed.returncode, 0)
        self.assertEqual(listed.stdout.splitlines(), [
            'scnames.txt: no playback device matches "no such card"; the system\'s default '
            'device is used',
            "Playback devices (scconfig.txt line 1, scnames.txt line 1):",
            "   0  Virtual Output  [system default]",
            "  -1  the system's default device  [chosen]",
            "Capture devices (scconfig.txt line 2, scnames.txt line 2):",
            "   0  Virtual Input  [system default]  [chosen]",
            "  -1  the system's default device"])

        # No sound server to reach; on a machine without a card (no
        # /dev/snd), no device at all.
        env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(self.dir, "no-server"))
        env.pop("MARVANE_VIRTUAL_SOUND", None)
        none = run(["--list-devices"], self.dir, env=env)
        self.assertEqual(none.returncode, 0)
        if not os.path.exists("/dev/snd"):
            lines = none.stdout.splitlines()
            self.assertEqual(lines[0], "No audio device found.")
            self.assertIn("  no playback device found", lines)
            self.assertIn("  no capture device found", lines)
        self.assertEqual(harness.sanitizer_report(none.stderr), "")

    def test_unkey_drops_both_lines_on_the_chosen_port(self):
        # Catches --unkey leaving a line up, not closing the port, and a
        # port that cannot be opened reported as done.
        pty = Pty()
        self.addCleanup(pty.close)
        log = os.path.join(self.dir, "tiocm.log")
        self.write("comports.txt", "COM2 %s\nCOM3 %s\n" % (pty.name, os.path.join(self.dir, "none")))
        env = {"LD_PRELOAD": harness.shim_path(), "MARVANE_TIOCM_LOG": log,
               "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}

        self.assertEqual(run(["--unkey"], self.dir, extra_env=env).returncode, 0)  # no txport.bin
        self.assertFalse(os.path.exists(log))
        self.write("txport.bin", "2 comport\n")
        done = run(["--unkey"], self.dir, extra_env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(log) as f:
            self.assertEqual(f.read().splitlines(), [
                "open: RTS=1 DTR=1", "drop RTS+DTR: RTS=0 DTR=0",
                "termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0", "drop RTS+DTR: RTS=0 DTR=0",
                "drop RTS: RTS=0 DTR=0", "drop DTR: RTS=0 DTR=0",
                "drop RTS+DTR: RTS=0 DTR=0", "close (HUPCL): RTS=0 DTR=0"])
        self.write("txport.bin", "3 comport\n")
        failed = run(["--unkey"], self.dir, extra_env=env)
        self.assertEqual(failed.returncode, 1)
        self.assertIn("COM3", failed.stderr)


class Notifications:
    """An AF_UNIX datagram socket standing in for systemd's NOTIFY_SOCKET;
    each message is kept with its monotonic arrival time."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "notify.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.2)
        self.messages = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.messages.append((time.monotonic(), data.decode()))

    def times(self, text):
        with self.lock:
            return [t for t, m in self.messages if m == text]

    def close(self):
        self.running = False
        self.thread.join(timeout=PATIENCE)
        self.sock.close()


class ServiceNotifications(unittest.TestCase):
    def test_ready_watchdog_through_a_transmission_and_stopping(self):
        # Catches a station that never says it is ready, a watchdog petted
        # only while receiving (a long transmission would get the service
        # killed), or not at all, and a stop not announced.
        folder = tempfile.TemporaryDirectory(prefix="marvane-notify-")
        self.addCleanup(folder.cleanup)
        notes = Notifications(folder.name)
        self.addCleanup(notes.close)
        station = Station(MARVANE, env={"NOTIFY_SOCKET": notes.path, "WATCHDOG_USEC": "1500000"})
        self.addCleanup(station.close)
        harness.wait_until("READY=1", lambda: notes.times("READY=1"))
        station.wait_line("address idle")
        harness.wait_until("the watchdog petted while idle",
                           lambda: len(notes.times("WATCHDOG=1")) >= 3)

        client = LinkClient(station.port)
        self.addCleanup(client.close)
        client.wait_audio(BLOCK)
        client.send_frame("T")
        client.wait_frame("N", 0)
        client.transmit(link_bytes(tone(600.0, 8000, 6 * RATE)))
        _, keyed, _ = station.wait_line("ptt on")
        _, unkeyed, _ = station.wait_line("ptt off")
        during = [t for t in notes.times("WATCHDOG=1") if keyed < t < unkeyed]
        # Six seconds at one pet per half second at most: a wide margin.
        self.assertGreaterEqual(len(during), 4, (keyed, unkeyed, notes.messages))

        # A client that only pings: no "mode TX" in the log, and the status
        # says "transmitting" only while the transmission ran.
        client.close()
        gone = station.wait_line("disconnected 127.0.0.1")
        pinger = station.serve_client()
        pinger.send_frame("P")
        pinger.wait_frame("P")
        pinger.close()
        left = station.wait_line("disconnected 127.0.0.1", gone[0] + 1)
        station.wait_line("mode -", left[0])
        texts = station.texts()
        self.assertEqual(texts.count("mode TX"), 1, texts)

        def statuses():
            return [m for _, m in notes.messages if m.startswith("STATUS=")]
        harness.wait_until("the status back to no client",
                           lambda: statuses()[-1:] == ["STATUS=no client"])
        statuses = statuses()
        self.assertEqual([m for m in statuses if "transmitting" in m],
                         ["STATUS=transmitting for 127.0.0.1"])
        self.assertLess(statuses.index("STATUS=receiving for 127.0.0.1"),
                        statuses.index("STATUS=transmitting for 127.0.0.1"))

        self.assertEqual(station.stop(signal.SIGTERM), 0)
        self.assertTrue(notes.times("STOPPING=1"))
        self.assertEqual(len(notes.times("READY=1")), 1)
        self.assertEqual(station.sanitizer_report(), "")

    def test_without_a_card_each_sound_message_is_a_line_of_its_own(self):
        if os.path.exists("/dev/snd"):
            self.skipTest("this machine has a sound card")
        folder = tempfile.TemporaryDirectory(prefix="marvane-nocard-")
        self.addCleanup(folder.cleanup)
        station = Station(MARVANE, env={"MARVANE_VIRTUAL_SOUND": None,
                                        "PULSE_SERVER": "unix:" + folder.name + "/no-server"})
        self.addCleanup(station.close)
        stamp = r"\d\d:\d\d:\d\d "
        station.wait_line(stamp + r"No audio device found\.", whole=True)
        station.wait_line(stamp + r"Sound Interface Start, waveInOpen\(\) failed\.", whole=True)
        station.wait_line(stamp + r"Sound Interface Start, waveOutOpen\(\) failed\.", whole=True)
        self.assertEqual(station.stop(), 0)


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
