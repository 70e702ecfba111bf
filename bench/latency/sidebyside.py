# SPDX-License-Identifier: GPL-3.0-or-later
"""One PulseAudio server for the side-by-side delay measurement, and what it
measures with.

The server holds one stereo null sink, "bench", the clock of the whole
measurement: its left channel is the station's receiver (tone bursts are
played into it through the mono sink "tone", and the station captures it
through the mono source "near"), its right channel the remote end's
speaker (the mono sink "far" plays onto it). A recording of the sink's
monitor holds both on one clock, sample for sample. ALSA, and so PortAudio
and svxlink, reach them as the devices "near" (capture from the receiver;
playback into "void", a null sink nobody hears) and "far" (playback to the
speaker; capture from "void"), by an .asoundrc in the server's home folder.
"""

import array
import math
import os
import random
import re
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import harness  # noqa: E402
from pulseharness import Pulse, PulseUnavailable  # noqa: E402, F401

RATE = 48000            # the bench sink's rate: nothing converts the recording
BURST_SECONDS = 0.1
BURST_HZ = 1000.0
BURST_AMPLITUDE = 12000
ONSET_FRACTION = 0.25   # of the burst's own peak on that channel

ASOUNDRC = """pcm.near {
    type asym
    playback.pcm { type pulse; device void }
    capture.pcm { type pulse; device near }
}
pcm.far {
    type asym
    playback.pcm { type pulse; device far }
    capture.pcm { type pulse; device void.monitor }
}
"""


class Setup:
    """The server and its devices. env reaches it (PULSE_SERVER, and a HOME
    with the .asoundrc); capture_pcm and playback_pcm are the ALSA device
    names of the station's receiver and the remote end's speaker,
    playback_sink the speaker's PulseAudio sink (for programs that play
    through PulseAudio directly)."""

    capture_pcm = "near"
    playback_pcm = "far"
    playback_sink = "far"

    def __init__(self, build):
        self.build = build
        self.pulse = Pulse(sinks=("bench channels=2 rate=%d channel_map=front-left,front-right"
                                  % RATE, "void"), asoundrc=ASOUNDRC)
        self.env = self.pulse.env
        try:
            for module in (
                    ("module-remap-sink", "sink_name=far", "master=bench", "channels=1",
                     "channel_map=mono", "master_channel_map=front-right", "remix=no"),
                    ("module-remap-sink", "sink_name=tone", "master=bench", "channels=1",
                     "channel_map=mono", "master_channel_map=front-left", "remix=no"),
                    ("module-remap-source", "source_name=near", "master=bench.monitor",
                     "channels=1", "channel_map=mono", "master_channel_map=front-left",
                     "remix=no")):
                subprocess.run(["pactl", "load-module", *module], env=self.env, check=True,
                               capture_output=True, timeout=harness.PATIENCE)
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
            self.close()
            raise PulseUnavailable("cannot set up the bench sink: %s" % e)

    def program(self, name):
        return os.path.join(self.build, "bin", name)

    def playing_to(self, sink):
        """Whether a program's stream plays into that sink."""
        out = subprocess.run(["pactl", "list", "short", "sink-inputs"], env=self.env,
                             capture_output=True, text=True, timeout=harness.PATIENCE).stdout
        sinks = subprocess.run(["pactl", "list", "short", "sinks"], env=self.env,
                               capture_output=True, text=True,
                               timeout=harness.PATIENCE).stdout
        index = [row.split("\t")[0] for row in sinks.splitlines()
                 if row.split("\t")[1:2] == [sink]]
        return any(row.split("\t")[1] in index and "protocol-native" in row
                   for row in out.splitlines())

    def output_stream(self, program):
        """(seconds that the sound server holds of what the program plays:
        its stream's buffer and the sink's latency, as PulseAudio reports
        them; the stream's rate), or None when it plays nothing."""
        out = subprocess.run(["pactl", "list", "sink-inputs"], env=self.env,
                             capture_output=True, text=True, timeout=harness.PATIENCE).stdout
        for entry in out.split("Sink Input #")[1:]:
            if 'application.process.binary = "%s"' % program not in entry:
                continue
            found = re.findall(r"(Buffer|Sink) Latency: (\d+) usec", entry)
            rate = re.search(r": \S+ \d+ch (\d+)Hz", entry)
            if len(found) == 2 and rate:
                return sum(int(usec) for _, usec in found) / 1e6, int(rate.group(1))
        return None

    def close(self):
        self.pulse.close()


