# SPDX-License-Identifier: GPL-3.0-or-later
"""Transmit end to end: marvane-client --tx against the real
marvane --headless; what the virtual playback device played (playback.wav)
and the keying in the station's log. Full rate, then half rate.

usage: test_station_transmit.py MARVANE MARVANE_CLIENT
"""
# ctest: RUN_SERIAL TRUE

import os
import struct
import subprocess
import sys
import time
import unittest

from harness import PATIENCE, RATE, read_wav, tone, write_wav
from stationharness import BLOCK, BLOCK_SECONDS, Station, link_bytes

MARVANE = CLIENT = None

# The transmit filter's taps, each the nearest single-precision number.
TAPS_DECIMAL = [
    -0.000317, 0.001323, 0.000932, -0.001885, -0.002461, 0.002558, 0.005509, -0.002453,
    -0.010403, 0.000253, 0.017036, 0.005774, -0.024815, -0.018050, 0.032744, 0.041281,
    -0.039618, -0.091370, 0.044292, 0.312895, 0.453550, 0.312895, 0.044292, -0.091370,
    -0.039618, 0.041281, 0.032744, -0.018050, -0.024815, 0.005774, 0.017036, 0.000253,
    -0.010403, -0.002453, 0.005509, 0.002558, -0.002461, -0.001885, 0.000932, 0.001323,
    -0.000317]
F32 = struct.Struct("f")


def f32(x):
    return F32.unpack(F32.pack(x))[0]


TAPS = [f32(t) for t in TAPS_DECIMAL]


