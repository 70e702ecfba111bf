# SPDX-License-Identifier: GPL-3.0-or-later
"""What `cmake --install` and the Debian package (`make deb`) install, checked
without installing either on this machine: the install goes to a staging
folder (DESTDIR), the package is built and unpacked into a folder, and its
control scripts run against that folder as their root (DPKG_ROOT). The units
are checked with `systemd-analyze verify` in a private mount namespace in
which the staged programs stand where the unit names them.

usage: test_install.py MARVANE
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

MARVANE = None
SKIP = 77
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("MARVANE_BUILD_DIR", "")
LIMIT = 600  # seconds; bounds each command, measures nothing


def run(args, env=None, **kwargs):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=LIMIT,
                          stdin=subprocess.DEVNULL, **kwargs)


def unit_settings(path):
    """key -> value of a unit file."""
    with open(path) as f:
        return dict(line.strip().split("=", 1) for line in f
                    if "=" in line and not line.startswith("#"))


def exposure(unit):
    """systemd-analyze security's overall exposure of the unit file (0 to
    10, lower is better)."""
    shown = run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit])
    level = re.search(r"Overall exposure level for \S+: ([0-9.]+)", shown.stdout)
    assert level, shown.stdout + shown.stderr
    return float(level.group(1))


def hardening(program):
    """What the binary shows of the hardened build flags."""
    dynamic = run(["readelf", "-d", "-W", program]).stdout
    header = run(["readelf", "-h", "-W", program]).stdout
    symbols = run(["readelf", "--dyn-syms", "-W", program]).stdout
    return {"pie": "Position-Independent Executable" in header,
            "bindnow": "BIND_NOW" in dynamic,
            "relro": "GNU_RELRO" in run(["readelf", "-l", "-W", program]).stdout,
            "stack protector": "__stack_chk_fail" in symbols,
            "fortify": re.search(r"__\w+_chk@", symbols) is not None}


def can_mount():
    return os.geteuid() == 0 and shutil.which("unshare") and \
        run(["unshare", "-m", "true"]).returncode == 0


def verify_unit(unit, mounts, man_path):
    """systemd-analyze verify on the unit, with each (source, target) folder
    of mounts laid over target in a private mount namespace; returns
    (status, output)."""
    script = "set -e\n"
    for source, target in mounts:
        script += "mount -t overlay overlay -o lowerdir=%s:%s %s\n" % (source, target, target)
    script += "exec systemd-analyze verify %s\n" % unit
    result = run(["unshare", "-m", "sh", "-c", script], env=dict(os.environ, MANPATH=man_path))
    return result.returncode, result.stdout + result.stderr


class Installed(unittest.TestCase):
    def check_unit(self, unit, bindir):
        settings = unit_settings(unit)
        self.assertEqual(settings["ExecStart"], bindir + "/marvane --headless")
        self.assertEqual(settings["ExecStopPost"], bindir + "/marvane --unkey")
        self.assertEqual(settings["Type"], "notify")
        self.assertEqual(settings["User"], "marvane")
        self.assertEqual(settings["WorkingDirectory"], "/var/lib/marvane")
        self.assertEqual(settings["Restart"], "on-failure")
        self.assertIn("WatchdogSec", settings)
        # The first announcement waits for the network.
        self.assertIn("network-online.target", settings["Wants"].split())
        self.assertIn("network-online.target", settings["After"].split())
        # Confined as a network daemon should be ("OK" is 3.0 and below).
        self.assertLessEqual(exposure(unit), 3.0)

    def check_account(self, sysusers):
        with open(sysusers) as f:
            lines = [line.split() for line in f if line.strip() and not line.startswith("#")]
        self.assertIn(["u", "marvane", "-"], [line[:3] for line in lines])
        self.assertIn(["m", "marvane", "audio"], lines)
        self.assertIn(["m", "marvane", "dialout"], lines)

    def test_cmake_install(self):
        # Catches a file left out of the install, a unit that names the
        # programs where they are not installed or runs them as the wrong
        # user, a unit that starts before the network or is not confined,
        # and a unit or manual page that systemd or groff rejects.
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
        stage = tempfile.TemporaryDirectory(prefix="marvane-install-")
        self.addCleanup(stage.cleanup)
        done = run(["cmake", "--install", BUILD], env=dict(os.environ, DESTDIR=stage.name))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        root = stage.name + prefix
        for name in ("bin/marvane", "bin/marvane-client"):
            self.assertTrue(os.access(os.path.join(root, name), os.X_OK), name)
        for page in ("marvane.1", "marvane-client.1"):
            path = os.path.join(root, "share/man/man1", page)
            shown = run(["groff", "-man", "-Tutf8", "-ww", "-z", path])
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), page)
        for doc in ("README.md", "examples/marvane.conf"):
            self.assertTrue(os.path.isfile(os.path.join(root, "share/doc/marvane", doc)), doc)
        unit = os.path.join(root, "lib/systemd/system/marvane.service")
        self.check_unit(unit, prefix + "/bin")
        self.check_account(os.path.join(root, "lib/sysusers.d/marvane.conf"))
        with open(os.path.join(root, "lib/tmpfiles.d/marvane.conf")) as f:
            self.assertIn("d /var/lib/marvane 0750 marvane marvane -", f.read())
        self.assertEqual(run([os.path.join(root, "bin/marvane"), "--version"]).stdout,
                         run([MARVANE, "--version"]).stdout)
        if not can_mount():
            self.skipTest("no private mount namespace here for systemd-analyze verify")
        status, output = verify_unit(unit, [(root + "/bin", prefix + "/bin")],
                                     root + "/share/man")
        self.assertEqual((status, output), (0, ""))

    def test_example_settings(self):
        # Catches an example marvane.conf that the station finds fault with,
        # as it stands or with every setting in it taken in, and one that
        # leaves out a section or a key the station reads.
        with open(os.path.join(SOURCE, "doc", "marvane.conf")) as f:
            example = f.read()
        taken_in = re.sub(r"^#(\w+ = )", r"\1", example, flags=re.M)
        self.assertNotEqual(taken_in, example)
        for text in (example, taken_in):
            folder = tempfile.TemporaryDirectory(prefix="marvane-example-")
            self.addCleanup(folder.cleanup)
            with open(os.path.join(folder.name, "marvane.conf"), "w") as f:
                f.write(text)
            done = run([MARVANE, "--unkey"], cwd=folder.name)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertNotIn("marvane.conf line", done.stderr)
        with open(os.path.join(SOURCE, "src", "config", "settings.cpp")) as f:
            source = f.read()
        self.assertEqual(set(re.findall(r"^#?(\w+) = ", example, re.M)),
                         set(re.findall(r'keyIs\("(\w+)"\)', source)))
        self.assertEqual(set(re.findall(r"^\[(\w+)\]", example, re.M)),
                         set(re.findall(r'sectionIs\("(\w+)"\)', source)))

    def test_debian_package(self):
        # Catches a package without the unit, the account, the folder, the
        # manual pages or the documentation, one named for another version,
        # one that lintian warns about or built without the hardening flags,
        # control scripts that fail or make the account or folder wrongly,
        # and a unit enabled before the operator has set the station up.
        if shutil.which("dpkg-buildpackage") is None or shutil.which("dh") is None:
            self.skipTest("debhelper is not installed")
        out = tempfile.TemporaryDirectory(prefix="marvane-deb-")
        self.addCleanup(out.cleanup)
        built = run([os.path.join(SOURCE, "scripts", "build-deb"), out.name])
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        version = run([MARVANE, "--version"]).stdout.split()[1]
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        deb = os.path.join(out.name, "marvane_%s_%s.deb" % (version, arch))
        self.assertEqual(glob.glob(os.path.join(out.name, "*.deb")), [deb])
        self.assertEqual(run(["dpkg-deb", "--field", deb, "Package", "Version"]).stdout,
                         "Package: marvane\nVersion: %s\n" % version)
        depends = run(["dpkg-deb", "--field", deb, "Depends"]).stdout
        for library in ("libportaudio2", "libfltk1.3", "libsystemd0", "systemd"):
            self.assertIn(library, depends)
        listed = run(["dpkg-deb", "--contents", deb]).stdout
        files = {line.split()[-1] for line in listed.splitlines()}
        for path in ("./usr/bin/marvane", "./usr/bin/marvane-client",
                     "./usr/share/man/man1/marvane.1.gz", "./usr/share/man/man1/marvane-client.1.gz",
                     "./lib/systemd/system/marvane.service", "./usr/lib/sysusers.d/marvane.conf",
                     "./usr/lib/tmpfiles.d/marvane.conf", "./usr/share/doc/marvane/copyright",
                     "./usr/share/doc/marvane/README.md.gz",
                     "./usr/share/doc/marvane/examples/marvane.conf"):
            self.assertIn(path, files)
        # What a Debian maintainer would be told: no error and no warning.
        linted = run(["lintian", "--pedantic", "--no-tag-display-limit", deb])
        self.assertEqual([line for line in linted.stdout.splitlines()
                          if line.startswith(("E:", "W:"))], [], linted.stdout + linted.stderr)

        root = os.path.join(out.name, "root")
        self.assertEqual(run(["dpkg-deb", "-x", deb, root]).returncode, 0)
        control = os.path.join(out.name, "control")
        self.assertEqual(run(["dpkg-deb", "-e", deb, control]).returncode, 0)
        self.assertEqual(run([root + "/usr/bin/marvane", "--version"]).stdout,
                         "marvane %s\n" % version)
        self.assertEqual(run([root + "/usr/bin/marvane-client", "--version"]).stdout,
                         "marvane-client %s\n" % version)
        for program in ("marvane", "marvane-client"):
            flags = hardening(root + "/usr/bin/" + program)
            self.assertEqual([name for name, on in flags.items() if not on], [], program)
        unit = root + "/lib/systemd/system/marvane.service"
        self.check_unit(unit, "/usr/bin")
        self.check_account(root + "/usr/lib/sysusers.d/marvane.conf")
        for script in ("preinst", "postinst", "postrm"):
            self.assertEqual(run(["sh", "-n", os.path.join(control, script)]).returncode, 0)

        if os.geteuid() != 0:
            self.skipTest("the control scripts make an account: root only")
        # The scripts as dpkg runs them for an install into `root`, with the
        # accounts of this machine to start from.
        os.makedirs(root + "/etc", exist_ok=True)
        for name in ("passwd", "group", "shadow", "gshadow"):
            if os.path.exists("/etc/" + name):
                shutil.copy("/etc/" + name, root + "/etc/" + name)
        env = dict(os.environ, DPKG_ROOT=root, DPKG_MAINTSCRIPT_PACKAGE="marvane")
        configured = run(["sh", "-e", os.path.join(control, "postinst"), "configure"], env=env)
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)
        with open(root + "/etc/passwd") as f:
            account = [line.split(":") for line in f if line.startswith("marvane:")]
        self.assertEqual(len(account), 1)
        self.assertEqual(account[0][5], "/var/lib/marvane")
        with open(root + "/etc/group") as f:
            groups = {line.split(":")[0]: line.strip().split(":")[3].split(",") for line in f}
        self.assertIn("marvane", groups["audio"])
        self.assertIn("marvane", groups["dialout"])
        folder = os.stat(root + "/var/lib/marvane")
        self.assertEqual((folder.st_uid, folder.st_mode & 0o777), (int(account[0][2]), 0o750))
        self.assertEqual(glob.glob(root + "/etc/systemd/system/*/marvane.service"), [])
        purged = run(["sh", "-e", os.path.join(control, "postrm"), "purge"], env=env)
        self.assertEqual(purged.returncode, 0, purged.stdout + purged.stderr)
        self.assertFalse(os.path.exists(root + "/var/lib/marvane"))

        if not can_mount():
            self.skipTest("no private mount namespace here for systemd-analyze verify")
        status, output = verify_unit(unit, [(root + "/usr/bin", "/usr/bin")],
                                     root + "/usr/share/man")
        self.assertEqual((status, output), (0, ""))


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    if not BUILD:
        print("SKIP: MARVANE_BUILD_DIR is not set")
        sys.exit(SKIP)
    unittest.main(argv=sys.argv[:1], verbosity=2)
