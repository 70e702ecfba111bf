# SPDX-License-Identifier: GPL-3.0-or-later
"""Helpers for the link integration tests: the real marvane headless and
silent, its connection lines one by one, raw link frames over a socket."""

import socket
import struct

import harness
from harness import PATIENCE, REFUSING_URL


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


class Station(harness.Station):
    """The real marvane --headless with a silent virtual sound card and a
    directory host that refuses at once. next_line() gives the connection
    lines of its log, one after the other, time stamp and all."""

    def __init__(self, marvane):
        super().__init__(marvane, args=("--headless",), files={"url.txt": REFUSING_URL},
                         prefix="marvane-link-")
        self.handed_out = 0  # index after the last connection line given

    def next_line(self, timeout=PATIENCE):
        index, _, line = self.wait_line(r".* (dis)?connected .*", after=self.handed_out,
                                        timeout=timeout, whole=True)
        self.handed_out = index + 1
        return line
