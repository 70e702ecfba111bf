# SPDX-License-Identifier: GPL-3.0-or-later
"""Sound in -> sound out, side by side: how long a tone burst played into a
station's receiver takes to come out of the remote operator's speaker, for
each runner (runners.py: Debian's RemoteTrx with svxlink as the anchor,
marvane-client --live, the web page in headless Chromium with the default
20 ms Opus frames and with 10 ms ones), all in one run,
on one PulseAudio server whose stereo null sink records the receiver (left)
and the speaker (right) on one clock (sidebyside.py). Each figure (median,
95th percentile, maximum over the bursts) is printed with its ratio to RemoteTrx's.

Then Marvane's part at the station, measured on its own: from the burst
entering the receiver to the arrival of its block at a link client on
loopback, and how much of that is waiting for the block to fill; and with
it, where the live client's median goes.

With --long, continuity: a steady tone through marvane-client --live for
--continuity-seconds on loopback (no audio may go missing), and for
--jitter-seconds over a link with 30 ms of jitter (links.py: tc netem
between two network namespaces, or a jittering relay where the kernel has
no netem), where the client's buffer must grow and at most 0.5 % of the
audio may go missing. The web page's continuity runs the same way
(page-continuity, page-jitter; its frames: --page-frame-ms).

Goals: marvane-client --live at most 1.6 x RemoteTrx's median, the web
page at most 1.0 x.

usage: measure_delay.py --build BUILD_DIR [--bursts N] [--long]
                        [--parts delay,station,continuity,jitter] [--runners NAME,...]
"""

import argparse
import array
import os
import re
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import sidebyside as bench  # noqa: E402
import harness  # noqa: E402
import links  # noqa: E402
import runners  # noqa: E402
import webharness  # noqa: E402

GOAL = 1.6
PAGE_GOAL = 1.0
LINK_RATE = 11025
BLOCK = 1024
JITTER = 0.03
LOST_GOAL = 0.005


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def line(name, values, anchor):
    med, p95, top = bench.figures(values)
    parts = []
    for label, v, a in (("median", med, anchor and anchor[0]), ("95%", p95, anchor and anchor[1]),
                        ("max", top, anchor and anchor[2])):
        parts.append("%s %s%s" % (label, ms(v), " (%.2f x)" % (v / a) if a else ""))
    return "  %s: %s  (n=%d)" % (name, ", ".join(parts), len(values))


def measure_runner(setup, runner, bursts, settle):
    try:
        runner.start(setup)
        time.sleep(settle)  # buffers find their depth
        runner.mark()
        found, missing, _ = bench.measure_bursts(setup, bursts)
        notes = runner.notes(setup)
    finally:
        runner.stop()
    return found, missing, notes


class LinkReader:
    """A raw link client that only listens: everything the station sends it
    is receive audio; self.arrivals holds (monotonic time, bytes so far)."""

    def __init__(self, port):
        self.sock = harness.connect(port)
        self.data = bytearray()
        self.arrivals = []
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return
            now = time.monotonic()
            if not chunk:
                return
            self.data += chunk
            self.arrivals.append((now, len(self.data)))

    def arrival(self, index):
        """When byte `index` arrived."""
        return next(t for t, n in self.arrivals if n > index)

    def close(self):
        self.sock.close()
        self.thread.join(timeout=harness.PATIENCE)


def station_part(setup, bursts):
    """Per burst: (seconds from its onset in the receiver to the arrival of
    its first loud byte at a link client, seconds of that spent waiting for
    the rest of its block to be captured)."""
    station = runners.marvane_station(setup)
    reader = None
    try:
        reader = LinkReader(station.port)
        time.sleep(2.0)
        _, _, recording = bench.measure_bursts(setup, bursts)
    finally:
        if reader:
            reader.close()
        station.stop()
        station.close()
    start = recording.start_time()
    entered = [start + i / bench.RATE for i in bench.burst_onsets(recording.channel(0))]
    samples = [(b - 128) * 256 for b in reader.data]
    loud = [i for i in range(len(samples)) if abs(samples[i]) > 0.25 * bench.BURST_AMPLITUDE]
    onsets, last = [], -LINK_RATE
    for i in loud:
        if i - last > 0.3 * LINK_RATE:
            onsets.append(i)
        last = i
    parts = []
    for t in entered:
        later = [(reader.arrival(i), i) for i in onsets if reader.arrival(i) >= t]
        if later and later[0][0] - t < 1.0:
            arrived, i = later[0]
            parts.append((arrived - t, (BLOCK - i % BLOCK) / LINK_RATE))
    return parts


