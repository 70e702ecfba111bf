# SPDX-License-Identifier: GPL-3.0-or-later
"""A laptop's sound for marvane-client --live: a private PulseAudio server
with two null sinks, "speaker" (what the client plays is heard on its
monitor) and "mic" (what is played into it, the client captures from its
monitor), named to ALSA, and so to PortAudio, as the devices "speaker" and
"microphone" by an .asoundrc in the server's own home folder. And the
client on a pseudo-terminal, as an operator runs it."""

import os
import struct
import subprocess
import tempfile
import termios
import threading
import time

import harness
from harness import PATIENCE

ASOUNDRC = """pcm.speaker { type pulse; device speaker }
pcm.microphone { type pulse; device mic.monitor }
"""


class PulseUnavailable(Exception):
    pass


class Pulse:
    """The server; env is the environment that reaches it (PULSE_SERVER and
    the HOME with the .asoundrc). sinks: the null sinks; asoundrc: the ALSA
    devices (write_asoundrc changes them for programs started later).
    rescue: whether the server moves the streams of a sink that goes away to
    another one (its default); without, they end, as a card's do when it is
    unplugged and no other sink takes them."""

    def __init__(self, sinks=("speaker", "mic"), asoundrc=ASOUNDRC, rescue=True):
        self.tmp = tempfile.TemporaryDirectory(prefix="marvane-pulse-")
        self.dir = self.tmp.name
        self.socket = os.path.join(self.dir, "pulse.sock")
        self.sinks = sinks
        self.write_asoundrc(asoundrc)
        self.env = dict(os.environ, HOME=self.dir, PULSE_SERVER="unix:" + self.socket)
        self.env.pop("LD_PRELOAD", None)
        if not rescue:
            config = os.path.join(self.dir, ".config")
            os.makedirs(os.path.join(config, "pulse"))
            with open(os.path.join(config, "pulse", "daemon.conf"), "w") as f:
                f.write("rescue-streams = no\n")
            self.env["XDG_CONFIG_HOME"] = config
        self.log = open(os.path.join(self.dir, "pulse.log"), "w")
        self.proc = None
        self.start()

    def start(self):
        """Starts the server with its null sinks (again, after stop)."""
        try:
            self.proc = subprocess.Popen(
                ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                 "--use-pid-file=no",
                 "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket,
                 *("--load=module-null-sink sink_name=" + sink for sink in self.sinks)],
                env=self.env, stdin=subprocess.DEVNULL, stdout=self.log,
                stderr=subprocess.STDOUT)
        except FileNotFoundError:
            self.close()
            raise PulseUnavailable("pulseaudio is not installed")
        deadline = time.monotonic() + 20
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise PulseUnavailable("pulseaudio did not start: " + self.log_text()[-400:])
            time.sleep(0.05)

    def stop(self):
        """Ends the server, as a sound server that is restarted."""
        harness.stop_process(self.proc)
        if os.path.exists(self.socket):
            os.unlink(self.socket)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                              timeout=PATIENCE)

    def remove_sink(self, name):
        """Unloads the null sink of that name, as a card unplugged: its
        streams (and its monitor's) end with it."""
        modules = self.pactl("list", "short", "modules").stdout.splitlines()
        index = [m.split("\t")[0] for m in modules
                 if m.split("\t")[1:3] == ["module-null-sink", "sink_name=" + name]]
        assert index, "no sink %s among %r" % (name, modules)
        self.pactl("unload-module", index[0])

    def add_sink(self, name):
        """Loads a null sink of that name again, as the card plugged back in."""
        result = self.pactl("load-module", "module-null-sink", "sink_name=" + name)
        assert result.returncode == 0, result.stderr

    def write_asoundrc(self, text):
        with open(os.path.join(self.dir, ".asoundrc"), "w") as f:
            f.write(text)

    def log_text(self):
        with open(os.path.join(self.dir, "pulse.log")) as f:
            return f.read()

    def record(self, device, rate=harness.RATE):
        """A Recorder of the device (a monitor) as mono 16-bit samples."""
        return Recorder(self, device, rate)

    def play(self, device, samples, rate=harness.RATE):
        """Plays mono 16-bit samples into the sink; returns the player."""
        player = subprocess.Popen(["pacat", "--playback", "--device=" + device, "--raw",
                                   "--rate=%d" % rate, "--channels=1", "--format=s16le"],
                                  env=self.env, stdin=subprocess.PIPE)
        player.stdin.write(struct.pack("<%dh" % len(samples), *samples))
        player.stdin.close()
        return player

    def close(self):
        if getattr(self, "proc", None) is not None:
            harness.stop_process(self.proc)
        self.log.close()
        self.tmp.cleanup()


class Recorder:
    """parec of a device, its samples collected as they come, each chunk
    time-stamped on arrival: self.chunks holds (monotonic time, samples)."""

    def __init__(self, pulse, device, rate):
        self.rate = rate
        self.proc = subprocess.Popen(["parec", "--device=" + device, "--raw", "--rate=%d" % rate,
                                      "--channels=1", "--format=s16le", "--latency-msec=10"],
                                     env=pulse.env, stdout=subprocess.PIPE)
        self.chunks = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        rest = b""
        while True:
            data = os.read(self.proc.stdout.fileno(), 65536)
            now = time.monotonic()
            if not data:
                return
            data = rest + data
            whole = len(data) // 2 * 2
            rest = data[whole:]
            with self.lock:
                self.chunks.append((now, struct.unpack("<%dh" % (whole // 2), data[:whole])))

    def samples(self):
        with self.lock:
            return [s for _, chunk in self.chunks for s in chunk]

    def stop(self):
        harness.stop_process(self.proc)
        self.thread.join(timeout=PATIENCE)
        self.proc.stdout.close()


class LiveClient:
    """marvane-client --live on a pseudo-terminal of its own. Everything it
    writes there is kept (self.output()); keys are typed with type()."""

    def __init__(self, client, port, pulse_env, args=(), env=None, host="127.0.0.1"):
        self.master, self.slave = os.openpty()
        self.cooked = termios.tcgetattr(self.slave)
        self.text = b""
        self.lock = threading.Lock()
        environment = dict(pulse_env, **(env or {}))
        self.proc = subprocess.Popen([client, "%s:%d" % (host, port), "--live", *args],
                                     stdin=self.slave, stdout=self.slave, stderr=self.slave,
                                     env=environment, start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                self.text += data

    def output(self):
        with self.lock:
            return self.text.decode(errors="replace")

    def terminal(self):
        return termios.tcgetattr(self.slave)

    def wait_raw(self):
        """Waits until the client has put the terminal into raw mode."""
        harness.wait_until("raw mode (output so far: %r)" % self.output()[-300:],
                           lambda: not self.terminal()[3] & termios.ICANON or
                           self.proc.poll() is not None)
        if self.proc.poll() is not None:
            raise AssertionError("the client ended: %r" % self.output())

    def wait_output(self, text, timeout=PATIENCE):
        harness.wait_until("%r from the client (so far: %r)" % (text, self.output()[-300:]),
                           lambda: text in self.output(), timeout)

    def type(self, keys):
        os.write(self.master, keys)

    def wait(self, timeout=PATIENCE):
        return self.proc.wait(timeout=timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.slave)
        self.reader.join(timeout=PATIENCE)  # ends once no end of the slave is open
        os.close(self.master)
