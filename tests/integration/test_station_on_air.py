# SPDX-License-Identifier: GPL-3.0-or-later
"""Nothing keeps the transmitter keyed or the client slot taken: a silent
client and a stopped reader each end within 15 s on the real station, and
the slot is free again (a vanished network: test_station_vanished.py). Who may
connect comes from "marvane.conf": others are closed at once, never become
the client and never lock the operator out. Settings files that never end
hold up neither start-up nor shutdown.

usage: test_station_on_air.py MARVANE MARVANE_CLIENT
"""

import os
import socket
import sys
import threading
import time
import unittest

import harness
import onair
from harness import PATIENCE
from linkharness import recv_exactly
from stationharness import BLOCK, LinkClient, Station

MARVANE = CLIENT = None


def connect_from(address, port):
    """A connection from a loopback address of our choice, once the listener
    is up (refused until then)."""
    deadline = time.monotonic() + PATIENCE
    while True:
        sock = socket.socket()
        sock.bind((address, 0))
        sock.settimeout(PATIENCE)
        try:
            sock.connect(("127.0.0.1", port))
            return sock
        except ConnectionRefusedError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


class Unkeyed(unittest.TestCase):
    def test_silent_client_then_stopped_reader(self):
        s = onair.station(MARVANE, "[transmit]\nsilence_seconds = 2\n")
        self.addCleanup(s.close)
        # Unkeyed by the silence limit (not before it: the station keeps
        # the transmitter keyed through 2 s of silence), and a client that
        # stops reading is let go; how long each takes is measured in
        # bench/station/measure_on_air.py.
        keyed = onair.silent_client(s)
        self.assertGreater(keyed, 2.0 - 0.2)
        self.assertIn("transmission ended: no audio from the client for 2 s", s.texts())
        onair.stopped_reader(s)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")


class Access(unittest.TestCase):
    def test_only_allowed_clients_and_a_stranger_never_locks_the_operator_out(self):
        s = Station(MARVANE, files={"marvane.conf": "[link]\nallow = 127.0.0.2, 10.0.0.0/8\n"})
        self.addCleanup(s.close)
        s.wait_line("address idle")
        stop = threading.Event()
        refused = []

        def stranger():
            while not stop.is_set():
                try:
                    with connect_from("127.0.0.1", s.port) as sock:
                        refused.append(sock.recv(4096))
                except OSError:
                    pass
                time.sleep(0.01)
        t = threading.Thread(target=stranger, daemon=True)
        t.start()
        self.addCleanup(t.join)
        self.addCleanup(stop.set)
        harness.wait_until("strangers refused", lambda: len(refused) >= 20)

        operator = connect_from("127.0.0.2", s.port)
        self.addCleanup(operator.close)
        self.assertEqual(len(recv_exactly(operator, BLOCK)), BLOCK)
        stop.set()
        t.join()
        texts = s.texts()
        self.assertEqual([line for line in texts if line.startswith("connected")],
                         ["connected 127.0.0.2"])
        self.assertEqual(set(refused), {b""})  # closed at once, no audio
        notices = [t for t in s.lines if t[1].endswith("refused 127.0.0.1: not allowed")]
        self.assertGreater(len(notices), 0)
        # At most one a second, for 20 or more refusals.
        self.assertLessEqual(len(notices), 2 + notices[-1][0] - notices[0][0])
        self.assertEqual(s.stop(), 0)

    def test_allow_lines_that_open_nothing_and_no_allow_line(self):
        s = Station(MARVANE, files={"marvane.conf": "[link]\nallow = 127.0.0.300 localhost\n"})
        self.addCleanup(s.close)
        s.wait_line(r".*allow lists no valid address: only 127\.0\.0\.1 may connect")
        sock = connect_from("127.0.0.2", s.port)
        self.assertEqual(sock.recv(4096), b"")
        sock.close()
        LinkClient(s.port).close()
        s.wait_line("connected 127.0.0.1")

        everyone = Station(MARVANE)
        self.addCleanup(everyone.close)
        everyone.wait_line(r"anyone who can reach port %d can connect and transmit.*"
                           % everyone.port)


class EndlessSettings(unittest.TestCase):
    def test_devices_fifos_and_huge_files_hold_up_nothing(self):
        def prepare(folder):
            os.symlink("/dev/urandom", os.path.join(folder, "comports.txt"))
            os.mkfifo(os.path.join(folder, "scconfig.txt"))
            os.mkfifo(os.path.join(folder, "marvane.conf"))
            with open(os.path.join(folder, "url.txt"), "w") as f:
                f.truncate(1 << 32)  # sparse: reads as 4 GiB of NUL bytes
        s = harness.Station(MARVANE, args=("--headless",), files={"txport.bin": "1 comport\n"},
                            prepare=prepare)
        self.addCleanup(s.close)
        s.wait_line("address idle")
        s.wait_line(r"marvane\.conf: only 127\.0\.0\.1 may connect until the file can be read")
        texts = s.texts()
        for name in ("comports.txt", "scconfig.txt", "marvane.conf"):
            self.assertIn(name + ": not a regular file; it is ignored", texts)
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