def resampler_hold():
    """Seconds of link samples the live client's resampler holds: half its
    filter's taps (tools/client/steer_resampler.h)."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                          "client", "steer_resampler.h")
    with open(header) as f:
        taps = int(re.search(r"kTaps = (\d+);", f.read()).group(1))
    return taps / 2 / LINK_RATE


def breakdown(total, station_rest, runner):
    """Where the live client's median goes, from what was measured apart."""
    block = BLOCK / LINK_RATE
    print("  where marvane-client --live's median %s goes:" % ms(total))
    print("    %s the station's block: waiting for it to fill, then playing it out up to the "
          "burst" % ms(block))
    print("    %s the station's capture device, its pump and the socket (median at a link "
          "client)" % ms(station_rest))
    known = block + station_rest
    if runner.depth_seconds is not None:
        trough = runner.depth_seconds - block / 2
        known += trough
        print("    %s the jitter buffer just before a block comes (the status line's median "
              "during the bursts less half a block)" % ms(trough))
    if runner.output_seconds is not None:
        known += runner.output_seconds
        print("    %s the output: the sound server's buffer and sink (as PulseAudio reports "
              "them)" % ms(runner.output_seconds))
        hold = resampler_hold()
        known += hold
        print("    %s the client's resampler to %d Hz (half its filter)" % (ms(hold),
                                                                             runner.output_rate))
    print("    %s the rest: the client's device calls, scheduling, and the error of the "
          "parts above" % ms(total - known))


def record_tone(setup, client, seconds, rate=8000):
    """Plays a steady tone into the receiver and records the bench sink for
    `seconds`: ((seconds missing, stretches missing) in the receiver, the
    same at the speaker, seconds recorded, the client's status text at the
    start). What goes missing in the receiver (the bench's own player
    falling behind) goes missing at the speaker too."""
    tone = bench.Tone(setup, "tone")
    try:
        time.sleep(5.0)
        before = client.output()
        watch = bench.StallWatch()
        recording = bench.Recording(setup, "bench.monitor", 2, rate)
        time.sleep(seconds)
        recording.stop()
        stalls = watch.stop()
    finally:
        tone.stop()
    received = bench.gaps(array.array("h", recording.channel(0)), rate)
    heard = bench.gaps(array.array("h", recording.channel(1)), rate)
    return received[:2], heard[:2], heard[2], before, stalls


def continuity(setup, seconds, link_name, runner):
    """Missing share of the audio at the speaker beyond what went missing
    in the receiver, and the late and lost runs the client counted."""
    try:
        runner.start(setup)
        received, heard, total, before, stalls = record_tone(setup, runner.client, seconds)
        text = runner.client.output()
    finally:
        runner.stop()
    start = runners.last_status(before) or (None, 0, 0)
    end = runners.last_status(text) or (None, 0, 0)
    shown = runners.depths(text)
    early = runners.depths(before)
    print("  %s, %.0f s of a steady tone: at the speaker %.3f s missing in %d stretches "
          "(%.3f %%), in the receiver %.3f s in %d; the client counted %d late and %d lost "
          "runs in that time (%d and %d since it started)" % (
              link_name, total, heard[0], heard[1], 100 * heard[0] / max(total, 1e-9),
              received[0], received[1], end[1] - start[1], end[2] - start[2], end[1], end[2]))
    if shown:
        print("    buffer shown: %s ms in the first seconds, then median %d ms, max %d ms"
              % ("/".join(str(d) for d in early[:4]) or "-", statistics.median(shown),
                 max(shown)))
    if stalls:
        print("    the machine meanwhile: of %d naps of 5 ms, %d ended over 20 ms late, %d over "
              "50 ms, the latest %s late" % (stalls[0], stalls[1], stalls[2], ms(stalls[3])))
    lost = max(0.0, heard[0] - received[0]) / max(total, 1e-9)
    return lost, end[1] - start[1], end[2] - start[2]


