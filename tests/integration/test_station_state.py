# SPDX-License-Identifier: GPL-3.0-or-later
"""One owner for the station's state, through the real marvane --headless
over real sockets: audio an earlier client left in the ring (sent before its
"T", or still waiting when it vanished) is never played in a later
transmission; "S" payloads that arrive in pieces, with pauses far longer
than a read takes, are all played in order under one keying; and a station
whose standard output nobody reads still serves, transmits and unkeys.

usage: test_station_state.py MARVANE MARVANE_CLIENT
"""
# ctest: RUN_SERIAL TRUE

import fcntl
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import PATIENCE, RATE, Pty, read_wav, shim_path, tone, wait_until, write_wav
from stationharness import BLOCK, LinkClient, Station

MARVANE = CLIENT = None

F_SETPIPE_SZ = 1031
FIONREAD = 0x541B


def runs(samples):
    """The values of the played samples with silence and repeats left out:
    one entry per stretch of one client's audio."""
    out = []
    for v in samples:
        if v != 0 and (not out or out[-1] != v):
            out.append(v)
    return out


def value(byte):
    return (byte - 128) * 256


class StaleAudio(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def client(self):
        c = self.station.serve_client()
        self.addCleanup(c.close)
        return c

    def played(self, sample, count):
        """playback.wav once it holds `count` samples of the value `sample`
        (the device may still be playing out the last blocks)."""
        path = self.station.path("playback.wav")

        def enough():
            p = read_wav(path)[1] if os.path.exists(path) else []
            return p if sum(1 for v in p if v == sample) >= count else None
        return wait_until("%d samples of %d played" % (count, sample), enough)

    def test_no_earlier_audio_in_a_later_transmission(self):
        s = self.station
        # A sends audio before its "T" (0x20), transmits (0xC0) and vanishes
        # with seconds of it still in the ring.
        a = self.client()
        a.send_sized("S", bytes([0x20]) * 4 * BLOCK)
        a.send_frame("T")
        a.wait_frame("N", 0)
        a.transmit(bytes([0xC0]) * 6 * RATE, last=False)
        on = s.wait_line("ptt on")
        self.played(value(0xC0), 2 * BLOCK)
        a.close(reset=True)
        gone = s.wait_line("disconnected 127.0.0.1")
        # B does the same before its "T" (0x30), then transmits 0x60 whole.
        b = self.client()
        b.send_sized("S", bytes([0x30]) * 3 * BLOCK)
        b.send_frame("T")
        b.wait_frame("N")
        b.transmit(bytes([0x60]) * 4 * BLOCK)
        second = s.wait_line("ptt on", gone[0])
        s.wait_line("ptt off", second[0])
        played = self.played(value(0x60), 4 * BLOCK)
        self.assertEqual(runs(played), [value(0xC0), value(0x60)])
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")

    def test_payloads_in_pieces_play_whole_and_in_order(self):
        s = self.station
        c = self.client()
        c.send_frame("T")
        c.wait_frame("N", 0)
        # Six "S" frames, each in three pieces with pauses of 150 ms (a
        # segment retransmitted on Wi-Fi), then "R". Audio bytes include
        # "R" and "F", which must never be read as commands.
        sent = []
        for k in range(6):
            payload = bytes(0x40 + (i * 7 + k) % 0x40 for i in range(BLOCK))
            payload = payload[:100] + b"RF" + payload[102:]
            sent.extend(payload)
            data = bytes([1, 2, 3, ord("S"), BLOCK >> 8, BLOCK & 255]) + payload
            for cut in ((0, 400), (400, 700), (700, len(data))):
                c.send(data[cut[0]:cut[1]])
                time.sleep(0.15)
        c.send_frame("R")
        s.wait_line("ptt off")
        last = value(sent[-1])
        self.played(last, sum(1 for b in sent if value(b) == last))
        played = [v for v in read_wav(s.path("playback.wav"))[1] if v != 0]
        self.assertEqual(played, [value(b) for b in sent])
        texts = s.texts()
        self.assertEqual(texts.count("ptt on"), 1)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")


class UnreadOutput(unittest.TestCase):
    """The station's standard output is a pipe of one page that nobody reads
    (a pager left waiting, a terminal paused with Ctrl+S); strangers from
    many addresses fill it, and the log's queue, with refusals. The allowed client is served and
    keyed as ever; the keying is read off the modem-line shim."""

    def test_station_serves_transmits_and_unkeys_with_its_log_stuck(self):
        tmp = tempfile.TemporaryDirectory(prefix="marvane-unread-")
        self.addCleanup(tmp.cleanup)
        folder = tmp.name
        pty = Pty()
        self.addCleanup(pty.close)
        with open(os.path.join(folder, "comports.txt"), "w") as f:
            f.write("COM1 %s\n" % pty.name)
        with open(os.path.join(folder, "txport.bin"), "w") as f:
            f.write("1 comport\n")
        with open(os.path.join(folder, "url.txt"), "w") as f:
            f.write(harness.REFUSING_URL)
        with open(os.path.join(folder, "marvane.conf"), "w") as f:
            f.write("[link]\nallow = 127.0.0.1\n")
        write_wav(os.path.join(folder, "capture.wav"), tone(1000.0, 5000, RATE))
        port = harness.free_port()
        env = dict(os.environ, MARVANE_PORT=str(port), MARVANE_VIRTUAL_SOUND=folder,
                   LD_PRELOAD=shim_path(), MARVANE_TIOCM_LOG=os.path.join(folder, "tiocm.log"))
        asan = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
        stderr = open(os.path.join(folder, "stderr.txt"), "w")
        proc = subprocess.Popen([MARVANE, "--headless"], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, stdout=write_end, stderr=stderr)
        os.close(write_end)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.wait(),
                                 stderr.close(), os.close(read_end)))

        def shim():
            return harness.read_file(os.path.join(folder, "tiocm.log")) or ""

        wait_until("the station to listen", lambda: harness.listening(port))
        # Hundreds of strangers, each refused with a line of its own: more
        # than the pipe and the log's queue together hold.
        for i in range(600):
            with socket.socket() as stranger:
                stranger.bind(("127.0.%d.%d" % (1 + i // 200, 2 + i % 200), 0))
                try:
                    stranger.connect(("127.0.0.1", port))
                    stranger.recv(16)
                except OSError:
                    pass
        def unread():
            count = bytearray(4)
            fcntl.ioctl(read_end, FIONREAD, count)
            return int.from_bytes(count, "little")

        wait_until("the output to fill up", lambda: unread() >= 4000)

        client = LinkClient(port)
        self.addCleanup(client.close)
        client.wait_audio(4 * BLOCK)
        client.send_frame("P")
        client.wait_frame("P")
        client.send_frame("T")
        client.wait_frame("N", 0)
        wait_until("the keying", lambda: "raise RTS" in shim())
        client.transmit(bytes([0xA0]) * 3 * BLOCK)
        wait_until("the unkeying", lambda: "drop RTS" in shim())
        client.wait_audio(2 * BLOCK, after=client.count())

        # Once the output is read again, the log says what it dropped.
        text = b""
        deadline = time.monotonic() + PATIENCE
        while b"lines dropped" not in text and time.monotonic() < deadline:
            os.set_blocking(read_end, False)
            try:
                text += os.read(read_end, 65536)
            except BlockingIOError:
                time.sleep(0.05)
        self.assertRegex(text.decode(), r"\d\d:\d\d:\d\d log: \d+ lines dropped\n")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=PATIENCE), 0)
        stderr.flush()
        self.assertEqual(harness.sanitizer_report(harness.read_file(stderr.name) or ""), "")


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])
