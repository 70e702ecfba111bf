# SPDX-License-Identifier: GPL-3.0-or-later
"""private-network, the launcher of the tests that listen on fixed ports: the
command runs in a network of its own (this machine's listeners out of reach,
a port this machine uses free there, port 80 open to it), as the same user
with no capabilities when started by one other than root, and with the
command's exit status. Where no namespace can be made the command still runs,
told why.

usage: test_private_network.py PRIVATE_NETWORK
"""

import json
import os
import socket
import subprocess
import sys
import unittest

LAUNCHER = None
NOBODY = 65534
CAP_NET_ADMIN = 12
# The system's own: a user other than root may not reach this one's.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# Run inside: what the command sees of its network and of itself.
PROBE = r"""
import json, os, shutil, socket, subprocess, sys
host_port = int(sys.argv[1])
seen = {"inside": os.environ.get("MARVANE_PRIVATE_NETWORK"),
        "problem": os.environ.get("MARVANE_PRIVATE_NETWORK_PROBLEM"),
        "uid": os.getuid()}
try:
    socket.create_connection(("127.0.0.1", host_port), timeout=5).close()
    seen["host_listener"] = "reached"
except OSError as e:
    seen["host_listener"] = type(e).__name__
for name, port in (("same_port", host_port), ("port_80", 80)):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            s.listen(1)
            with socket.create_connection(("127.0.0.1", port), timeout=5):
                seen[name] = "listened"
        except OSError as e:
            seen[name] = type(e).__name__
with open("/proc/self/status") as f:
    seen["caps"] = [l.split()[1] for l in f if l.startswith("CapEff:")][0]
# A rule of its own network's firewall, as the on-air tests set (never on
# this machine's own network).
nft = shutil.which("nft") or "/usr/sbin/nft"
if seen["inside"] == "1" and os.path.exists(nft):
    seen["nft"] = subprocess.run([nft, "add table inet probe"], capture_output=True).returncode
print(json.dumps(seen))
"""


class PrivateNetwork(unittest.TestCase):
    def setUp(self):
        # A listener on this machine's network that the command must not reach.
        self.host = socket.socket()
        self.host.bind(("127.0.0.1", 0))
        self.host.listen(1)
        self.addCleanup(self.host.close)

    def probe(self, **popen):
        out = subprocess.run([LAUNCHER, PYTHON, "-c", PROBE,
                              str(self.host.getsockname()[1])],
                             capture_output=True, text=True, timeout=60, check=True, **popen)
        return json.loads(out.stdout)

    def check_isolated(self, seen, uid):
        self.assertEqual(seen["inside"], "1", seen)
        self.assertIsNone(seen["problem"])
        self.assertEqual(seen["uid"], uid)
        self.assertEqual(seen["host_listener"], "ConnectionRefusedError")
        self.assertEqual(seen["same_port"], "listened")
        self.assertEqual(seen["port_80"], "listened")
        if "nft" in seen:
            self.assertEqual(seen["nft"], 0, "no firewall rule in its own network")

    def test_command_runs_in_a_network_of_its_own(self):
        # Catches a namespace left without loopback, a launcher that runs the
        # command on this machine's network yet says it is private, and a
        # port 80 out of reach inside.
        seen = self.probe()
        if seen["inside"] != "1":
            self.assertEqual(seen["inside"], "", seen)
            self.assertTrue(seen["problem"], seen)
            self.skipTest(seen["problem"])
        self.check_isolated(seen, os.getuid())

    def test_user_other_than_root_keeps_its_id_and_only_network_admin(self):
        # Catches a user namespace that maps the caller to root, or leaves it
        # capabilities beyond CAP_NET_ADMIN, in which case file permissions
        # and the tests that check them would not hold inside; and one that
        # leaves it unable to set its own network's firewall rules. Where user
        # namespaces are not allowed, the command runs on this machine's
        # network and is told so.
        if os.getuid() != 0:
            uid, popen = os.getuid(), {}
        else:
            uid, popen = NOBODY, {"user": NOBODY, "group": NOBODY, "extra_groups": [],
                                  "cwd": "/"}
        seen = self.probe(**popen)
        if seen["inside"] != "1":
            self.assertEqual(seen["inside"], "")
            self.assertIn("unshare", seen["problem"])
            self.assertEqual(seen["host_listener"], "reached")
            self.skipTest(seen["problem"])
        self.check_isolated(seen, uid)
        self.assertEqual(int(seen["caps"], 16), 1 << CAP_NET_ADMIN)

    def test_exit_status_is_the_commands(self):
        self.assertEqual(subprocess.run([LAUNCHER, "sh", "-c", "exit 3"]).returncode, 3)
        self.assertEqual(subprocess.run([LAUNCHER, "/nonexistent/command"],
                                        stderr=subprocess.DEVNULL).returncode, 127)


if __name__ == "__main__":
    LAUNCHER = os.path.abspath(sys.argv[1])
    result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    # Without a namespace the launcher is not tried: skipped for CTest (77).
    sys.exit(1 if not result.wasSuccessful() else 77 if result.skipped else 0)
