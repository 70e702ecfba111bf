# SPDX-License-Identifier: GPL-3.0-or-later
"""What every integration test builds on: the real marvane started in a
temporary working folder of its own with a virtual sound card (its output
lines kept, time-stamped on arrival), free loopback ports, WAV files and
tones, a pseudo-terminal PTT port with the modem-line shim, a small web
server on port 80 of a loopback address, and polling with a bound.

CTest runs every integration test through private-network, in a network
namespace of its own where one can be made. A test that listens on port 80,
or relies on what a loopback address answers there, calls
require_private_network() first: it is skipped on this machine's own
network, whose port 80 may serve anybody."""

import math
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

PATIENCE = 30.0  # seconds; bounds liveness, measures nothing
RATE = 11025
SKIP = 77        # exit status CTest reads as "skipped"
# A directory host that refuses at once: nothing listens on port 80 there.
REFUSING_URL = "127.0.0.3\n/directory\nN0CALL\n0\n-\n"
SANITIZER_MARKS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                   "ERROR: LeakSanitizer", "runtime error:")


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def require_private_network():
    """Skips the test unless it runs in a network namespace of its own."""
    if os.environ.get("MARVANE_PRIVATE_NETWORK") == "1":
        return
    skip(os.environ.get("MARVANE_PRIVATE_NETWORK_PROBLEM") or
         "not started in a private network namespace (CTest runs it through private-network)")


def wait_until(what, probe, timeout=PATIENCE, pause=0.1):
    """Polls probe() until it returns something true, and returns that."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(pause)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, patience=PATIENCE):
    """A connection to 127.0.0.1:port once a listener is up (refused until
    then; reset when the listener closed with it still waiting in its queue)."""
    deadline = time.monotonic() + patience
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=patience)
        except (ConnectionRefusedError, ConnectionResetError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def listening_sockets():
    """(port, socket inode) of every TCP socket of this network namespace
    that listens."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = [line.split() for line in f.readlines()[1:]]
        except FileNotFoundError:
            continue
        found += [(int(r[1].rsplit(":", 1)[1], 16), r[9]) for r in rows if r[3] == "0A"]
    return found


def listening(port):
    """Whether a TCP socket of this network namespace listens on the port."""
    return any(p == port for p, _ in listening_sockets())


def listening_port_of(pid):
    """The TCP port a process listens on (it bound port 0 and the kernel
    chose), or None while it listens on none."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except FileNotFoundError:
        return None
    return next((p for p, inode in listening_sockets() if inode in inodes), None)


def read_file(path):
    """The file's text, or None while it does not exist."""
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


def stop_process(proc, timeout=PATIENCE):
    """Ends proc with SIGTERM, or with SIGKILL when it still runs after
    timeout; returns its exit status."""
    if proc.poll() is None:
        proc.terminate()
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def sanitizer_report(text):
    """text when it holds a sanitizer's report, else ""."""
    return text if any(mark in text for mark in SANITIZER_MARKS) else ""


# ---- sound files ------------------------------------------------------------

def write_wav(path, samples, rate=RATE):
    """Mono 16-bit samples to a WAV file."""
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


def read_wav(path):
    """(rate, samples) of a mono 16-bit WAV file."""
    with wave.open(path, "rb") as w:
        n = w.getnframes()
        return w.getframerate(), list(struct.unpack("<%dh" % n, w.readframes(n)))


def tone(frequency, amplitude, count, rate=RATE, phase=0.0):
    """count samples of a sine, truncated to whole numbers."""
    return [int(amplitude * math.sin(2 * math.pi * frequency * i / rate + phase))
            for i in range(count)]


# ---- the PTT port -----------------------------------------------------------

