# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane-client against the real marvane --headless and against a small
stand-in station on loopback: errors and exit codes, ping, info and rates,
receive audio into a WAV file, and a paced transmission ending in "R".

usage: test_link_client.py MARVANE MARVANE_CLIENT
"""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

import harness
from harness import PATIENCE, REFUSING_URL, free_port, write_wav
from linkharness import Station, frame, recv_exactly, reset_close

MARVANE = CLIENT = None


def run_client(*args, **kw):
    return subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=PATIENCE, **kw)


class InFolder(unittest.TestCase):
    """A test with a temporary folder of its own, self.dir."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="marvane-client-")
        self.addCleanup(self.dir.cleanup)


class ClientErrors(InFolder):
    def test_refused_connection_exits_2(self):
        # Catches a refusal named otherwise, or not tried again.
        result = run_client("127.0.0.1:%d" % free_port(), "--ping")
        self.assertEqual(result.returncode, 2)
        self.assertIn("the station refused the connection", result.stderr)
        self.assertEqual(run_client("--version").stdout, "marvane-client 1.0\n")

    def test_an_address_not_let_in_is_named_so(self):
        # Catches a closing at once reported as a refusal or as a lost
        # connection.
        strict = harness.Station(MARVANE, args=("--headless",), files={
            "marvane.conf": "[link]\nallow = 127.0.0.2\n", "url.txt": REFUSING_URL})
        self.addCleanup(strict.close)
        strict.connect().close()  # the listener is up
        result = run_client("127.0.0.1:%d" % strict.port, "--ping")
        self.assertEqual(result.returncode, 2)
        self.assertIn("closed the connection before sending anything (it may not let this "
                      "address in)", result.stderr)

    def test_unreadable_transmit_file_exits_1(self):
        missing = os.path.join(self.dir.name, "missing.wav")
        result = run_client("127.0.0.1:%d" % free_port(), "--tx", missing)
        self.assertEqual(result.returncode, 1)
        self.assertIn("missing.wav", result.stderr)
        garbage = os.path.join(self.dir.name, "garbage.wav")
        with open(garbage, "wb") as f:
            f.write(b"not a sound file at all")
        self.assertEqual(run_client("127.0.0.1:1", "--tx", garbage).returncode, 1)

    def test_usage_errors_exit_1(self):
        self.assertEqual(run_client().returncode, 1)
        self.assertEqual(run_client("127.0.0.1", "--bogus").returncode, 1)
        self.assertEqual(run_client("127.0.0.1", "--rates", "1").returncode, 1)
        self.assertEqual(run_client("127.0.0.1:x", "--ping").returncode, 1)


class ClientAgainstStation(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)
        # Wait for the listener; a reset ends this first connection at once.
        reset_close(self.station.connect())
        self.station.next_line()
        self.station.next_line()

    def test_ping_is_printed_as_a_round_trip(self):
        # Started in the station's pause after the first connection, while
        # its listener is closed: catches a client that gives up at once.
        result = run_client("127.0.0.1:%d" % self.station.port, "--ping", "--quiet",
                            "--seconds", "0")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^pong \d+\.\d ms\n$")

class StandIn:
    """A one-client stand-in station that records what the client sends and
    answers "T" and the transmit audio the way the station does, on a block
    clock of its own: from "T" on it plays a block every 1024 / 11025 s (1024
    bytes, or 512 at half rate, when at least 1024 wait), reports the fill
    every second block until "R", and once the ring holds less than a block
    after "R" it is back in receive and sends receive audio."""

    BLOCK_SECONDS = 1024 / 11025

    def __init__(self, audio=b""):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.frames = []
        self.fills = []
        self.audio = audio
        self.lock = threading.Lock()
        self.ring = 0
        self.half = False
        self.draining = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _send(self, conn, data):
        with self.lock:
            try:
                conn.sendall(data)
            except OSError:
                pass

    def _report(self, conn):
        fill = min(self.ring, 65535)
        self.fills.append(fill)
        self._send(conn, frame("N", fill >> 8, fill & 255))

    def _clock(self, conn):
        blocks = 0
        while True:
            time.sleep(self.BLOCK_SECONDS)
            with self.lock:
                draining, waiting, half = self.draining, self.ring, self.half
            if not draining:
                blocks += 1
                if blocks >= 2:
                    blocks = 0
                    self._report(conn)
            if waiting < 1024:
                if draining:
                    self._send(conn, bytes([128]) * 1024)  # back in receive
                    return
                continue
            with self.lock:
                self.ring -= 512 if half else 1024

    def _serve(self):
        conn, _ = self.listener.accept()
        self.listener.close()
        conn.settimeout(PATIENCE)
        with conn:
            if self.audio:
                self._send(conn, self.audio + frame("P") + self.audio)
            while True:
                head = recv_exactly(conn, 6)
                if len(head) < 6:
                    return
                letter, arg = chr(head[3]), head[4] * 256 + head[5]
                payload = recv_exactly(conn, arg) if letter in "ISR" else b""
                self.frames.append((letter, head[4], head[5], payload))
                if letter == "P":
                    self._send(conn, frame("P"))
                elif letter == "F":
                    self.half = head[5] == 1
                elif letter == "T":
                    self._report(conn)
                    threading.Thread(target=self._clock, args=(conn,), daemon=True).start()
                elif letter in "SR":
                    with self.lock:
                        self.ring += len(payload)
                        self.draining = self.draining or letter == "R"