def half_rate_playback(data, blocks):
    """What the station plays for half-rate bytes: per block 512 bytes, each
    (b - 128) x 256 twice, through the 41-tap filter summed in single
    precision from a zero delay line, truncated, low 16 bits."""
    delay = [0.0] * 41
    out = []
    for b in data[:blocks * BLOCK // 2]:
        v = float((b - 128) * 256)
        for _ in range(2):
            delay = delay[1:] + [v]
            acc = 0.0
            for d, h in zip(delay, TAPS):
                acc = f32(acc + d * h)
            y = int(acc) & 0xFFFF
            out.append(y - 0x10000 if y >= 0x8000 else y)
    return out


def audible(samples, start, count):
    """The first `count` samples from `start` on, leaving out whole silent
    blocks: the station plays a silent block when the ring runs short (the
    rest of a burst still on its way on a busy machine) and goes on where it
    was. Returns them and the index after the last one taken."""
    taken = []
    i = start
    while len(taken) < count and i < len(samples):
        block = samples[i:i + BLOCK]
        if any(block):
            taken.extend(block)
        i += BLOCK
    return taken[:count], i


def quantized(samples):
    """Multiples of 256, which the 8-bit link carries unchanged."""
    return [s // 256 * 256 for s in samples]


class Transmit(unittest.TestCase):
    def setUp(self):
        self.station = Station(MARVANE)
        self.addCleanup(self.station.close)

    def transmit(self, path, *options, quiet=True):
        """marvane-client --tx, again while refused (the station listens again
        1000 ms after a client has gone); returns what it printed."""
        deadline = time.monotonic() + PATIENCE
        while True:
            result = subprocess.run([CLIENT, "127.0.0.1:%d" % self.station.port, "--tx", path,
                                     *(["--quiet"] if quiet else []), *options],
                                    capture_output=True, text=True, timeout=PATIENCE * 2)
            if "refused" not in result.stderr or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def keying(self, after):
        """The lines of one transmission from index `after`: mode TX, ptt on,
        ptt off and mode RX, in this order; returns their (index, time)."""
        s = self.station
        tx = s.wait_line("mode TX", after)
        on = s.wait_line("ptt on", tx[0])
        off = s.wait_line("ptt off", on[0])
        rx = s.wait_line("mode RX", off[0])
        self.assertEqual(s.texts()[tx[0] + 1], "ptt on")
        return tx, on, off, rx

    def test_full_then_half_rate_reach_the_playback_device(self):
        s = self.station
        s.wait_line("address idle")
        full = quantized(tone(700.0, 8000, 3 * RATE, phase=1.0))
        self.assertNotEqual(full[0], 0)
        full_path = os.path.join(s.dir, "full.wav")
        write_wav(full_path, full)
        self.transmit(full_path)

        tx, on, off, rx = self.keying(s.wait_line("connected 127.0.0.1")[0])
        # Keyed while the audio played (up to four blocks are still queued
        # when it unkeys), then back in receive.
        self.assertGreater(off[1] - on[1], 3.0 - 5 * BLOCK_SECONDS)
        # The client has gone: the pump passes through transmit to idle
        # (which it may show before the link logs the disconnection).
        gone = s.wait_line("disconnected 127.0.0.1", rx[0])
        s.wait_line("address idle", rx[0])

        half_rate = 5512
        half = quantized(tone(500.0, 8000, int(1.5 * half_rate), rate=half_rate, phase=1.0))
        half_path = os.path.join(s.dir, "half.wav")
        write_wav(half_path, half, rate=half_rate)
        self.transmit(half_path, "--rates", "0,1")
        self.keying(s.wait_line("connected 127.0.0.1", gone[0])[0])
        s.wait_line("disconnected 127.0.0.1", gone[0] + 1)

        # Silence (the start-up blocks, the restart and the blocks played
        # before the first "S"), then the file sample for sample.
        rate, played = read_wav(s.path("playback.wav"))
        self.assertEqual(rate, RATE)
        start = next(i for i, v in enumerate(played) if v != 0)
        self.assertEqual(start % BLOCK, 0)
        sent, end = audible(played, start, len(full))
        self.assertEqual(sent, full)

        # Half rate: the client's bytes, padded past the filter's delay and
        # then by seven blocks (four queued blocks and 0.25 s of device
        # latency); the station plays every block while at least 1024 bytes
        # wait, so all but the last 512.
        data = link_bytes(half)
        padded = (len(data) + 16 + 511) // 512 * 512 + 512 + 7 * 512
        blocks = padded // 512 - 1
        expected = half_rate_playback(data + bytes([128]) * (padded - len(data)), blocks)
        # Its silent tail is not told apart from a block the ring ran short for.
        while expected and not any(expected[-BLOCK:]):
            expected = expected[:-BLOCK]
        second = next(i for i in range(end, len(played)) if played[i] != 0) // BLOCK * BLOCK
        # The station unkeys with up to four blocks still queued: wait until
        # the device has played them.
        deadline = time.monotonic() + PATIENCE
        while True:
            heard, after = audible(played, second, len(expected))
            if (len(heard) == len(expected) and after + BLOCK <= len(played)) or \
                    time.monotonic() > deadline:
                break
            time.sleep(0.1)
            played = read_wav(s.path("playback.wav"))[1]
        self.assertFalse(any(played[end:second]))
        self.assertEqual(heard, expected)
        self.assertFalse(any(played[after:]))
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.sanitizer_report(), "")

    def test_the_client_keeps_one_to_three_seconds_in_the_ring(self):
        s = self.station
        s.wait_line("address idle")
        path = os.path.join(s.dir, "long.wav")
        write_wav(path, quantized(tone(700.0, 8000, 6 * RATE)))
        printed = self.transmit(path, quiet=False)
        fills = [int(line.split()[1]) for line in printed.splitlines() if line.startswith("fill ")]
        # "T" is answered with the emptied ring (the pump may report it
        # first); while the client's first two seconds arrive a report may
        # catch them half way; from the first report of a second or more,
        # a report every second block while the file lasts, about 6 s /
        # 186 ms of them, with the ring held near two seconds.
        self.assertEqual(fills[0], 0, fills)
        first = next(i for i, fill in enumerate(fills) if fill >= RATE)
        self.assertGreater(len(fills) - first, 20, printed)
        for fill in fills[first:]:
            self.assertGreaterEqual(fill, RATE, fills)
            self.assertLessEqual(fill, 3 * RATE, fills)
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