def jitter_run(setup, seconds):
    try:
        link = links.NetemLink(JITTER)
        station = runners.marvane_station(setup, prefix=link.prefix)
        runner = runners.MarvaneLive(station=station, host=link.host, port=station.port,
                                     listening=link.listening)
        name = "tc netem %d ms jitter between two network namespaces" % (JITTER * 1000)
    except RuntimeError as e:
        print("  (no netem link: %s; a relay on loopback jitters instead)" % e)
        link = None
        station = runners.marvane_station(setup)
        relay = links.RelayLink(station.port, JITTER)
        runner = runners.MarvaneLive(station=station, host=relay.host, port=relay.port,
                                     listening=lambda port: True)
        name = "relay with %d ms jitter" % (JITTER * 1000)
    try:
        lost, late, dropped = continuity(setup, seconds, name, runner)
    finally:
        station.stop()
        station.close()
        if link:
            link.close()
        else:
            relay.close()
    print("  jitter goal (at most %.1f %% missing): %s" % (100 * LOST_GOAL,
                                                        "met" if lost <= LOST_GOAL else "NOT met"))


def page_continuity(setup, seconds, jitter=None, frame_ms=20):
    """The web page's continuity, as continuity() measures the live
    client's: on loopback, or through a relay that jitters each read (the
    browser's connections all go through it)."""
    runner = runners.WebPage(jitter=jitter)
    runner.frame_ms = frame_ms
    name = "relay with %d ms jitter" % (jitter * 1000) if jitter else "loopback"
    name += ", %d ms frames" % frame_ms

    class Page:  # what record_tone asks a client for: here the page's report
        @staticmethod
        def output():
            return runner.report()

    try:
        runner.start(setup)
        runner.mark()
        received, heard, total, before, stalls = record_tone(setup, Page, seconds)
        after = runner.report()
    finally:
        runner.stop()
    underruns = after.get("underruns", 0) - before.get("underruns", 0)
    dropped = after.get("droppedMs", 0) - before.get("droppedMs", 0)
    print("  %s, %.0f s of a steady tone: at the speaker %.3f s missing in %d stretches "
          "(%.3f %%), in the receiver %.3f s in %d; the page counted %d underruns and %.0f ms "
          "dropped in that time" % (name, total, heard[0], heard[1],
                                    100 * heard[0] / max(total, 1e-9), received[0], received[1],
                                    underruns, dropped))
    depth = [r["depthMs"] for r in runner.reports if r.get("playing")]
    if depth:
        print("    buffer shown: median %.0f ms, max %.0f ms; aim at the end %.0f ms"
              % (statistics.median(depth), max(depth), after.get("aimMs", 0)))
    if stalls:
        print("    the machine meanwhile: of %d naps of 5 ms, %d ended over 20 ms late, %d over "
              "50 ms, the latest %s late" % (stalls[0], stalls[1], stalls[2], ms(stalls[3])))
    lost = max(0.0, heard[0] - received[0]) / max(total, 1e-9)
    if jitter:
        print("  jitter goal (at most %.1f %% missing): %s" % (
            100 * LOST_GOAL, "met" if lost <= LOST_GOAL else "NOT met"))
    else:
        print("  loopback goal (no late or lost audio): %s" % (
            "met" if lost == 0 and underruns == 0 and dropped == 0 else "NOT met"))