class ClientProtocol(InFolder):
    def test_info_rates_and_receive_audio(self):
        audio = bytes(range(256)) * 4
        standin = StandIn(audio=audio)
        rx = os.path.join(self.dir.name, "rx.wav")
        result = run_client("127.0.0.1:%d" % standin.port, "--rx", rx, "--rates", "1,2",
                            "--info", "K1ABC", "--seconds", "0.5", cwd=self.dir.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(("F", 1, 2, b""), standin.frames)
        self.assertIn(("I", 0, 5, b"K1ABC"), standin.frames)
        with wave.open(rx) as w:
            self.assertEqual(w.getframerate(), 5512)
            self.assertEqual(w.getsampwidth(), 2)
            samples = struct.unpack("<%dh" % w.getnframes(), w.readframes(w.getnframes()))
        # The pong between the two runs is not audio.
        expected = [(b - 128) * 256 for b in audio] * 2
        self.assertEqual(list(samples), expected)

    def test_transmission_is_paced_and_ends_with_the_last_chunk(self):
        tx = os.path.join(self.dir.name, "tx.wav")
        samples = [((i * 37) % 256 - 128) * 256 for i in range(3 * 11025)]
        write_wav(tx, samples)
        standin = StandIn()
        result = run_client("127.0.0.1:%d" % standin.port, "--tx", tx, cwd=self.dir.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        letters = [f[0] for f in standin.frames]
        self.assertEqual(letters[:2], ["F", "T"])
        self.assertEqual(letters[-1], "R")
        self.assertNotIn("R", letters[:-1])
        self.assertTrue(set(letters[2:-1]) <= {"S"})
        sent = b"".join(f[3] for f in standin.frames if f[0] in "SR")
        expected = bytes((s >> 8) + 128 for s in samples)
        self.assert_file_then_silence(sent, expected, 1024, 11025)
        # Chunks that fit one TCP segment, since the station takes an "R"
        # payload only when it comes in one read.
        self.assertTrue(all(len(f[3]) <= 1024 for f in standin.frames))
        self.assertIn("fill 0\n", result.stdout)
        # Topped up to about two seconds at once, then held there.
        printed = [int(line.split()[1]) for line in result.stdout.splitlines()
                   if line.startswith("fill ")]
        self.assertEqual(printed, standin.fills)
        self.assertGreater(len(printed), 10)
        for fill in printed[1:]:
            self.assertGreaterEqual(fill, 11025, printed)
            self.assertLessEqual(fill, 3 * 11025, printed)

    def assert_file_then_silence(self, sent, expected, block, rate, beyond=0):
        """The file, then silence in whole blocks: at least four blocks and
        0.25 s beyond `beyond` bytes, since the station unkeys while four
        written blocks and the device's latency are still to be played."""
        self.assertEqual(sent[:len(expected)], expected)
        tail = sent[len(expected):]
        self.assertEqual(tail, bytes([128]) * len(tail))
        self.assertEqual(len(sent) % block, 0)
        self.assertGreaterEqual(len(tail), beyond + 4 * block + 0.25 * rate)

    def test_half_rate_transmission_ends_with_silence_past_the_filter(self):
        # Catches a tail that the station would still be playing, through
        # its filter, after it has unkeyed.
        tx = os.path.join(self.dir.name, "tx.wav")
        samples = [((i * 37) % 256 - 128) * 256 for i in range(5512)]
        write_wav(tx, samples, rate=5512)
        standin = StandIn()
        result = run_client("127.0.0.1:%d" % standin.port, "--tx", tx, "--rates", "0,1",
                            "--quiet", cwd=self.dir.name)
        self.assertEqual(result.returncode, 0, result.stderr)
        sent = b"".join(f[3] for f in standin.frames if f[0] in "SR")
        expected = bytes((s >> 8) + 128 for s in samples)
        # Beyond the filter's delay and the last 512 bytes, which the
        # station drops (a block needs 1024 waiting).
        self.assert_file_then_silence(sent, expected, 512, 5512.5, beyond=16 + 512)

    def test_a_station_that_goes_away_is_a_lost_connection(self):
        listener = socket.create_server(("127.0.0.1", 0))
        port = listener.getsockname()[1]

        def serve():
            conn, _ = listener.accept()
            listener.close()
            conn.sendall(bytes([128]) * 1024)
            reset_close(conn)

        threading.Thread(target=serve, daemon=True).start()
        result = run_client("127.0.0.1:%d" % port, "--rx", os.path.join(self.dir.name, "r.wav"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("lost", result.stderr)


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