class Recording:
    """parec of a device into a file, each read time-stamped on arrival, so
    that sample positions can be put on CLOCK_MONOTONIC."""

    def __init__(self, setup, device, channels, rate=RATE):
        self.rate = rate
        self.channels = channels
        self.samples = array.array("h")
        self.arrivals = []  # (monotonic seconds, samples per channel so far)
        self.proc = subprocess.Popen(
            ["parec", "--device=" + device, "--raw", "--rate=%d" % rate,
             "--channels=%d" % channels, "--format=s16le", "--latency-msec=10"],
            env=setup.env, stdout=subprocess.PIPE)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        rest = b""
        frame = 2 * self.channels
        while True:
            data = os.read(self.proc.stdout.fileno(), 65536)
            now = time.monotonic()
            if not data:
                return
            data = rest + data
            whole = len(data) // frame * frame
            rest = data[whole:]
            chunk = array.array("h")
            chunk.frombytes(data[:whole])
            self.samples.extend(chunk)
            self.arrivals.append((now, len(self.samples) // self.channels))

    def channel(self, c):
        return self.samples[c::self.channels]

    def start_time(self):
        """Monotonic time of the first sample: the earliest arrival less the
        length of what had come by then (the sink runs on the same clock)."""
        return min(t - n / self.rate for t, n in self.arrivals)

    def stop(self):
        harness.stop_process(self.proc)
        self.thread.join(timeout=harness.PATIENCE)
        self.proc.stdout.close()


def burst_train(count, spacing=(0.6, 0.9), seed=None):
    """Samples of count tone bursts, each followed by a silence of random
    length, so that the bursts fall anywhere in a station's block."""
    rng = random.Random(seed)
    one = [int(BURST_AMPLITUDE * math.sin(2 * math.pi * BURST_HZ * i / RATE))
           for i in range(int(BURST_SECONDS * RATE))]
    samples = [0] * int(0.5 * RATE)
    for _ in range(count):
        samples += one + [0] * int(rng.uniform(*spacing) * RATE)
    return samples


def play(setup, device, samples):
    """Plays mono samples into a sink; returns the player."""
    player = subprocess.Popen(["pacat", "--playback", "--device=" + device, "--raw",
                               "--rate=%d" % RATE, "--channels=1", "--format=s16le"],
                              env=setup.env, stdin=subprocess.PIPE)
    player.stdin.write(struct.pack("<%dh" % len(samples), *samples))
    player.stdin.close()
    return player


def first_loud(samples, start, end, fraction):
    """Index of the first sample in [start, end) beyond fraction of the
    stretch's peak, or None when it is silent."""
    peak = max((abs(s) for s in samples[start:end]), default=0)
    if peak < 1000:
        return None
    limit = fraction * peak
    for i in range(start, end):
        if abs(samples[i]) > limit:
            return i
    return None


def burst_onsets(samples, quiet_before=0.3):
    """Index of each burst's first sample: the first sample beyond a fixed
    level after at least quiet_before seconds below it."""
    limit = ONSET_FRACTION * BURST_AMPLITUDE
    gap = int(quiet_before * RATE)
    onsets, last = [], -gap
    for i, s in enumerate(samples):
        if abs(s) > limit:
            if i - last >= gap:
                onsets.append(i)
            last = i
    return onsets


def delays(recording):
    """Seconds from each burst's onset on the left channel to its onset on
    the right one, found between that burst and the next; and the number of
    bursts not heard on the right."""
    left, right = recording.channel(0), recording.channel(1)
    onsets = burst_onsets(left)
    found, missing = [], 0
    for n, start in enumerate(onsets):
        end = onsets[n + 1] if n + 1 < len(onsets) else len(right)
        heard = first_loud(right, start, end, ONSET_FRACTION)
        if heard is None:
            missing += 1
        else:
            found.append((heard - start) / RATE)
    return found, missing, onsets


def figures(values):
    """(median, 95th percentile, maximum) of the values."""
    v = sorted(values)
    return (statistics.median(v), v[max(0, math.ceil(0.95 * len(v)) - 1)], v[-1])


def measure_bursts(setup, bursts, seed=None):
    """Plays the bursts into the station's receiver while the bench sink is
    recorded: (delays in seconds, bursts unheard, the recording)."""
    recording = Recording(setup, "bench.monitor", 2)
    try:
        time.sleep(0.5)
        train = burst_train(bursts, seed=seed)
        play(setup, "tone", train).wait(timeout=len(train) / RATE + harness.PATIENCE)
        time.sleep(1.5)
    finally:
        recording.stop()
    found, missing, _ = delays(recording)
    return found, missing, recording


def gaps(samples, rate, window=0.005, fraction=0.3):
    """Seconds of a recorded steady tone that are missing: windows whose
    peak falls below fraction of the recording's typical peak; and the
    number of such stretches."""
    size = max(1, int(window * rate))
    peaks = [max(abs(s) for s in samples[i:i + size])
             for i in range(0, len(samples) - size + 1, size)]
    if not peaks:
        return 0.0, 0, 0.0
    typical = statistics.median(peaks)
    missing = [p < fraction * typical for p in peaks]
    runs = sum(1 for i, m in enumerate(missing) if m and (i == 0 or not missing[i - 1]))
    return sum(missing) * window, runs, len(peaks) * window


STALL_PROBE = r"""
import signal, sys, time
late = []
def report(*_):
    late.sort()
    print(len(late), sum(1 for x in late if x > 0.02), sum(1 for x in late if x > 0.05),
          late[-1] if late else 0.0, flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, report)
while True:
    t = time.monotonic()
    time.sleep(0.005)
    late.append(time.monotonic() - t - 0.005)
"""


class StallWatch:
    """How late a thread of its own that sleeps 5 ms at a time wakes up: a
    measure of how busy the machine is while something else is measured."""

    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", STALL_PROBE],
                                     stdout=subprocess.PIPE, text=True)

    def stop(self):
        """(wake-ups, over 20 ms late, over 50 ms late, latest in seconds)."""
        self.proc.terminate()
        out, _ = self.proc.communicate(timeout=harness.PATIENCE)
        fields = out.split()
        if len(fields) != 4:
            return None
        return int(fields[0]), int(fields[1]), int(fields[2]), float(fields[3])


class Tone:
    """A steady 1 kHz tone into a sink until stopped."""

    def __init__(self, setup, device, amplitude=BURST_AMPLITUDE):
        period = int(RATE / BURST_HZ)
        one = struct.pack("<%dh" % period, *(
            int(amplitude * math.sin(2 * math.pi * i / period)) for i in range(period)))
        self.chunk = one * (RATE // 10 // period)
        self.stopping = threading.Event()
        self.proc = subprocess.Popen(["pacat", "--playback", "--device=" + device, "--raw",
                                      "--rate=%d" % RATE, "--channels=1", "--format=s16le",
                                      "--latency-msec=500"],
                                     env=setup.env, stdin=subprocess.PIPE)
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        try:
            while not self.stopping.is_set():
                self.proc.stdin.write(self.chunk)  # paced by pacat's buffer
                self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def stop(self):
        self.stopping.set()
        harness.stop_process(self.proc)
        self.thread.join(timeout=harness.PATIENCE)
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
