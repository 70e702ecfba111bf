# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs inside a container booted with systemd, where the package's files are
installed: starts marvane.service as the package installs it, with a sound
server to reach and a serial device to open, serves it a client and looks at
what the confinement left it. Writes what it found to RESULTS/result.json and
the service's log to RESULTS/journal.txt; the test outside judges them.

usage: confined_service.py RESULTS PREFIX
"""

import json
import math
import os
import grp
import pwd
import struct
import subprocess
import sys
import time
import wave

RUN = "/run/marvane-test"
STATE = "/var/lib/marvane"
PATIENCE = 30


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=PATIENCE,
                          stdin=subprocess.DEVNULL, **kwargs)


def wait_for(probe):
    deadline = time.monotonic() + PATIENCE
    while not probe():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def write(path, text, owner=None):
    with open(path, "w") as f:
        f.write(text)
    if owner:
        os.chown(path, owner.pw_uid, owner.pw_gid)


def main():
    results, prefix = sys.argv[1:3]
    found = {}
    try:
        check(prefix, found)
    finally:
        # What stands in the way when a step hangs: the jobs still queued.
        found["jobs"] = run("systemctl", "list-jobs", "--no-pager").stdout
        journal = run("journalctl", "-o", "cat", "--no-pager", "-u", "marvane.service")
        write(results + "/journal.txt", journal.stdout)
        write(results + "/result.json", json.dumps(found, indent=1))


def check(prefix, found):
    marvane = pwd.getpwnam("marvane")

    # A sound server with one sink, the station's default ALSA device through
    # the server's Unix socket (a service reaches PulseAudio or PipeWire so).
    os.makedirs(RUN + "/home", exist_ok=True)
    os.chmod(RUN, 0o755)
    nobody = pwd.getpwnam("nobody")
    os.chown(RUN + "/home", nobody.pw_uid, nobody.pw_gid)
    socket_path = RUN + "/home/pulse.sock"
    pulse = subprocess.Popen(
        ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
         "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % socket_path,
         "--load=module-null-sink sink_name=radio"],
        user="nobody", group=nobody.pw_gid, env={"HOME": RUN + "/home", "PATH": "/usr/bin"},
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    found["sound_server"] = wait_for(lambda: os.path.exists(socket_path) or
                                     pulse.poll() is not None)
    if pulse.poll() is not None:
        found["sound_server"] = pulse.stdout.read().decode(errors="replace")[-2000:]
    write("/etc/asound.conf", "pcm.!default { type pulse }\nctl.!default { type pulse }\n")
    os.makedirs("/etc/systemd/system/marvane.service.d", exist_ok=True)
    # The modem lines of a pseudo terminal are the shim's (a pty has none).
    write("/etc/systemd/system/marvane.service.d/test.conf",
          "[Service]\nEnvironment=PULSE_SERVER=unix:%s\n"
          "Environment=LD_PRELOAD=/check/libtiocm_shim.so MARVANE_TIOCM_LOG=%s/tiocm.log\n"
          % (socket_path, STATE))

    # The PTT port: COM1 is a pseudo terminal (a virtual serial port).
    master, slave = os.openpty()
    # As udev makes a serial port: the dialout group may read and write it.
    os.chown(os.ttyname(slave), 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(os.ttyname(slave), 0o660)
    write("/etc/hosts", "127.0.0.1 localhost\n")
    write(STATE + "/comports.txt", "COM1 %s\n" % os.ttyname(slave), marvane)
    write(STATE + "/txport.bin", "1 comport\n", marvane)
    write(STATE + "/scnames.txt", "default\ndefault\n", marvane)
    # The packaged example, copied in as its own first lines tell.
    example = prefix + "/share/doc/marvane/examples/marvane.conf"
    with open(example) as f:
        write(STATE + "/marvane.conf", f.read(), marvane)

    run("systemctl", "daemon-reload")
    started = run("systemctl", "start", "--no-block", "marvane.service")
    found["start"] = [started.returncode, started.stderr]
    found["active"] = wait_for(
        lambda: run("systemctl", "is-active", "marvane.service").stdout.strip() == "active")
    pid = int(run("systemctl", "show", "-P", "MainPID", "marvane.service").stdout.strip() or 0)
    found["main_pid"] = pid
    found["settings_written"] = wait_for(lambda: os.path.exists(STATE + "/url.txt"))
    if found["settings_written"]:
        found["settings_owner"] = pwd.getpwuid(os.stat(STATE + "/url.txt").st_uid).pw_name

    # One second of a tone to transmit.
    with wave.open(RUN + "/tx.wav", "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(11025)
        w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(i * 0.3)))
                               for i in range(11025)))
    client = run(prefix + "/bin/marvane-client", "127.0.0.1", "--rx", RUN + "/rx.wav",
                 "--tx", RUN + "/tx.wav", "--seconds", "2", "--quiet")
    found["client"] = [client.returncode, client.stderr]
    try:
        with wave.open(RUN + "/rx.wav") as w:
            found["received_frames"] = w.getnframes()
    except (OSError, wave.Error) as e:
        found["received_frames"] = str(e)

    # What the confinement is, as the kernel sees it for the running daemon.
    if pid:
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.split(":", 1) for line in f)
        found["no_new_privs"] = status["NoNewPrivs"].strip()
        found["seccomp"] = status["Seccomp"].strip()
        found["capabilities"] = status["CapBnd"].strip()
        # Mount point -> [the mounted folder, ro or rw], the last (topmost)
        # mount of each point.
        with open("/proc/%d/mountinfo" % pid) as f:
            found["mounts"] = {fields[4]: [fields[3], fields[5].split(",")[0]]
                               for fields in (line.split() for line in f)}
    found["ptys_open"] = run("sh", "-c", "ls -l /proc/%d/fd | grep -c /dev/pts/" % pid).stdout

    stopped = run("systemctl", "stop", "marvane.service")
    found["stop"] = stopped.returncode
    found["result"] = run("systemctl", "show", "-P", "Result", "marvane.service").stdout.strip()
    with open(STATE + "/tiocm.log") as f:
        found["modem_lines"] = f.read().splitlines()
    pulse.kill()
    pulse.wait()
    os.close(master)
    os.close(slave)


if __name__ == "__main__":
    main()
