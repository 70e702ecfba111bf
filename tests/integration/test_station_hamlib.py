# SPDX-License-Identifier: GPL-3.0-or-later
"""Keying through hamlib: the real station keys the dummy rig of Debian's
rigctld on loopback as a rigctld on the network (rig_model = 2), and the test
reads the rig's PTT from rigctld itself. Keyed while a client transmits;
unkeyed after the last chunk, after a client that vanished (reset) and after
SIGTERM; a rigctld that went away costs a logged failure and nothing else,
and keying works again once it is back. The serial port that "txport.bin"
chooses is never touched meanwhile.

usage: test_station_hamlib.py MARVANE MARVANE_CLIENT
"""

import os
import signal
import socket
import subprocess
import sys
import time
import unittest

import harness
from harness import PATIENCE, RATE, Pty, tone, wait_until
from stationharness import BLOCK, LinkClient, Station, link_bytes

MARVANE = CLIENT = None


class Rigctld:
    """rigctld with hamlib's dummy rig on a loopback port that it binds
    itself (port 0: the kernel's choice); started again, it takes the same
    port back. -P RIG gives the dummy rig a PTT that its CAT commands set and
    report."""

    def __init__(self):
        self.port = 0
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            ["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.port = wait_until("rigctld to listen", lambda: harness.listening_port_of(self.proc.pid))
        wait_until("rigctld to answer", self._answers)

    def _answers(self):
        try:
            return self.ptt() in (0, 1)
        except OSError:
            return False

    def ptt(self):
        """The rig's PTT as rigctld reports it ("t"): 0 or 1. rigctld now and
        then closes a new connection unanswered on a loaded machine: the
        question is asked again then."""
        for _ in range(5):
            with socket.create_connection(("127.0.0.1", self.port), timeout=PATIENCE) as s:
                s.sendall(b"t\n")
                data = b""
                while b"\n" not in data:
                    chunk = s.recv(64)
                    if not chunk:
                        break
                    data += chunk
            if data.endswith(b"\n"):
                return int(data.split(b"\n")[0])
            time.sleep(0.05)
        raise AssertionError("rigctld gave no answer to \"t\" five times")

    def wait_ptt(self, value, what):
        wait_until(what, lambda: self.ptt() == value)

    def stop(self):
        harness.stop_process(self.proc)


class HamlibKeying(unittest.TestCase):
    def setUp(self):
        self.rig = Rigctld()
        self.addCleanup(self.rig.stop)
        # A serial port is chosen too: with method = hamlib it must stay shut.
        self.pty = Pty()
        self.addCleanup(self.pty.close)
        conf = ("[ptt]\nmethod = hamlib\nrig_model = 2\nrig_port = 127.0.0.1:%d\n"
                "ptt_type = RIG\n" % self.rig.port)
        self.station = Station(MARVANE, shim=True,
                               files={"marvane.conf": conf, "txport.bin": "1 comport\n",
                                      "comports.txt": "COM1 %s\n" % self.pty.name})
        self.addCleanup(self.station.close)
        self.station.wait_line(r"ptt: keyed through hamlib: rig model 2 .* at 127\.0\.0\.1:%d, "
                               r"ptt_type RIG" % self.rig.port)
        self.station.wait_line("address idle")

    def start_transmitting(self, client, after=0):
        """"T" and audio for longer than the test needs, without a last chunk;
        returns the log index of its "ptt on"."""
        client.send_frame("T")
        client.transmit(link_bytes(tone(600.0, 8000, 20 * RATE)), last=False)
        return self.station.wait_line("ptt on", after)[0]

    def test_keyed_while_transmitting_unkeyed_at_every_end(self):
        s, rig = self.station, self.rig
        self.assertEqual(rig.ptt(), 0)

        # The last chunk: keyed while the audio plays, unkeyed after it.
        client = s.serve_client()
        self.addCleanup(client.close)
        on = self.start_transmitting(client)
        self.assertEqual(rig.ptt(), 1)
        client.transmit(b"")
        off = s.wait_line("ptt off", on)[0]
        self.assertEqual(rig.ptt(), 0)

        # A client that vanishes in the middle of a transmission.
        on = self.start_transmitting(client, off)
        self.assertEqual(rig.ptt(), 1)
        client.close(reset=True)
        off = s.wait_line("ptt off", on)[0]
        self.assertEqual(rig.ptt(), 0)

        # SIGTERM in the middle of one: unkeyed before the station ends.
        client = s.serve_client()
        self.addCleanup(client.close)
        self.start_transmitting(client, off)
        self.assertEqual(rig.ptt(), 1)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(rig.ptt(), 0)

        self.assertEqual([t for t in s.texts() if "failed" in t and "announce" not in t
                          and "withdraw" not in t], [])
        self.assertEqual(s.shim_log(), "")
        self.assertEqual(s.sanitizer_report(), "")

    def test_rigctld_gone_and_back(self):
        s, rig = self.station, self.rig
        rig.stop()

        # Keying fails and says so; the transmission runs and ends as ever.
        client = s.serve_client()
        self.addCleanup(client.close)
        client.send_frame("T")
        client.transmit(link_bytes(tone(600.0, 8000, 4 * BLOCK)))
        failed = s.wait_line(r"ptt on failed: .*rig model 2 .*")[0]
        off = s.wait_line("ptt off", failed)[0]
        s.wait_line(r"ptt off failed: cannot open the rig model 2 .*", failed)
        back_in_rx = s.wait_line("mode RX", off)[0]

        # rigctld back on its port: the next keying has the rig opened again
        # (off the audio pump's path) and keyed.
        rig.start()
        on = self.start_transmitting(client, back_in_rx)
        rig.wait_ptt(1, "the rig keyed once it is open again")
        client.transmit(b"")
        s.wait_line("ptt off", on)
        self.assertEqual(rig.ptt(), 0)
        self.assertEqual([t for t in s.texts()[on:] if t.startswith("ptt ") and "failed" in t], [])

        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.shim_log(), "")
        self.assertEqual(s.sanitizer_report(), "")

    def test_unkey_after_a_station_killed_while_keyed(self):
        # Catches --unkey (the service's ExecStopPost) going to the serial
        # port of txport.bin instead of the rig the station keys, leaving the
        # rig keyed, and a rig it cannot reach reported as done.
        s, rig = self.station, self.rig
        client = s.serve_client()
        self.addCleanup(client.close)
        self.start_transmitting(client)
        self.assertEqual(rig.ptt(), 1)
        s.stop(signal.SIGKILL)
        self.assertEqual(rig.ptt(), 1)  # nobody unkeyed it

        env = dict(os.environ, LD_PRELOAD=harness.shim_path(), MARVANE_TIOCM_LOG=s.tiocm_log,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")

        def unkey():
            return subprocess.run([MARVANE, "--unkey"], cwd=s.dir, env=env, capture_output=True,
                                  text=True, timeout=PATIENCE, stdin=subprocess.DEVNULL)

        done = unkey()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(rig.ptt(), 0)
        self.assertEqual(done.stdout, "marvane --unkey: done (hamlib keying)\n")
        rig.stop()
        failed = unkey()
        self.assertEqual(failed.returncode, 1, failed.stdout + failed.stderr)
        self.assertRegex(failed.stderr, r"ptt off failed: cannot open the rig model 2 ")
        self.assertEqual(s.shim_log(), "")
        self.assertEqual(harness.sanitizer_report(done.stderr + failed.stderr), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
