# SPDX-License-Identifier: GPL-3.0-or-later
"""The whole marvane process's CPU share with its window up under Xvfb and the
waterfall running at 20 refreshes a second, a 1 kHz tone on the virtual sound
card and no client. The goal is under 3 % of one core.

usage: measure_cpu.py [--build DIR] [--seconds N]
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import windowharness as wh  # noqa: E402

GOAL = 3.0  # per cent of one core


def cpu_seconds(pid):
    """User plus system time of a process, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def cursor_row(station):
    view = station.view()
    for j, row in enumerate(view):
        if all(p == (0, 0, 255) for p in row):
            return j
    return None


def timed_cursor_row(station):
    """The cursor's row and the time the screenshot was asked for."""
    while True:
        taken = time.monotonic()
        row = cursor_row(station)
        if row is not None:
            return row, taken


def refresh_rate(station, seconds=4.0):
    """Refreshes a second, from the waterfall cursor's climb (one row per
    refresh; the cycle stays inside the view, one position per row), which
    must not wrap more than once in between."""
    start_row, start = timed_cursor_row(station)
    time.sleep(seconds)
    end_row, end = timed_cursor_row(station)
    moved = (start_row - end_row) % wh.VIEW_H
    return moved / (end - start)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=20.0)
    args = parser.parse_args()
    marvane = os.path.join(os.path.abspath(args.build), "bin", "marvane")
    if not os.path.exists(marvane):
        print("measure_cpu: %s is not built" % marvane)
        return 1
    try:
        xvfb = wh.Xvfb()
    except SystemExit:
        print("measure_cpu: skipped, no Xvfb")
        return 0
    station = None
    try:
        station = wh.Station(marvane, xvfb)
        # Warm-up: the device opened, the waterfall running.
        wh.wait_until("the waterfall cursor", lambda: cursor_row(station) is not None)
        time.sleep(2.0)
        rate = refresh_rate(station)

        pid = station.proc.pid
        wall0, cpu0, x0 = time.monotonic(), cpu_seconds(pid), cpu_seconds(xvfb.proc.pid)
        time.sleep(args.seconds)
        wall1, cpu1, x1 = time.monotonic(), cpu_seconds(pid), cpu_seconds(xvfb.proc.pid)
        share = 100.0 * (cpu1 - cpu0) / (wall1 - wall0)
        x_share = 100.0 * (x1 - x0) / (wall1 - wall0)
        print("waterfall at %.1f refreshes/s over %.0f s: marvane %.2f %% of one core "
              "(goal under %.0f %%: %s); Xvfb %.2f %%"
              % (rate, wall1 - wall0, share, GOAL, "met" if share < GOAL else "NOT met", x_share))
        return 0
    finally:
        if station is not None:
            station.stop()
        xvfb.stop()


if __name__ == "__main__":
    sys.exit(main())