def main():
    webharness.use_debian_python()  # the web page's runner needs python3-selenium
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--bursts", type=int, default=36)
    parser.add_argument("--settle", type=float, default=5.0)
    parser.add_argument("--long", action="store_true",
                        help="also the continuity runs (--parts continuity,jitter,"
                             "page-continuity,page-jitter)")
    parser.add_argument("--parts", default="delay,station",
                        help="of delay, station, continuity, jitter, page-continuity, "
                             "page-jitter; --runners picks the runners of delay")
    parser.add_argument("--runners", default="",
                        help="comma-separated parts of runner names (default: all)")
    parser.add_argument("--page-frame-ms", type=int, default=20, choices=(10, 20),
                        help="the web page's frames in its continuity runs")
    parser.add_argument("--continuity-seconds", type=float, default=600)
    parser.add_argument("--jitter-seconds", type=float, default=600)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    launcher = os.path.join(build, "bin", "private-network")
    parts = set(args.parts.split(",")) | ({"continuity", "jitter", "page-continuity",
                                           "page-jitter"} if args.long else set())
    picked = [r for r in args.runners.split(",") if r]
    if "MARVANE_BENCH_PREPARED" not in os.environ and "delay" in parts:
        # Installing needs the archive, which the namespace below cannot reach.
        for cls in runners.RUNNERS:
            if picked and not any(p.lower() in cls.name.lower() for p in picked):
                continue
            problem = cls.prepare()
            if problem:
                os.environ["MARVANE_BENCH_PROBLEM_" + cls.__name__] = problem
        os.environ["MARVANE_BENCH_PREPARED"] = "1"
    if "MARVANE_PRIVATE_NETWORK" not in os.environ and os.access(launcher, os.X_OK):
        # Again in a network namespace of its own, where links may be made.
        sys.exit(subprocess.call([launcher, sys.executable, os.path.abspath(__file__),
                                  *sys.argv[1:]]))
    os.environ["MARVANE_BUILD_DIR"] = build
    try:
        setup = bench.Setup(build)
    except bench.PulseUnavailable as e:
        print("measure_delay: skipped: %s" % e)
        return 0
    status = 0
    try:
        anchor, results, station, measured = None, {}, [], {}
        if "delay" in parts:
            print("sound in -> sound out, %d tone bursts each (ratios to RemoteTrx's in the same "
                  "run):" % args.bursts)
        for cls in runners.RUNNERS if "delay" in parts else []:
            runner = cls()
            if picked and not any(p.lower() in runner.name.lower() for p in picked):
                continue
            problem = (os.environ.get("MARVANE_BENCH_PROBLEM_" + cls.__name__) or
                       runner.problem(setup))
            if problem:
                print("  %s: skipped: %s" % (runner.name, problem))
                continue
            try:
                found, missing, notes = measure_runner(setup, runner, args.bursts, args.settle)
            except (AssertionError, OSError, subprocess.SubprocessError) as e:
                print("  %s: failed: %s" % (runner.name, str(e).splitlines()[0] if str(e) else e))
                status = 1
                continue
            if len(found) < 30:
                print("  %s: only %d bursts heard (%d not)" % (runner.name, len(found), missing))
                status = 1
                continue
            results[runner.name] = found
            measured[runner.name] = runner
            if runner.anchor:
                anchor = bench.figures(found)
            print(line(runner.name, found, None if runner.anchor else anchor) +
                  ("; %d bursts not heard" % missing if missing else ""))
            for note in notes:
                print("    " + note)

        if "station" in parts:
            try:
                station = station_part(setup, args.bursts)
            except (AssertionError, OSError, subprocess.SubprocessError) as e:
                print("  Marvane's part at the station: failed: %s" % str(e).splitlines()[0])
                status = 1
        if station:
            total = [p for p, _ in station]
            wait = [w for _, w in station]
            rest = [p - w for p, w in station]
            print("  Marvane's part at the station (receiver -> the burst's block at a link "
                  "client), median %s, of which waiting for the block to fill %s and the "
                  "capture device, the pump and the socket %s (n=%d)" % (
                      ms(statistics.median(total)), ms(statistics.median(wait)),
                      ms(statistics.median(rest)), len(station)))
        live = results.get(runners.MarvaneLive.name)
        if live and station:
            breakdown(statistics.median(live), statistics.median(rest),
                      measured[runners.MarvaneLive.name])
        if live and anchor:
            ratio = statistics.median(live) / anchor[0]
            print("goal (marvane-client --live at most %.1f x RemoteTrx's median): %.2f x, %s"
                  % (GOAL, ratio, "met" if ratio <= GOAL else "NOT met"))
        elif live:
            print("goal (marvane-client --live at most %.1f x RemoteTrx's median): no anchor" % GOAL)
        for cls in (runners.WebPage, runners.WebPageShortFrames):
            page = results.get(cls.name)
            if page and anchor:
                ratio = statistics.median(page) / anchor[0]
                print("goal (the web page, %d ms frames, at most %.1f x RemoteTrx's median): "
                      "%.2f x, %s" % (cls.frame_ms, PAGE_GOAL, ratio,
                                      "met" if ratio <= PAGE_GOAL else "NOT met"))

        if parts & {"continuity", "jitter"}:
            print("continuity of marvane-client --live:")
        if "continuity" in parts:
            lost, late, dropped = continuity(setup, args.continuity_seconds, "loopback",
                                             runners.MarvaneLive())
            print("  loopback goal (no late or lost audio): %s"
                  % ("met" if lost == 0 and late == 0 and dropped == 0 else "NOT met"))
        if "jitter" in parts:
            jitter_run(setup, args.jitter_seconds)
        page = parts & {"page-continuity", "page-jitter"}
        if page and runners.WebPage().problem(setup):
            print("continuity of the web page: skipped: %s" % runners.WebPage().problem(setup))
        elif page:
            print("continuity of the web page in headless Chromium:")
            if "page-continuity" in parts:
                page_continuity(setup, args.continuity_seconds, None, args.page_frame_ms)
            if "page-jitter" in parts:
                page_continuity(setup, args.jitter_seconds, JITTER, args.page_frame_ms)
    finally:
        setup.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
