# SPDX-License-Identifier: GPL-3.0-or-later
"""A link with jitter between a station and its client, for the long runs
of the delay measurement.

NetemLink: the station in a network namespace of its own, joined to ours by
a veth pair carrying 127.10.0.1 (ours) and 127.10.0.2 (the station's), with
tc netem delaying every packet both ways by a uniform 0 to 2 x jitter. It
needs root (or CAP_SYS_ADMIN) inside a private network namespace, and a
kernel with the netem queueing discipline.

RelayLink: where netem is missing, a relay on loopback that holds each read
of either direction for a uniform 0 to 2 x jitter before passing it on, in
order (as a link whose delay varies, not one that reorders packets)."""

import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "integration"))

import harness  # noqa: E402

TC = shutil.which("tc") or shutil.which("tc", path="/usr/sbin:/sbin")
IP = shutil.which("ip") or shutil.which("ip", path="/usr/sbin:/sbin")
OURS, THEIRS = "127.10.0.1", "127.10.0.2"


def run(*argv):
    subprocess.run(argv, check=True, capture_output=True, text=True, timeout=harness.PATIENCE)


class NetemLink:
    """host: the address the client connects to; wrap(argv): the station's
    command line, run in the station's namespace; listening(port)."""

    def __init__(self, jitter, qdisc=None):
        self.holder = None
        if os.environ.get("MARVANE_PRIVATE_NETWORK") != "1":
            raise RuntimeError("not in a private network namespace: " +
                               (os.environ.get("MARVANE_PRIVATE_NETWORK_PROBLEM") or "unknown"))
        if TC is None or IP is None or shutil.which("nsenter") is None:
            raise RuntimeError("tc, ip or nsenter is missing")
        ms = int(jitter * 1000)
        qdisc = qdisc or ["netem", "delay", "%dms" % ms, "%dms" % ms]
        try:
            self.holder = subprocess.Popen(["unshare", "-n", "sleep", "infinity"])
            harness.wait_until("the station's namespace",
                               lambda: os.readlink("/proc/%d/ns/net" % self.holder.pid) !=
                               os.readlink("/proc/self/ns/net"))
            pid = str(self.holder.pid)
            run(IP, "link", "add", "mvq0", "type", "veth", "peer", "name", "mvq1", "netns", pid)
            inside = ["nsenter", "-t", pid, "-n"]
            for prefix, dev, address in (([], "mvq0", OURS), (inside, "mvq1", THEIRS)):
                # Loopback addresses on a veth: both ends must route them.
                run(*prefix, "sysctl", "-qw", "net.ipv4.conf.all.route_localnet=1",
                    "net.ipv4.conf.%s.route_localnet=1" % dev)
                run(*prefix, IP, "addr", "add", address + "/30", "dev", dev)
                run(*prefix, IP, "link", "set", dev, "up")
                run(*prefix, IP, "link", "set", "lo", "up")
                run(*prefix, TC, "qdisc", "add", "dev", dev, "root", *qdisc)
        except (subprocess.CalledProcessError, OSError, AssertionError) as e:
            self.close()
            detail = getattr(e, "stderr", "") or str(e)
            raise RuntimeError("cannot make the link: %s" % detail.strip())
        self.host = THEIRS
        self.prefix = ["nsenter", "-t", pid, "-n", "--"]

    def listening(self, port):
        with open("/proc/%d/net/tcp" % self.holder.pid) as f:
            return any(r.split()[1].endswith(":%04X" % port) and r.split()[3] == "0A"
                       for r in f.readlines()[1:])

    def close(self):
        # Deleting one end deletes both; the namespace's end alone would go
        # only once the kernel has let go of the namespace.
        subprocess.run([IP, "link", "del", "mvq0"], capture_output=True, timeout=harness.PATIENCE)
        if self.holder is not None:
            self.holder.kill()
            self.holder.wait()
            self.holder = None


class RelayLink:
    """Listens on 127.0.0.1:self.port and relays one connection at a time to
    127.0.0.1:target, each read held back for a random 0 to 2 x jitter."""

    def __init__(self, target, jitter, seed=None):
        self.target = target
        self.jitter = jitter
        self.rng = random.Random(seed)
        self.rng_lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.host, self.port = "127.0.0.1", self.listener.getsockname()[1]
        self.closed = False
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _delay(self):
        with self.rng_lock:
            return self.rng.uniform(0, 2 * self.jitter)

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            station = socket.create_connection(("127.0.0.1", self.target))
            for s in (client, station):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.sockets += [client, station]
            for a, b in ((client, station), (station, client)):
                queue = []
                cond = threading.Condition()
                threading.Thread(target=self._read, args=(a, b, queue, cond), daemon=True).start()
                threading.Thread(target=self._write, args=(b, a, queue, cond),
                                 daemon=True).start()

    def _read(self, source, sink, queue, cond):
        due = 0.0
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            # In order: never before what came earlier.
            due = max(due, time.monotonic() + self._delay())
            with cond:
                queue.append((due, data))
                cond.notify()
            if not data:
                return

    def _write(self, sink, source, queue, cond):
        while True:
            with cond:
                while not queue:
                    cond.wait()
                due, data = queue.pop(0)
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not data:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(data)
            except OSError:
                return

    def close(self):
        self.closed = True
        self.listener.close()
        for s in self.sockets:
            try:
                s.close()
            except OSError:
                pass
