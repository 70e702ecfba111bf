# SPDX-License-Identifier: GPL-3.0-or-later
"""What keeps the transmitter keyed or the client slot taken, measured on the
real marvane --headless: a silent client, a client whose network vanishes
while receiving or transmitting, and a client that stops reading. Each
scenario returns the seconds it measured; the on-air test bounds them and
bench/station/measure_on_air.py reports them.

The vanished network is an nftables rule that drops the client's port pair:
it needs a network namespace of the caller's own (require_firewall)."""

import os
import shutil
import socket
import subprocess
import time

from harness import PATIENCE, connect, skip

# /usr/sbin is not on every user's path.
NFT = shutil.which("nft") or shutil.which("nft", path="/usr/sbin:/sbin")
from stationharness import BLOCK, LinkClient, Station, link_bytes


def station(marvane, conf=None):
    files = {"marvane.conf": conf} if conf else {}
    return Station(marvane, capture=2000, files=files)


def served_then_gone(s):
    """A new client is served; returns once the station has seen it go."""
    client = s.serve_client()
    start = len(s.lines)
    client.close()
    s.wait_line(r"disconnected .*", start)


def keyed_client(s):
    """A client that has sent "T" and one block of audio: (client, index of
    the "ptt on" line)."""
    client = s.serve_client()
    client.send_frame("T")
    client.wait_frame("N", 0)
    client.send_sized("S", link_bytes([4000] * BLOCK))
    return client, s.wait_line("ptt on")


def silent_client(s):
    """A client sends "T" and one block, then nothing while it stays
    connected: seconds keyed from "ptt on" to "ptt off". Receive audio comes
    again on the same connection afterwards."""
    client, on = keyed_client(s)
    off = s.wait_line("ptt off", on[0])
    s.wait_line("mode RX", off[0])
    after = client.count()
    client.wait_audio(BLOCK, after)
    start = len(s.lines)
    client.close()
    s.wait_line(r"disconnected .*", start)
    return off[1] - on[1]


def firewall_problem():
    """None in a network namespace of our own whose firewall we may set
    (private-network keeps CAP_NET_ADMIN there), else why not."""
    if os.environ.get("MARVANE_PRIVATE_NETWORK") != "1":
        return (os.environ.get("MARVANE_PRIVATE_NETWORK_PROBLEM") or
                "not started in a private network namespace")
    if NFT is None:
        return "nft is not installed"
    tried = subprocess.run([NFT, "add table inet vanished; delete table inet vanished"],
                           capture_output=True, text=True)
    if tried.returncode != 0:
        return "no firewall rules in this network namespace: " + tried.stderr.strip()
    return None


def require_firewall():
    """Skips the test unless firewall_problem() is None."""
    problem = firewall_problem()
    if problem is not None:
        skip(problem)


def drop_port_pair(port):
    """Every packet to or from the local TCP port is dropped from now on."""
    rules = ("table inet vanished {\n chain out {\n  type filter hook output priority 0;\n"
             "  tcp sport %d drop\n  tcp dport %d drop\n }\n}\n" % (port, port))
    subprocess.run([NFT, "-f", "-"], input=rules, text=True, check=True)


def restore_network():
    subprocess.run([NFT, "delete", "table", "inet", "vanished"], check=False,
                   stderr=subprocess.DEVNULL)


def vanished_client(s, transmitting):
    """The client's network vanishes (no FIN, no RST) while it receives or
    transmits: (seconds until the station has dropped it, seconds until it
    unkeyed, or None when it was not keyed). A new client is served after."""
    if transmitting:
        client, on = keyed_client(s)
    else:
        client = s.serve_client()
    start = len(s.lines)
    drop_port_pair(client.sock.getsockname()[1])
    gone_at = time.monotonic()
    try:
        gone = s.wait_line(r"disconnected .*", start, timeout=PATIENCE * 2)
        off = s.wait_line("ptt off", start) if transmitting else None
    finally:
        restore_network()
    client.close()
    served_then_gone(s)
    return gone[1] - gone_at, None if off is None else off[1] - gone_at


def reset(sock):
    """Whether the station has reset the connection; reads nothing."""
    try:
        return sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def accepted_without_reading(s):
    """A connection the station has accepted, nothing read from it:
    (socket, time connected, its "connected" line). One made while the
    listener closes after the previous client is reset: it is made again."""
    start = len(s.lines)
    deadline = time.monotonic() + PATIENCE
    while True:
        sock = connect(s.port)
        connected_at = time.monotonic()
        while time.monotonic() < deadline and not reset(sock):
            try:
                return sock, connected_at, s.wait_line(r"connected .*", start, timeout=0.2)
            except AssertionError:
                pass
        sock.close()
        if time.monotonic() >= deadline:
            raise AssertionError("the station accepts no connection; log:\n" + s.dump())


def stopped_reader(s):
    """A client connects and never reads: seconds until the station has
    dropped it. A new client is served after."""
    start = len(s.lines)
    sock, connected_at, came = accepted_without_reading(s)
    try:
        gone = s.wait_line(r"disconnected .*", came[0], timeout=PATIENCE * 2)
    finally:
        sock.close()
    served_then_gone(s)
    return gone[1] - connected_at
