"""Shared helpers for the link integration tests: free loopback ports, the
real marvane started headless in a temporary working directory, raw link
frames over a socket."""

import os
import queue
import socket
import struct
import subprocess
import tempfile
import threading
import time

PATIENCE = 30.0  # seconds; bounds liveness, measures nothing


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def frame(letter, hi=0, lo=0):
    return bytes([1, 2, 3, ord(letter), hi, lo])


def reset_close(sock):
    """Closes with a reset, as a vanished client's connection ends."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def recv_exactly(sock, n, timeout=PATIENCE):
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def next_frame(sock, timeout=PATIENCE):
    """The next 6-byte frame from the station, skipping receive audio (the
    station's silence is byte 128, never the 0x01 0x02 0x03 marks)."""
    sock.settimeout(timeout)
    got = b""
    while len(got) < 6:
        byte = sock.recv(1)
        if not byte:
            break
        got += byte
        # Until the marks are complete, keep only bytes that can begin them.
        while got and not b"\x01\x02\x03".startswith(got[:3]):
            got = got[1:]
    return got


class Station:
    """The real marvane --headless on its own port and working directory, with
    a silent virtual sound card and a directory host that refuses at once.
    next_line() gives the connection lines of its log; the others (status,
    PTT, announcer) are kept in self.log."""

    def __init__(self, marvane):
        self.port = free_port()
        self.dir = tempfile.TemporaryDirectory(prefix="marvane-link-")
        with open(os.path.join(self.dir.name, "url.txt"), "w") as f:
            f.write("127.0.0.3\n/directory\nN0CALL\n0\n-\n")
        self.log = []
        env = dict(os.environ, MARVANE_PORT=str(self.port), MARVANE_VIRTUAL_SOUND=self.dir.name)
        self.proc = subprocess.Popen([marvane, "--headless"], cwd=self.dir.name, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            line = line.rstrip("\n")
            self.log.append(line)
            if " connected " in line or " disconnected " in line:
                self.lines.put(line)

    def next_line(self, timeout=PATIENCE):
        return self.lines.get(timeout=timeout)

    def connect(self):
        """Connects once the listener is up (refused until then)."""
        deadline = time.monotonic() + PATIENCE
        while True:
            try:
                return socket.create_connection(("127.0.0.1", self.port), timeout=PATIENCE)
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

    def stop(self, sig=None):
        """Stops the station with SIGTERM (or sig); returns its exit status."""
        if self.proc.poll() is None:
            if sig is None:
                self.proc.terminate()
            else:
                self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        self.reader.join(timeout=PATIENCE)  # the pipe ends with the process
        self.proc.stderr.close()
        self.proc.stdout.close()
        self.dir.cleanup()
        return status
