# SPDX-License-Identifier: GPL-3.0-or-later
"""CPU time of the whole marvane --headless process (all its threads, the
virtual sound card's included) per minute of receive streaming to a loopback
client. Goal: under 1 % of one core.

usage: measure_cpu.py --build BUILD_DIR [--seconds N]
"""

import argparse
import math
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import wave

RATE = 11025


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User plus system time of every thread of the process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    with tempfile.TemporaryDirectory(prefix="marvane-bench-") as workdir:
        with wave.open(os.path.join(workdir, "capture.wav"), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(b"".join(
                struct.pack("<h", int(5000 * math.sin(2 * math.pi * 1000 * i / RATE)))
                for i in range(RATE)))
        with open(os.path.join(workdir, "url.txt"), "w") as f:
            f.write("127.0.0.3 /directory N0CALL 0 -\n")  # refuses at once, on loopback
        port = free_port()
        env = dict(os.environ, MARVANE_PORT=str(port), MARVANE_VIRTUAL_SOUND=workdir)
        env.pop("LD_PRELOAD", None)
        proc = subprocess.Popen([os.path.join(build, "bin", "marvane"), "--headless"],
                                cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while True:
                try:
                    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
                    break
                except ConnectionRefusedError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.02)
            received = 0
            while received < 10 * 1024:  # streaming has begun
                received += len(sock.recv(65536))
            start_cpu, start = cpu_seconds(proc.pid), time.monotonic()
            received = 0
            while time.monotonic() - start < args.seconds:
                data = sock.recv(65536)
                if not data:
                    sys.exit("measure_cpu: the station closed the connection")
                received += len(data)
            used, elapsed = cpu_seconds(proc.pid) - start_cpu, time.monotonic() - start
            sock.close()
        finally:
            proc.terminate()
            proc.wait(timeout=30)
    per_minute = used * 60.0 / elapsed
    print("receive streaming: %.0f bytes/s to the client; station CPU %.2f s per minute "
          "(%.2f %% of one core)" % (received / elapsed, per_minute, 100.0 * used / elapsed))
    print("goal (< 1 %% of one core headless): %s"
          % ("met" if used / elapsed < 0.01 else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
