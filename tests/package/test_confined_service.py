# SPDX-License-Identifier: GPL-3.0-or-later
"""marvane.service under its own confinement, applied by a real systemd: the
programs, the unit and the account entries are installed (`cmake --install`
into a staging folder) over this machine's /usr in a container booted with
systemd as its first process (systemd-nspawn --volatile=yes: a fresh /etc and
/var, this machine's /usr read-only, loopback only). Inside, a oneshot unit
runs confined_service.py, which starts the service with a sound server to
reach and a pseudo terminal as its PTT port, serves it a client and reads the
daemon's confinement from /proc; the results come out through a bound folder.

Skipped (exit status 77, with the reason) where no such container can be
booted: not root, no systemd-nspawn, or a kernel that refuses it.

usage: test_confined_service.py MARVANE
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("MARVANE_BUILD_DIR", "")
LIMIT = 180  # seconds; bounds the container's whole life, measures nothing

CHECK_UNIT = """[Unit]
Description=marvane.service tried under its confinement
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/usr/bin/python3 /check/confined_service.py /results {prefix}
StandardOutput=journal+console
"""


def boot(stage, results, check):
    """Boots the container with the staged /usr over this machine's; returns
    (status, console output)."""
    args = ["systemd-nspawn", "--directory=/", "--volatile=yes", "--private-network",
            "--register=no", "--keep-unit", "--console=passive", "--quiet",
            "--overlay-ro=/usr:%s/usr:/usr" % stage,
            "--bind=%s:/results" % results, "--bind-ro=%s:/check" % check,
            "--bind-ro=%s/marvane-check.service:/etc/systemd/system/marvane-check.service" % check,
            "--boot", "--", "systemd.unit=marvane-check.service", "systemd.firstboot=off",
            "systemd.show_status=error",
            # Only loopback here: nothing to wait for before the network is
            # online.
            "systemd.mask=systemd-networkd-wait-online.service"]
    try:
        done = subprocess.run(args, capture_output=True, timeout=LIMIT, stdin=subprocess.DEVNULL)
        return done.returncode, (done.stdout + done.stderr).decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        return -1, (e.stdout or b"").decode(errors="replace")


class ConfinedService(unittest.TestCase):
    def test_the_confined_daemon_opens_its_devices_writes_its_settings_and_serves(self):
        # Catches a confinement that stops the station: a sound server it
        # cannot reach, a serial port it may not open, a state folder it
        # cannot write, a client it cannot serve; and a confinement that
        # systemd did not apply (writable system, new privileges allowed,
        # no system-call filter, capabilities left).
        work = tempfile.TemporaryDirectory(prefix="marvane-confined-")
        self.addCleanup(work.cleanup)
        stage, results, check = (os.path.join(work.name, name)
                                 for name in ("stage", "results", "check"))
        for folder in (results, check):
            os.makedirs(folder)
        installed = subprocess.run(["cmake", "--install", BUILD], capture_output=True, text=True,
                                   env=dict(os.environ, DESTDIR=stage), timeout=LIMIT)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
        if not prefix.startswith("/usr"):
            self.skipTest("installed under %s, outside /usr: nothing to lay over /usr" % prefix)
        shutil.copy(os.path.join(HERE, "confined_service.py"), check)
        shutil.copy(os.path.join(BUILD, "lib", "libtiocm_shim.so"), check)
        with open(os.path.join(check, "marvane-check.service"), "w") as f:
            f.write(CHECK_UNIT.format(prefix=prefix))

        status, console = boot(stage, results, check)
        result_path = os.path.join(results, "result.json")
        if not os.path.exists(result_path) and "running in system mode" not in console:
            self.skipTest("no container with systemd can be booted here: " + console[-600:])
        self.assertTrue(os.path.exists(result_path), console[-3000:])
        with open(result_path) as f:
            found = json.load(f)
        with open(os.path.join(results, "journal.txt")) as f:
            journal = f.read()
        shown = json.dumps(found, indent=1) + "\n" + journal
        self.assertEqual(status, 0, console[-2000:])

        self.assertIs(found["sound_server"], True, shown)
        self.assertEqual(found["start"], [0, ""], shown)
        self.assertTrue(found["active"], shown)
        self.assertTrue(found["settings_written"], shown)
        self.assertEqual(found["settings_owner"], "marvane", shown)
        self.assertEqual(found["client"], [0, ""], shown)
        self.assertGreaterEqual(found["received_frames"], 1024, shown)  # a block at least
        self.assertIn("ptt: keyed by RTS and DTR of COM1 (/dev/pts/", journal)
        self.assertEqual(found["ptys_open"].strip(), "1", shown)  # the PTT port, held open
        for failure in ("waveInOpen() failed", "waveOutOpen() failed", "No audio device",
                        "cannot open", "ptt on failed", "ptt off failed", "marvane.conf line"):
            self.assertNotIn(failure, journal)
        self.assertLess(journal.index("ptt on"), journal.index("ptt off"))
        # Keyed through the confinement, and unkeyed by the stop's --unkey too.
        self.assertIn("raise RTS: RTS=1 DTR=0", found["modem_lines"])
        self.assertEqual(found["modem_lines"][-1], "close (HUPCL): RTS=0 DTR=0")
        self.assertIn("marvane --unkey: RTS and DTR dropped on COM1", journal)
        self.assertEqual((found["stop"], found["result"]), (0, "success"), shown)

        self.assertEqual(found["no_new_privs"], "1")
        self.assertEqual(found["seccomp"], "2")  # a system-call filter
        self.assertEqual(int(found["capabilities"], 16), 0)
        mounts = found["mounts"]
        for path in ("/", "/usr", "/home", "/root", "/sys", "/proc/sys"):
            self.assertEqual(mounts[path][1], "ro", (path, mounts[path]))
        self.assertEqual(mounts["/var/lib/marvane"][1], "rw")
        self.assertIn("systemd-private-", mounts["/tmp"][0])

if __name__ == "__main__":
    if not BUILD:
        print("SKIP: MARVANE_BUILD_DIR is not set")
        sys.exit(SKIP)
    if os.geteuid() != 0:
        print("SKIP: booting a container with systemd needs root")
        sys.exit(SKIP)
    if shutil.which("systemd-nspawn") is None:
        print("SKIP: systemd-nspawn is not installed (systemd-container)")
        sys.exit(SKIP)
    run = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    if run.skipped and run.wasSuccessful():
        sys.exit(SKIP)
    sys.exit(0 if run.wasSuccessful() else 1)
