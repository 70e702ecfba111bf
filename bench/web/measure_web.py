# SPDX-License-Identifier: GPL-3.0-or-later
"""The web station of the real marvane --headless (virtual sound card, the
device-clock shim preloaded, guests let in), all on CLOCK_MONOTONIC:

- delay: from the completion of a capture block at the station (the shim
  logs it) to its first sample heard on the PulseAudio null sink that
  headless Chromium plays the page into (parec, each sample timed back from
  its fragment's arrival). capture.wav is eight blocks, the first beginning
  with a 20 ms burst of 1 kHz, the rest silent: each burst's onset on the
  sink belongs to the last burst block completed before it;
- bytes per second per listener, audio (Opus) and all (with the spectrum
  and the status), as a load client of the page's WebSocket receives them,
  from a second station whose capture is a busy band (a tone in noise);
- that station's CPU time (all its threads) and memory with 1, 10 and 50
  listeners (load clients of the WebSocket protocol, each reading all).

Goals: delay under 250 ms median; audio under 4 kB/s per listener; 50
listeners under 10 % of one core.

usage: measure_web.py --build BUILD_DIR [--bursts N] [--seconds N] [--frame-ms 10|20]
"""

import argparse
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "station"))
sys.path.insert(0, os.path.join(HERE, "..", "client"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import harness  # noqa: E402
import measure_latency as station_bench  # noqa: E402
from measure_live import cpu_seconds, milliseconds, timed_samples  # noqa: E402
from pulseharness import Pulse, PulseUnavailable  # noqa: E402
from webharness import (WebSocketClient, chromium, spki_hash_of, trusting,  # noqa: E402
                        use_debian_python)

BLOCK = 1024
RATE = 11025
PERIOD_BLOCKS = 8
SINK_RATE = 44100


def memory_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return {k: int(v.split()[0]) for k, v in (line.split(":", 1) for line in f)
                if k in ("VmRSS", "VmHWM")}


class Station:
    """marvane --headless with the shim, guests let in on its web port."""

    def __init__(self, build, workdir, capture, frame_ms=20):
        self.dir = workdir
        self.port = harness.free_port()
        self.web_port = harness.free_port()
        self.log = os.path.join(workdir, "device-clock.log")
        harness.write_wav(os.path.join(workdir, "capture.wav"), capture)
        with open(os.path.join(workdir, "url.txt"), "w") as f:
            f.write(harness.REFUSING_URL)
        with open(os.path.join(workdir, "marvane.conf"), "w") as f:
            f.write("[web]\nport = %d\nguests = yes\nmax_listeners = 60\nmax_per_address = 60\n"
                    "frame_ms = %d\n" % (self.web_port, frame_ms))
        shim = os.path.join(build, "lib", "libdevice_clock_shim.so")
        if not os.path.exists(shim):
            sys.exit("measure_web: %s is missing (build the plain build)" % shim)
        env = dict(os.environ, MARVANE_PORT=str(self.port), MARVANE_VIRTUAL_SOUND=workdir,
                   LD_PRELOAD=shim, MARVANE_DEVICE_CLOCK_LOG=self.log)
        env.pop("MARVANE_WEB_PORT", None)
        self.proc = subprocess.Popen([os.path.join(build, "bin", "marvane"), "--headless"],
                                     cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        harness.wait_until("the web station", lambda: harness.listening(self.web_port))

    def path(self, name):
        return os.path.join(self.dir, name)

    def tls_context(self):
        return trusting(self.path("web-cert.pem"))

    def spki_hash(self):
        return spki_hash_of(self.path("web-cert.pem"))

    def events(self, kind):
        with open(self.log) as f:
            return [list(map(int, line.split()[1:])) for line in f if line.startswith(kind)]

    def stop(self):
        harness.stop_process(self.proc)


def bursts_capture():
    """Eight blocks, the first beginning with 20 ms of 1 kHz."""
    burst = harness.tone(1000.0, 12000, int(0.02 * RATE))
    return burst + [0] * (PERIOD_BLOCKS * BLOCK - len(burst))


def busy_band_capture():
    """Two seconds of a 1 kHz tone in noise, as a busy band sounds to Opus."""
    noise = random.Random(7)
    return [int(4000 * math.sin(2 * math.pi * 1000 * i / RATE) + noise.uniform(-3000, 3000))
            for i in range(2 * RATE)]


def onsets(samples, threshold=3000, quiet=int(0.3 * SINK_RATE)):
    """Index of the first loud sample of each burst after a quiet stretch."""
    found, last = [], -quiet - 1
    for i, s in enumerate(samples):
        if abs(s) > threshold:
            if i - last > quiet:
                found.append(i)
            last = i
    return found


def measure_delay(pulse, station, bursts):
    profile = tempfile.mkdtemp(prefix="marvane-bench-chromium-")
    driver = chromium(station, pulse.env, profile)
    try:
        from selenium.webdriver.common.by import By
        driver.get("https://127.0.0.1:%d/" % station.web_port)
        harness.wait_until("the page", lambda: driver.find_elements(By.ID, "start"))
        harness.wait_until("the page's greeting", lambda: driver.execute_script(
            "return document.getElementById('who').textContent") == "guest")
        driver.find_element(By.ID, "start").click()
        harness.wait_until("the page to play", lambda: driver.execute_script(
            "return window.marvaneBuffer && window.marvaneBuffer.depthMs > 0"))
        time.sleep(2.0)
        sink = pulse.record("speaker.monitor", SINK_RATE)
        time.sleep(bursts * PERIOD_BLOCKS * BLOCK / RATE + 1.0)
        sink.stop()
        depth = driver.execute_script("return window.marvaneBuffer")
    finally:
        driver.quit()
        shutil.rmtree(profile, True)
    samples, times = timed_samples(sink)
    completions = station_bench.capture_completions(station.events("capture"))
    burst_blocks = [t for b, t in completions if b % PERIOD_BLOCKS == 0]
    delays = []
    for i in onsets(samples):
        heard = times[i]
        done = [t for t in burst_blocks if t <= heard]
        if done and heard - done[-1] < 1e9:
            delays.append(heard - done[-1])
    return delays[1:], depth


def load(station, count, seconds):
    """count listeners for seconds: (station CPU %% of one core, memory,
    bytes per second per listener: audio, all)."""
    clients, counts, stop = [], [], threading.Event()
    for _ in range(count):
        c = WebSocketClient(station)
        if c.connect()[0] != 101:
            raise AssertionError("a load client was refused")
        c.send_json({"type": "hello", "codecs": ["opus"]})
        clients.append(c)
        counts.append([0, 0])

    def read(c, tally):
        while not stop.is_set():
            try:
                opcode, payload = c.receive()
            except (EOFError, OSError):
                return
            size = len(payload) + (2 if len(payload) < 126 else 4)  # with the frame's head
            tally[1] += size
            if opcode == 2 and payload[0] == 1:
                tally[0] += size

    threads = [threading.Thread(target=read, args=(c, t), daemon=True)
               for c, t in zip(clients, counts)]
    for t in threads:
        t.start()
    time.sleep(3.0)
    before = [list(t) for t in counts]
    cpu0, t0 = cpu_seconds(station.proc.pid), time.monotonic()
    time.sleep(seconds)
    cpu = (cpu_seconds(station.proc.pid) - cpu0) / (time.monotonic() - t0) * 100
    elapsed = time.monotonic() - t0
    after = [list(t) for t in counts]
    memory = memory_kib(station.proc.pid)
    stop.set()
    for c in clients:
        c.close()
    audio = statistics.mean(a[0] - b[0] for a, b in zip(after, before)) / elapsed
    total = statistics.mean(a[1] - b[1] for a, b in zip(after, before)) / elapsed
    return cpu, memory, audio, total


def main():
    use_debian_python()
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--bursts", type=int, default=40)
    parser.add_argument("--seconds", type=float, default=15.0, help="each load's CPU time")
    parser.add_argument("--frame-ms", type=int, default=20, choices=(10, 20), help="[web] frame_ms")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    try:
        pulse = Pulse(sinks=("speaker",))
    except PulseUnavailable as e:
        print("measure_web: skipped, no PulseAudio here: %s" % e)
        return 0
    results = {}
    try:
        with tempfile.TemporaryDirectory(prefix="marvane-bench-web-") as workdir:
            station = Station(build, workdir, bursts_capture(), args.frame_ms)
            try:
                delays, depth = measure_delay(pulse, station, args.bursts)
            finally:
                station.stop()
        with tempfile.TemporaryDirectory(prefix="marvane-bench-web-") as workdir:
            station = Station(build, workdir, busy_band_capture(), args.frame_ms)
            try:
                time.sleep(2.0)
                idle_cpu0, t0 = cpu_seconds(station.proc.pid), time.monotonic()
                time.sleep(5.0)
                idle = (cpu_seconds(station.proc.pid) - idle_cpu0) / (time.monotonic() - t0) * 100
                for n in (1, 10, 50):
                    results[n] = load(station, n, args.seconds)
                    time.sleep(1.0)
            finally:
                station.stop()
    finally:
        pulse.close()
    if len(delays) < args.bursts // 2:
        print("measure_web: only %d of %d bursts were heard" % (len(delays), args.bursts))
        return 1
    print("web delay (capture block complete -> its first sample on the browser's sink): "
          + milliseconds(delays))
    if depth:
        print("page's buffer at the end: %.0f ms deep, %.0f ms dropped, %d underruns"
              % (depth["depthMs"], depth["droppedMs"], depth["underruns"]))
    print("station CPU with no listener: %.2f %% of one core" % idle)
    for n, (cpu, memory, audio, total) in results.items():
        print("%2d listeners: station CPU %.2f %% of one core, memory %d KiB (peak %d KiB); "
              "per listener %.0f B/s of audio, %.0f B/s in all"
              % (n, cpu, memory["VmRSS"], memory["VmHWM"], audio, total))
    print("delay goal (< 250 ms median): %s"
          % ("met" if statistics.median(delays) < 250e6 else "NOT met"))
    print("audio goal (< 4 kB/s per listener): %s" % ("met" if results[1][2] < 4000 else "NOT met"))
    print("CPU goal (50 listeners < 10 %% of one core): %s"
          % ("met" if results[50][0] < 10 else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
