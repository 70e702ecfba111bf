# SPDX-License-Identifier: GPL-3.0-or-later
"""Receive and transmit latency of the real marvane --headless with the
virtual sound card, measured on CLOCK_MONOTONIC, which this script shares
with the station:

- receive: from a capture block's completion on the virtual device (the
  device reads the block's samples from capture.wav right before it hands
  the block over; a preloaded shim logs the time) to the arrival of that
  same block's last byte at a loopback client. capture.wav is 64 blocks,
  each silent but for one impulse at a place of its own, so that each run
  of receive audio names the block it came from;
- transmit: from the send of an "S" frame (one block of a marked value) to
  the moment the virtual playback device plays its first sample (the shim
  logs each write of samples to playback.wav).

Goal: receive latency under 2 ms beyond the block itself.

usage: measure_latency.py --build BUILD_DIR [--seconds N] [--trials N]
"""

import argparse
import os
import random
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

BLOCK = 1024
RATE = 11025
BLOCK_NS = BLOCK * 1_000_000_000 // RATE


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


MARKED_BLOCKS = 64


def marker_index(k):
    return 16 * k + 8


def write_marked_blocks(path):
    """Block k of the file is silent but for one impulse at marker_index(k);
    the level control scales it but never moves it."""
    samples = [0] * (MARKED_BLOCKS * BLOCK)
    for k in range(MARKED_BLOCKS):
        samples[k * BLOCK + marker_index(k)] = 12000
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


def frame(letter, hi=0, lo=0):
    return bytes([1, 2, 3, ord(letter), hi, lo])


def percentiles(values):
    v = sorted(values)
    pick = lambda q: v[min(len(v) - 1, int(q * len(v)))]
    return "median %.3f ms, 95%% %.3f ms, max %.3f ms (n=%d)" % (
        statistics.median(v) / 1e6, pick(0.95) / 1e6, v[-1] / 1e6, len(v))


class Station:
    def __init__(self, build, workdir):
        self.port = free_port()
        self.log = os.path.join(workdir, "device-clock.log")
        write_marked_blocks(os.path.join(workdir, "capture.wav"))
        with open(os.path.join(workdir, "url.txt"), "w") as f:
            f.write("127.0.0.3 /directory N0CALL 0 -\n")  # refuses at once, on loopback
        shim = os.path.join(build, "lib", "libdevice_clock_shim.so")
        if not os.path.exists(shim):
            sys.exit("measure_latency: %s is missing (build the plain build)" % shim)
        env = dict(os.environ, MARVANE_PORT=str(self.port), MARVANE_VIRTUAL_SOUND=workdir,
                   LD_PRELOAD=shim, MARVANE_DEVICE_CLOCK_LOG=self.log)
        self.proc = subprocess.Popen([os.path.join(build, "bin", "marvane"), "--headless"],
                                     cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def connect(self):
        deadline = time.monotonic() + 30
        while True:
            try:
                s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                return s
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

    def events(self, kind):
        with open(self.log) as f:
            return [list(map(int, line.split()[1:])) for line in f if line.startswith(kind)]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def capture_completions(events):
    """(block number, completion time) of each capture block: the device reads
    a block's samples from the file, in one or more reads, right before it
    completes it, so block b completes with the read that brings the samples
    read so far to (b + 1) x 1024."""
    done, total = [], 0
    for t, frames in events:
        before = total
        total += frames
        for b in range(before // BLOCK, total // BLOCK):
            done.append((b, t))
    return done


def marked_block(run):
    """Which of the 64 marked blocks a 1024-byte run of receive audio is."""
    loud = [i for i, b in enumerate(run) if b != 128]
    if len(loud) != 1 or (loud[0] - 8) % 16:
        return None
    return (loud[0] - 8) // 16


def measure_receive(station, sock, seconds):
    runs = []  # (arrival of its last byte, the run's bytes)
    pending = b""
    sock.settimeout(5)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        data = sock.recv(65536)
        now = time.monotonic_ns()
        if not data:
            break
        pending += data
        while len(pending) >= BLOCK:
            runs.append((now, pending[:BLOCK]))
            pending = pending[BLOCK:]
    completions = capture_completions(station.events("capture"))
    latencies, unmatched = [], 0
    for arrival, run in runs[5:]:  # past the first blocks after the connection
        k = marked_block(run)
        done = [t for b, t in completions if b % MARKED_BLOCKS == k and t <= arrival]
        if k is not None and done:
            latencies.append(arrival - done[-1])
        else:
            unmatched += 1
    return latencies, unmatched


def read_frames(sock, want, timeout=10):
    """Reads until a frame with letter `want` has come; returns its value."""
    sock.settimeout(timeout)
    pending = b""
    while True:
        pending += sock.recv(65536)
        while True:
            i = pending.find(b"\x01\x02\x03")
            if i < 0:
                pending = pending[-2:]  # may hold the first marks
                break
            if len(pending) < i + 6:
                pending = pending[i:]
                break
            letter, value = chr(pending[i + 3]), pending[i + 4] * 256 + pending[i + 5]
            pending = pending[i + 6:]
            if letter == want:
                return value


def measure_transmit(station, sock, trials, workdir):
    sent = []
    for trial in range(trials):
        marker = 140 + trial  # plays as (marker - 128) x 256
        sock.sendall(frame("T"))
        read_frames(sock, "N")
        time.sleep(0.5 + random.random() * BLOCK / RATE)  # settled, at a random phase
        payload = bytes([marker]) * BLOCK
        t = time.monotonic_ns()
        sock.sendall(frame("S", BLOCK >> 8, BLOCK & 255) + payload)
        sent.append((marker, t))
        sock.sendall(frame("R"))
        time.sleep(1.0)  # the transmission ends and receive audio flows again
    sock.close()
    time.sleep(1.0)
    with wave.open(os.path.join(workdir, "playback.wav"), "rb") as w:
        n = w.getnframes()
        samples = struct.unpack("<%dh" % n, w.readframes(n))
    writes = station.events("playback")
    latencies = []
    for marker, t in sent:
        value = (marker - 128) * 256
        index = samples.index(value)
        offset = 44 + 2 * index
        played = next(w for w in writes if w[1] <= offset < w[1] + w[2])
        latencies.append(played[0] - t)
    return latencies


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--trials", type=int, default=8)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    with tempfile.TemporaryDirectory(prefix="marvane-bench-") as workdir:
        station = Station(build, workdir)
        try:
            sock = station.connect()
            rx, unmatched = measure_receive(station, sock, args.seconds)
            tx = measure_transmit(station, sock, args.trials, workdir)
        finally:
            station.stop()
    print("receive latency (capture block complete -> last byte at the client): "
          + percentiles(rx) + ("; %d runs unmatched" % unmatched if unmatched else ""))
    print("transmit latency (\"S\" sent -> its first sample played): " + percentiles(tx))
    goal = statistics.median(rx) < 2e6
    print("receive goal (< 2 ms beyond the block): %s" % ("met" if goal else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
