"""Helpers for the station and announcer tests: WAV files, the real
marvane --headless with a virtual sound card in a temporary working folder
(its log lines time-stamped on arrival), a raw link client that tells receive
audio from frames, and small loopback servers on port 80 of a loopback
address."""

import math
import os
import re
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import wave

from linkharness import PATIENCE, free_port, frame

BLOCK = 1024
RATE = 11025
BLOCK_SECONDS = BLOCK / RATE
# A directory host that refuses at once: nothing listens on port 80 there.
REFUSING_URL = "127.0.0.3\n/directory\nN0CALL\n0\n-\n"
SANITIZER_REPORT = re.compile(r"WARNING: ThreadSanitizer|ERROR: AddressSanitizer|"
                              r"ERROR: LeakSanitizer|runtime error:")


def build_dir():
    return os.environ.get("MARVANE_BUILD_DIR", "")


def write_wav(path, samples, rate=RATE):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


def read_wav(path):
    with wave.open(path, "rb") as w:
        n = w.getnframes()
        return w.getframerate(), list(struct.unpack("<%dh" % n, w.readframes(n)))


def tone(frequency, amplitude, count, rate=RATE, phase=0.0):
    return [int(amplitude * math.sin(2 * math.pi * frequency * i / rate + phase))
            for i in range(count)]


def capture_tone(path, amplitude=5000):
    """One second of 1 kHz: exactly 1000 periods, so the loop has no seam."""
    write_wav(path, tone(1000.0, amplitude, RATE))


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


class Station:
    """The real marvane --headless on a free port in its own folder.

    capture: amplitude of the 1 kHz capture.wav, or None for none (silence).
    url: the text of url.txt, or None to leave it missing.
    files: further files of the working folder, name -> text.
    shim: preload the modem-line shim; its log is self.tiocm_log.
    env: further environment variables; None as a value removes one.
    args: the program's arguments.
    """

    def __init__(self, marvane, capture=5000, url=REFUSING_URL, files=None, shim=False,
                 env=None, args=("--headless",)):
        self.port = free_port()
        self.tmp = tempfile.TemporaryDirectory(prefix="marvane-station-")
        self.dir = self.tmp.name
        if capture is not None:
            capture_tone(self.path("capture.wav"), capture)
        if url is not None:
            self.write("url.txt", url)
        for name, text in (files or {}).items():
            self.write(name, text)
        environment = dict(os.environ, MARVANE_PORT=str(self.port),
                           MARVANE_VIRTUAL_SOUND=self.dir)
        environment.pop("LD_PRELOAD", None)
        self.tiocm_log = self.path("tiocm.log")
        if shim:
            shim_path = os.path.join(build_dir(), "lib", "libtiocm_shim.so")
            if not os.path.exists(shim_path):
                raise AssertionError("no modem-line shim at %r (MARVANE_BUILD_DIR)" % shim_path)
            environment["LD_PRELOAD"] = shim_path
            environment["MARVANE_TIOCM_LOG"] = self.tiocm_log
            # The shim carries no sanitizer and is loaded before the runtime.
            asan = environment.get("ASAN_OPTIONS", "")
            environment["ASAN_OPTIONS"] = (asan + ":" if asan else "") + \
                "verify_asan_link_order=0"
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        self.lines = []  # (monotonic arrival time, text)
        self.stderr_lines = []
        self.changed = threading.Condition()
        self.started_at = time.monotonic()
        self.proc = subprocess.Popen([marvane, *args], cwd=self.dir, env=environment,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.lines),
                                         daemon=True),
                        threading.Thread(target=self._read,
                                         args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for r in self.readers:
            r.start()
        self.exit_status = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def _read(self, stream, into):
        for line in stream:
            with self.changed:
                into.append((time.monotonic(), line.rstrip("\n")))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def texts(self):
        """The log lines without their time stamps."""
        with self.changed:
            return [text.split(" ", 1)[1] if " " in text else text for _, text in self.lines]

    def wait_line(self, pattern, after=0, timeout=PATIENCE):
        """Waits for a log line (time stamp stripped) that matches pattern
        fully, at index `after` or later; returns (index, arrival time, text)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(after, len(self.lines)):
                    arrived, line = self.lines[i]
                    text = line.split(" ", 1)[1] if " " in line else line
                    if regex.fullmatch(text):
                        return i, arrived, text
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None and not self._more_coming():
                    raise AssertionError("no log line matching %r after line %d; log:\n%s"
                                         % (pattern, after, self.dump()))
                self.changed.wait(min(left, 0.5))

    def _more_coming(self):
        return any(r.is_alive() for r in self.readers)

    def dump(self):
        return "\n".join(t for _, t in self.lines) + "\nstderr:\n" + \
            "\n".join(t for _, t in self.stderr_lines)

    def connect(self):
        """A client connection once the listener is up (refused until then)."""
        deadline = time.monotonic() + PATIENCE
        while True:
            try:
                return socket.create_connection(("127.0.0.1", self.port), timeout=PATIENCE)
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

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

    def send_signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, timeout=PATIENCE):
        """Sends sig (none when None; nothing once the station has ended) and
        waits for the exit; returns the exit status, kept in self.exit_status."""
        if sig is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.exit_status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("station still running %s s after signal %s; log:\n%s"
                                 % (timeout, sig, self.dump()))
        for r in self.readers:
            r.join(timeout=PATIENCE)
        return self.exit_status

    def sanitizer_report(self):
        with self.changed:
            text = "\n".join(t for _, t in self.stderr_lines)
        return text if SANITIZER_REPORT.search(text) else ""

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for r in self.readers:
            r.join(timeout=PATIENCE)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.tmp.cleanup()


class LinkClient:
    """A raw link client. A reader thread splits what the station sends into
    receive audio and "P"/"N" frames, each item time-stamped on arrival:
    self.items holds ("audio", time, bytes) and ("frame", time, letter, value)."""

    def __init__(self, port):
        deadline = time.monotonic() + PATIENCE
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=PATIENCE)
                break
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
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


class Port80Server:
    """A small server on port 80 of one loopback address. mode:
    "answer"  records each request (read until the blank line) and answers;
    "silent"  accepts and never answers, holding each connection open;
    "endless" reads the request, then sends an answer that never ends."""

    def __init__(self, address, mode):
        self.address = address
        self.mode = mode
        self.requests = []
        self.connections = []
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, 80))
        self.listener.listen(8)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections.append(conn)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        if self.mode == "silent":
            return
        conn.settimeout(PATIENCE)
        data = b""
        try:
            while b"\n\n" not in data and b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
            with self.lock:
                self.requests.append(data)
            if self.mode == "answer":
                conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nok\n")
                conn.close()
            else:
                conn.sendall(b"HTTP/1.0 200 OK\r\n\r\n")
                while self.running:
                    conn.sendall(b"x" * 1024)
                    time.sleep(0.01)
        except OSError:
            pass

    def recorded(self):
        with self.lock:
            return list(self.requests)

    def close(self):
        self.running = False
        self.listener.close()
        with self.lock:
            for c in self.connections:
                try:
                    c.close()
                except OSError:
                    pass
