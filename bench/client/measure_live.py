# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane-client --live against the real marvane --headless (virtual sound
card, the device-clock shim preloaded), with PulseAudio null sinks as the
laptop's speaker and microphone, all on CLOCK_MONOTONIC:

- receive latency: from a capture block's completion at the station (the
  shim logs it) to the moment its first sample is heard on the speaker
  sink's monitor (parec, 10 ms fragments; each sample timed back from the
  arrival of its fragment). capture.wav is 64 blocks, each silent but for an
  impulse at a place of its own, and the short step from block 63 to block 0
  says which impulse is which block;
- transmit latency: from a tone burst's first sample entering the
  microphone sink (seen on its monitor, which the client captures from) to
  its first sample played by the station's playback device (the shim logs
  each write to playback.wav), the space bar having transmit on;
- the client's CPU time (all its threads) per minute, receiving and
  transmitting.

Goals: receive latency under 200 ms beyond the block itself; transmit
latency under 0.8 s.

usage: measure_live.py --build BUILD_DIR [--seconds N] [--trials N]
"""

import argparse
import os
import random
import statistics
import struct
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "station"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import measure_latency as station_bench  # noqa: E402
from pulseharness import LiveClient, Pulse, PulseUnavailable  # noqa: E402

BLOCK = station_bench.BLOCK
RATE = station_bench.RATE
MARKED = station_bench.MARKED_BLOCKS
SINK_RATE = 44100  # the null sinks' own rate: nothing converts the recording
SCALE = SINK_RATE / RATE


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed_samples(recorder):
    """(samples, times in ns): each sample timed back from its fragment's
    arrival at the sink's rate."""
    samples, times = [], []
    with recorder.lock:
        chunks = list(recorder.chunks)
    for arrived, chunk in chunks:
        n = len(chunk)
        samples.extend(chunk)
        times.extend(int((arrived - (n - 1 - i) / recorder.rate) * 1e9) for i in range(n))
    return samples, times


def pulses(samples, threshold, gap):
    """Index of the largest sample of each run beyond the threshold; runs
    closer than `gap` samples are one."""
    found, best, last = [], None, -gap - 1
    for i, s in enumerate(samples):
        if abs(s) <= threshold:
            continue
        if i - last > gap:
            if best is not None:
                found.append(best)
            best = i
        elif abs(s) > abs(samples[best]):
            best = i
        last = i
    if best is not None:
        found.append(best)
    return found


def measure_receive(station, recorder):
    samples, times = timed_samples(recorder)
    peaks = pulses(samples, 2000, int(8 * SCALE))
    # Block k's impulse lies 16 k + 8 samples into it; from block 63 to
    # block 0 the step is 16 samples instead of 1040.
    wraps = [i for i in range(1, len(peaks)) if peaks[i] - peaks[i - 1] < 100 * SCALE]
    if not wraps:
        return [], len(peaks)
    completions = station_bench.capture_completions(station.events("capture"))
    latencies, unmatched = [], 0
    first_wrap = wraps[0]
    for i, peak in enumerate(peaks):
        k = (i - first_wrap) % MARKED
        start = times[peak] - int(station_bench.marker_index(k) / RATE * 1e9)
        done = [t for b, t in completions if b % MARKED == k and t <= start]
        if done and start - done[-1] < 1e9:
            latencies.append(start - done[-1])
        else:
            unmatched += 1
    return latencies[2:], unmatched  # past the first blocks


