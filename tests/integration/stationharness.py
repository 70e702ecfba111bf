# SPDX-License-Identifier: GPL-3.0-or-later
"""Helpers for the station and announcer tests: the real marvane --headless
with a 1 kHz tone on its virtual sound card, a raw link client that tells
receive audio from frames, and measures of what it received."""

import math
import socket
import struct
import threading
import time

import harness
from harness import PATIENCE, RATE, REFUSING_URL, connect, tone
from linkharness import frame

BLOCK = 1024
BLOCK_SECONDS = BLOCK / RATE


def link_bytes(samples):
    """16-bit samples as the link carries them: the high byte, offset by 128."""
    return bytes((s >> 8) + 128 for s in samples)


def peak_frequency(samples, rate):
    """Frequency of the largest bin of a Hann-windowed DFT of the samples."""
    n = len(samples)
    windowed = [s * (0.5 - 0.5 * math.cos(2 * math.pi * i / n)) for i, s in enumerate(samples)]
    best, best_k = -1.0, 0
    for k in range(1, n // 2):
        w = -2 * math.pi * k / n
        re_part = sum(x * math.cos(w * i) for i, x in enumerate(windowed))
        im_part = sum(x * math.sin(w * i) for i, x in enumerate(windowed))
        power = re_part * re_part + im_part * im_part
        if power > best:
            best, best_k = power, k
    return best_k * rate / n


def rate_of(arrivals):
    """Bytes per second: the least-squares slope of the bytes received so far
    against the arrival time, over [(time, bytes in this arrival), ...]."""
    xs, ys, total = [], [], 0
    for t, n in arrivals:
        total += n
        xs.append(t)
        ys.append(total)
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    return sxy / sxx


class Station(harness.Station):
    """The real marvane --headless on a free port in its own folder.

    capture: amplitude of the capture.wav, one second of 1 kHz (exactly 1000
    periods, so the loop has no seam), or None for none (silence).
    url: the text of url.txt, or None to leave it missing.
    files: further files of the working folder, name -> text.
    shim, env, args: as harness.Station's.
    """

    def __init__(self, marvane, capture=5000, url=REFUSING_URL, files=None, shim=False,
                 env=None, args=("--headless",)):
        all_files = {} if url is None else {"url.txt": url}
        all_files.update(files or {})
        super().__init__(marvane, args=args, files=all_files,
                         capture=None if capture is None else tone(1000.0, capture, RATE),
                         shim=shim, env=env, prefix="marvane-station-")

    def serve_client(self):
        """A LinkClient that receives audio. A connection made while the
        listener closes after a lost client is reset: it is made again."""
        deadline = time.monotonic() + PATIENCE
        while True:
            client = LinkClient(self.port)
            try:
                client.wait_audio(1)
                return client
            except AssertionError:
                client.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


class LinkClient:
    """A raw link client. A reader thread splits what the station sends into
    receive audio and "P"/"N" frames, each item time-stamped on arrival:
    self.items holds ("audio", time, bytes) and ("frame", time, letter, value)."""

    def __init__(self, port):
        self.sock = connect(port)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.items = []
        self.closed = False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        self.sock.settimeout(None)
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            now = time.monotonic()
            if not data:
                with self.changed:
                    self.closed = True
                    self.changed.notify_all()
                return
            pending += data
            found = []
            # Receive audio of the capture tone and of silence never holds the
            # byte 1, so each 1 begins a frame.
            while pending:
                start = pending.find(1)
                audio = pending if start < 0 else pending[:start]
                if audio:
                    found.append(("audio", now, audio))
                pending = b"" if start < 0 else pending[start:]
                if len(pending) < 6:
                    break
                found.append(("frame", now, chr(pending[3]), pending[4] * 256 + pending[5]))
                pending = pending[6:]
            with self.changed:
                self.items.extend(found)
                self.changed.notify_all()

    def send(self, data):
        self.sock.sendall(data)

    def send_frame(self, letter, hi=0, lo=0, payload=b""):
        self.sock.sendall(frame(letter, hi, lo) + payload)

    def send_sized(self, letter, payload):
        self.send_frame(letter, len(payload) >> 8, len(payload) & 255, payload)

    def transmit(self, data, last=True):
        """Sends data in "S" frames of at most 10239 bytes; the last chunk in
        "R" when last is set (an empty "R" when data is empty)."""
        chunks = [data[i:i + 10239] for i in range(0, len(data), 10239)] or [b""]
        for i, chunk in enumerate(chunks):
            final = last and i == len(chunks) - 1
            self.send_sized("R" if final else "S", chunk)

    def wait_for(self, predicate, timeout=PATIENCE, what="the awaited item"):
        """Waits until predicate(items) is true; returns its value."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                value = predicate(self.items)
                if value:
                    return value
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise AssertionError("%s did not come (%d items)" % (what, len(self.items)))
                self.changed.wait(min(left, 0.5))

    def wait_frame(self, letter, value=None, after=0, timeout=PATIENCE):
        """Index of the first frame with that letter (and value) at `after` or later."""
        def found(items):
            for i in range(after, len(items)):
                item = items[i]
                if item[0] == "frame" and item[2] == letter and (value is None or
                                                                 item[3] == value):
                    return i + 1  # never 0
            return None
        return self.wait_for(found, timeout, "frame %s" % letter) - 1

    def audio_bytes(self, after=0):
        with self.changed:
            return sum(len(item[2]) for item in self.items[after:] if item[0] == "audio")

    def wait_audio(self, count, after=0, timeout=PATIENCE):
        """Waits until count bytes of receive audio have come after index `after`."""
        def enough(items):
            return sum(len(i[2]) for i in items[after:] if i[0] == "audio") >= count
        self.wait_for(enough, timeout, "%d bytes of receive audio" % count)

    def count(self):
        with self.changed:
            return len(self.items)

    def snapshot(self):
        with self.changed:
            return list(self.items)

    def close(self, reset=False):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.reader.join(timeout=PATIENCE)