class Pty:
    """A pseudo-terminal standing in for a serial port; name is its device.
    A pty refuses the modem-line ioctls: a station keying it needs the
    modem-line shim (Station's shim=True)."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)

    def close(self):
        os.close(self.slave)
        os.close(self.master)


def shim_path():
    """The built modem-line shim (MARVANE_BUILD_DIR names the build folder)."""
    path = os.path.join(os.environ.get("MARVANE_BUILD_DIR", ""), "lib", "libtiocm_shim.so")
    if not os.path.exists(path):
        raise AssertionError("no modem-line shim at %r (MARVANE_BUILD_DIR)" % path)
    return path


# ---- the station ------------------------------------------------------------

class Station:
    """The real marvane on a free port, in a temporary working folder of its
    own that also holds its virtual sound card's files. Its output lines,
    stdout and stderr apart, are kept as (monotonic arrival time, text).

    args: the program's arguments.
    files: the working folder's files, name -> text.
    capture: samples of capture.wav, or None for none (silence).
    shim: preload the modem-line shim; its log is self.tiocm_log.
    base_env: the environment to start from (this process's by default).
    env: further environment variables; None as a value removes one.
    patience: the default bound of every wait.
    prepare: called with the folder before the station starts, for files
    that are not text (links, FIFOs).
    """

    def __init__(self, marvane, args=(), files=None, capture=None, shim=False, base_env=None,
                 env=None, prefix="marvane-", patience=PATIENCE, prepare=None):
        self.patience = patience
        self.port = free_port()
        self.tmp = tempfile.TemporaryDirectory(prefix=prefix)
        self.dir = self.tmp.name
        if capture is not None:
            write_wav(self.path("capture.wav"), capture)
        for name, text in (files or {}).items():
            self.write(name, text)
        if prepare:
            prepare(self.dir)
        environment = dict(os.environ if base_env is None else base_env,
                           MARVANE_PORT=str(self.port), MARVANE_VIRTUAL_SOUND=self.dir)
        environment.pop("LD_PRELOAD", None)
        self.tiocm_log = self.path("tiocm.log")
        if shim:
            environment["LD_PRELOAD"] = shim_path()
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
        self.exit_status = None
        self.started_at = time.monotonic()
        self.proc = subprocess.Popen([marvane, *args], cwd=self.dir, env=environment,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.lines),
                                         daemon=True),
                        threading.Thread(target=self._read,
                                         args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for r in self.readers:
            r.start()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def file(self, name):
        """A file of the working folder, or None while it does not exist."""
        return read_file(self.path(name))

    def shim_log(self):
        """What the modem-line shim has logged so far."""
        return read_file(self.tiocm_log) or ""

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

    def wait_line(self, pattern, after=0, timeout=None, whole=False):
        """Waits for a log line that matches pattern fully, at index `after`
        or later; returns (index, arrival time, text). The time stamp is
        stripped from the text unless whole is set."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + (self.patience if timeout is None else timeout)
        with self.changed:
            while True:
                for i in range(after, len(self.lines)):
                    arrived, line = self.lines[i]
                    text = line if whole or " " not in line else line.split(" ", 1)[1]
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
        with self.changed:
            return "\n".join(t for _, t in self.lines) + "\nstderr:\n" + \
                "\n".join(t for _, t in self.stderr_lines)

    def connect(self):
        """A client connection once the listener is up (refused until then)."""
        return connect(self.port, self.patience)

    def wait_listening(self):
        """Waits until the station listens on its port, connecting to nothing
        (for a client program that tries once)."""
        wait_until("the station to listen on port %d" % self.port,
                   lambda: listening(self.port), self.patience)

    def send_signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, timeout=None):
        """Sends sig (none when None; nothing once the station has ended) and
        waits for the exit; returns the exit status, kept in self.exit_status."""
        timeout = self.patience if timeout is None else timeout
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
            r.join(timeout=self.patience)
        return self.exit_status

    def sanitizer_report(self):
        """All the output when it holds a sanitizer's report, else ""."""
        return sanitizer_report(self.dump())

    def close(self):
        """Kills the station if it still runs and removes its folder."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for r in self.readers:
            r.join(timeout=self.patience)
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.tmp.cleanup()


# ---- a directory host -------------------------------------------------------

class Port80Server:
    """A small web server on port 80 of one loopback address, bound once the
    port is free (within patience; PermissionError when port 80 is out of
    reach). mode:
    "answer"  records each request (read until the blank line) and answers;
    "silent"  accepts and never answers, holding each connection open;
    "endless" reads the request, then sends an answer that never ends.
    A request is recorded before it is answered: one the station has seen
    answered is always in the record."""

    def __init__(self, address, mode, patience=PATIENCE):
        self.address = address
        self.mode = mode
        self.patience = patience
        self.requests = []
        self.connections = []
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            wait_until("port 80 of %s to be free" % address, self._bind, patience, pause=0.2)
        except BaseException:
            self.listener.close()
            raise
        self.listener.listen(8)
        # A close does not end an accept under way: the loop looks at
        # self.running between short waits instead.
        self.listener.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _bind(self):
        try:
            self.listener.bind((self.address, 80))
            return True
        except PermissionError:
            raise
        except OSError:
            return False

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections.append(conn)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        if self.mode == "silent":
            return
        conn.settimeout(self.patience)
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
        self.thread.join(timeout=self.patience)
        self.listener.close()
        with self.lock:
            for c in self.connections:
                try:
                    c.close()
                except OSError:
                    pass