def measure_transmit(pulse, station, workdir, trials):
    mic = pulse.record("mic.monitor", SINK_RATE)
    time.sleep(1.0)
    burst = [0] * int(0.05 * SINK_RATE) + [
        int(12000 * (1 if (i // 22) % 2 else -1)) for i in range(int(0.05 * SINK_RATE))]
    for _ in range(trials):
        pulse.play("mic", burst, SINK_RATE).wait(timeout=30)
        time.sleep(0.8 + random.random() * BLOCK / RATE)
    time.sleep(1.5)
    mic.stop()
    samples, times = timed_samples(mic)
    entered = [times[i] for i in pulses(samples, 6000, int(0.3 * SINK_RATE))]
    return entered


def played_bursts(station, workdir):
    with wave.open(os.path.join(workdir, "playback.wav"), "rb") as w:
        n = w.getnframes()
        samples = struct.unpack("<%dh" % n, w.readframes(n))
    writes = station.events("playback")
    starts = []
    last = -RATE
    for i, s in enumerate(samples):
        if abs(s) > 6000:
            if i - last > 0.3 * RATE:
                offset = 44 + 2 * i
                write = next((w for w in writes if w[1] <= offset < w[1] + w[2]), None)
                if write:
                    starts.append(write[0])
            last = i
    return starts


def milliseconds(values):
    v = sorted(values)
    return "median %.0f ms, 95%% %.0f ms, max %.0f ms (n=%d)" % (
        statistics.median(v) / 1e6, v[min(len(v) - 1, int(0.95 * len(v)))] / 1e6, v[-1] / 1e6,
        len(v))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=60.0, help="receiving, for the CPU time")
    parser.add_argument("--trials", type=int, default=10)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    try:
        pulse = Pulse()
    except PulseUnavailable as e:
        print("measure_live: skipped, no PulseAudio here: %s" % e)
        return 0
    try:
        with tempfile.TemporaryDirectory(prefix="marvane-bench-") as workdir:
            station = station_bench.Station(build, workdir)
            client = None
            try:
                client = LiveClient(os.path.join(build, "bin", "marvane-client"), station.port,
                                    pulse.env, ("--output", "speaker", "--input", "microphone"))
                client.wait_raw()
                speaker = pulse.record("speaker.monitor", SINK_RATE)
                time.sleep(2.0)
                cpu0, t0 = cpu_seconds(client.proc.pid), time.monotonic()
                time.sleep(args.seconds)
                rx_cpu = (cpu_seconds(client.proc.pid) - cpu0) * 60 / (time.monotonic() - t0)
                speaker.stop()
                rx, unmatched = measure_receive(station, speaker)

                client.type(b" ")
                time.sleep(2.0)
                cpu0, t0 = cpu_seconds(client.proc.pid), time.monotonic()
                entered = measure_transmit(pulse, station, workdir, args.trials)
                tx_cpu = (cpu_seconds(client.proc.pid) - cpu0) * 60 / (time.monotonic() - t0)
                client.type(b" ")
                time.sleep(3.0)
                client.type(b"\x03")
                client.wait(timeout=30)
                status = client.output().replace("\r", "\n").splitlines()
            finally:
                if client:
                    client.close()
                station.stop()
            played = played_bursts(station, workdir)
    finally:
        pulse.close()
    tx = [p - e for e, p in zip(entered, played)]
    if not rx or not tx or len(entered) != len(played):
        print("measure_live: could not match the measurements (%d receive blocks, %d unmatched; "
              "%d bursts sent, %d played)" % (len(rx), unmatched, len(entered), len(played)))
        return 1
    last = next((line for line in reversed(status) if "late" in line), "")
    print("live receive latency (capture block complete -> its first sample on the speaker): "
          + milliseconds(rx) + ("; %d blocks unmatched" % unmatched if unmatched else ""))
    print("live transmit latency (sound into the microphone -> its first sample played by the "
          "station): " + milliseconds(tx))
    print("client CPU per minute live: receiving %.2f s (%.2f %% of one core), transmitting "
          "%.2f s (%.2f %%)" % (rx_cpu, rx_cpu / 0.6, tx_cpu, tx_cpu / 0.6))
    print("last status line: " + last.strip().replace("\x1b[K", ""))
    print("receive goal (< 200 ms beyond the block): %s"
          % ("met" if statistics.median(rx) < 200e6 else "NOT met"))
    print("transmit goal (< 0.8 s): %s" % ("met" if statistics.median(tx) < 800e6 else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
