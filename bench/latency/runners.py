# SPDX-License-Identifier: GPL-3.0-or-later
"""The remote ends the delay measurement compares. A runner starts a station
capturing from the bench's receiver (setup.capture_pcm) and a remote end
playing to the bench's speaker (setup.playback_pcm, or the PulseAudio sink
setup.playback_sink), says when that end plays, and stops both:

    class Runner:
        name = "what the report calls it"
        anchor = False            # True for the peer the others are compared with
        @classmethod
        def prepare(cls):         installs what it needs; runs before the measurement
                                  enters its network namespace (no archive there);
                                  None, or why it cannot run here ("skipped: ...")
        def problem(self, setup): the same, once set up
        def start(self, setup):   returns once the remote end plays to the speaker
        def mark(self):           the bursts begin
        def notes(self, setup):   lines for the report, taken right after the bursts
        def stop(self):           ends everything start began

RUNNERS lists them in the order they run; the anchor first.
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import harness  # noqa: E402
from pulseharness import LiveClient  # noqa: E402

STATUS = re.compile(r"buffer (?:(\d+) ms|-) +late (\d+) lost (\d+)")


def wait_playing(setup, what, proc=None):
    harness.wait_until("%s to play to %s" % (what, setup.playback_sink),
                       lambda: setup.playing_to(setup.playback_sink) or
                       (proc is not None and proc.poll() is not None))
    if proc is not None and proc.poll() is not None:
        raise AssertionError("%s ended (status %s)" % (what, proc.returncode))


class Runner:
    name = ""
    anchor = False
    program = None  # the remote end's program, whose output latency is noted
    output_seconds = output_rate = None

    @classmethod
    def prepare(cls):
        return None

    def problem(self, setup):
        return None

    def start(self, setup):
        raise NotImplementedError

    def mark(self):
        pass

    def notes(self, setup):
        if self.program is None:
            return []
        stream = setup.output_stream(self.program)
        if stream is None:
            return []
        self.output_seconds, self.output_rate = stream
        return ["the sound server holds %.1f ms of what %s plays (its stream's buffer and the "
                "sink)" % (1000 * self.output_seconds, self.program)]

    def stop(self):
        pass


# ---- RemoteTrx and svxlink --------------------------------------------------

REMOTETRX_CONF = """[GLOBAL]
TRXS=NetUplinkTrx
CARD_SAMPLE_RATE=48000
CARD_CHANNELS=1

[NetUplinkTrx]
TYPE=Net
RX=Rx1
TX=NoTx
LISTEN_PORT={port}
AUTH_KEY="{key}"

[Rx1]
TYPE=Local
AUDIO_DEV=alsa:{capture}
AUDIO_CHANNEL=0
SQL_DET=OPEN
SQL_START_DELAY=0
SQL_DELAY=0
SQL_HANGTIME=0
DTMF_DEC_TYPE=NONE
DTMF_MUTING=0
DEEMPHASIS=0
PEAK_METER=0

[NoTx]
TYPE=Dummy
"""

SVXLINK_CONF = """[GLOBAL]
LOGICS=RepeaterLogic
CARD_SAMPLE_RATE=48000
CARD_CHANNELS=1

[RepeaterLogic]
TYPE=Repeater
RX=NetRx
TX=Tx1
CALLSIGN=N0CALL
EVENT_HANDLER={events}
RGR_SOUND_DELAY=-1
OPEN_ON_SQL=1
OPEN_SQL_FLANK=OPEN
IDLE_TIMEOUT=86400
IDLE_SOUND_INTERVAL=0
SHORT_IDENT_INTERVAL=0
LONG_IDENT_INTERVAL=0

[NetRx]
TYPE=Net
HOST=127.0.0.1
TCP_PORT={port}
AUTH_KEY="{key}"
CODEC=S16

[Tx1]
TYPE=Local
AUDIO_DEV=alsa:{playback}
AUDIO_CHANNEL=0
PTT_TYPE=NONE
TIMEOUT=0
TX_DELAY=0
PREEMPHASIS=0
"""

# Every event of the logic is answered by silence: no announcements, idents
# or beeps.
SILENT_EVENTS = 'proc ::unknown {args} { return "" }\n'


class Process:
    """A program with its output kept (self.text())."""

    def __init__(self, argv, env, cwd):
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, errors="replace")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def text(self):
        with self.lock:
            return "\n".join(self.lines)

    def stop(self):
        harness.stop_process(self.proc)
        self.reader.join(timeout=harness.PATIENCE)
        self.proc.stdout.close()


class RemoteTrx(Runner):
    """Debian's remotetrx, its local receiver on the bench's receiver and
    its squelch held open, uplinked over TCP (16-bit) to svxlink, whose
    repeater logic takes it as a NetRx and transmits on the bench's
    speaker; no DTMF muting, a silent events script."""

    name = "RemoteTrx -> svxlink (16-bit, squelch held open)"
    anchor = True
    program = "svxlink"

    def __init__(self):
        self.tmp = None
        self.remotetrx = self.svxlink = None

    @classmethod
    def prepare(cls):
        if shutil.which("remotetrx") and shutil.which("svxlink"):
            return None
        tried = subprocess.run([os.path.join(HERE, "install-peer")], capture_output=True,
                               text=True)
        if tried.returncode != 0 or not (shutil.which("remotetrx") and shutil.which("svxlink")):
            return (tried.stdout + tried.stderr).strip() or "svxlink and remotetrx are missing"
        return None

    def problem(self, setup):
        if shutil.which("remotetrx") and shutil.which("svxlink"):
            return None
        return "svxlink and remotetrx are missing (bench/latency/install-peer installs them)"

    def start(self, setup):
        self.tmp = tempfile.TemporaryDirectory(prefix="marvane-peer-")
        d = self.tmp.name
        port = harness.free_port()
        key = "side-by-side-%d" % port
        events = os.path.join(d, "events.tcl")
        with open(events, "w") as f:
            f.write(SILENT_EVENTS)
        for name, text in (("remotetrx.conf", REMOTETRX_CONF), ("svxlink.conf", SVXLINK_CONF)):
            with open(os.path.join(d, name), "w") as f:
                f.write(text.format(port=port, key=key, events=events,
                                    capture=setup.capture_pcm, playback=setup.playback_pcm))
        self.remotetrx = Process(["remotetrx", "--config=" + os.path.join(d, "remotetrx.conf")],
                                 setup.env, d)
        harness.wait_until("remotetrx to listen", lambda: harness.listening(port) or
                           self.remotetrx.proc.poll() is not None)
        self.svxlink = Process(["svxlink", "--config=" + os.path.join(d, "svxlink.conf")],
                               setup.env, d)
        wait_playing(setup, "svxlink", self.svxlink.proc)

    def stop(self):
        for p in (self.svxlink, self.remotetrx):
            if p is not None:
                p.stop()
        if self.tmp is not None:
            self.tmp.cleanup()


# ---- Marvane ----------------------------------------------------------------

def marvane_station(setup, files=None, prefix=()):
    """The real marvane --headless, capturing from the bench's receiver (its
    playback goes where nobody hears it); prefix: a command that runs it
    (nsenter into another network)."""
    env = {name: setup.env[name] for name in ("HOME", "PULSE_SERVER")}
    env["MARVANE_VIRTUAL_SOUND"] = None
    all_files = {"scnames.txt": "%s\n%s\n" % (setup.capture_pcm, setup.capture_pcm),
                 "url.txt": harness.REFUSING_URL}
    all_files.update(files or {})
    argv = [*prefix, setup.program("marvane"), "--headless"]
    station = harness.Station(argv[0], args=argv[1:], env=env, files=all_files,
                              prefix="marvane-bench-")
    station.wait_line("address idle")
    return station


def last_status(text):
    """(buffer ms or None, late runs, lost runs) of the client's last status
    line, or None."""
    found = STATUS.findall(text)
    if not found:
        return None
    depth, late, lost = found[-1]
    return (int(depth) if depth else None), int(late), int(lost)


def depths(text):
    """Every buffer depth the client's status line showed, in order."""
    return [int(d) for d, _, _ in STATUS.findall(text) if d]


class MarvaneLive(Runner):
    """marvane --headless and marvane-client --live on loopback; or, given a
    station already running, the client alone, connecting to host:port once
    listening() says the station listens there."""

    name = "Marvane -> marvane-client --live"
    program = "marvane-client"
    depth_seconds = None

    def __init__(self, station=None, host="127.0.0.1", port=None, listening=None):
        self.shared_station = station
        self.host, self.port, self.listening = host, port, listening
        self.station = self.client = None
        self.marked = 0

    def start(self, setup):
        self.station = self.shared_station or marvane_station(setup)
        port = self.port or self.station.port
        if self.listening is None:
            self.station.wait_listening()
        else:
            harness.wait_until("the station to listen", lambda: self.listening(port))
        self.client = LiveClient(setup.program("marvane-client"), port, setup.env,
                                 ("--output", setup.playback_pcm,
                                  "--input", setup.playback_pcm), host=self.host)
        self.client.wait_raw()
        self.station.wait_line("mode RX")
        wait_playing(setup, "marvane-client", self.client.proc)

    def status(self):
        return last_status(self.client.output())

    def mark(self):
        self.marked = len(self.client.output())

    def notes(self, setup):
        lines = Runner.notes(self, setup)
        text = self.client.output()
        shown = depths(text[self.marked:])
        s = self.status()
        if shown:
            self.depth_seconds = statistics.median(shown) / 1000
            lines.append("status line during the bursts: buffer median %d ms (averaged over "
                         "the blocks' saw tooth), %d to %d" % (statistics.median(shown),
                                                               min(shown), max(shown)))
        if s is not None:
            lines.append("status line at the end: late %d, lost %d" % (s[1], s[2]))
        return lines

    def stop(self):
        if self.client is not None:
            self.client.type(b"\x03")
            try:
                self.client.wait(timeout=harness.PATIENCE)
            finally:
                self.client.close()
        if self.station is not None and self.shared_station is None:
            self.station.stop()
            self.station.close()


# ---- the web page -------------------------------------------------------------

class WebPage(Runner):
    """marvane --headless with its web station (guests let in), and its page
    in headless Chromium, tapped to listen, playing through the sound server
    to the bench's speaker; while the bursts play, the page's own report of
    its buffer is read twice a second."""

    name = "Marvane -> web page in headless Chromium"
    program = "chromium"
    frame_ms = 20  # [web] frame_ms: the default

    def __init__(self, jitter=None):
        self.station = self.driver = self.profile = self.relay = None
        self.jitter = jitter  # seconds: the page reaches the station through a jittering relay
        self.reports, self.polling, self.poller = [], threading.Event(), None

    def problem(self, setup):
        try:
            import selenium  # noqa: F401
        except ImportError:
            return "python3-selenium is missing (scripts/install-deps; Debian's python3)"
        if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
            return "chromium and chromium-driver are missing (scripts/install-deps)"
        return None

    def start(self, setup):
        import webharness
        from selenium.webdriver.common.by import By
        port = harness.free_port()
        self.station = marvane_station(setup, {"marvane.conf":
                                               "[web]\nport = %d\nguests = yes\n"
                                               "frame_ms = %d\n" % (port, self.frame_ms)})
        self.station.wait_line(r"web: https://\S+:%d/" % port)
        certificate = self.station.path("web-cert.pem")

        class Trusted:
            @staticmethod
            def spki_hash():
                return webharness.spki_hash_of(certificate)

        self.profile = tempfile.mkdtemp(prefix="marvane-bench-chromium-")
        self.driver = webharness.chromium(Trusted, dict(setup.env, PULSE_SINK=setup.playback_sink),
                                          self.profile)
        if self.jitter:
            import links
            self.relay = links.RelayLink(port, self.jitter)
            port = self.relay.port
        self.driver.get("https://127.0.0.1:%d/" % port)
        harness.wait_until("the page's greeting", lambda: self.driver.execute_script(
            "return document.getElementById('who').textContent") == "guest")
        self.driver.find_element(By.ID, "start").click()
        harness.wait_until("the page to play", lambda: self.driver.execute_script(
            "return window.marvaneBuffer && window.marvaneBuffer.playing"))
        wait_playing(setup, "chromium")

    def _poll(self):
        while not self.polling.wait(0.5):
            try:
                report = self.driver.execute_script("return window.marvaneBuffer")
            except Exception:  # the browser went away: the bursts will say so
                return
            if report:
                self.reports.append(report)

    def report(self):
        """The page's own report of its buffer (depth, underruns, dropped)."""
        return self.driver.execute_script("return window.marvaneBuffer") or {}

    def mark(self):
        self.poller = threading.Thread(target=self._poll, daemon=True)
        self.poller.start()

    def notes(self, setup):
        lines = Runner.notes(self, setup)
        self.polling.set()
        if self.poller is not None:
            self.poller.join(timeout=harness.PATIENCE)
        if self.reports:
            depth = [r["depthMs"] for r in self.reports]
            last = self.reports[-1]
            lines.append("page's buffer during the bursts: median %.0f ms (%.0f to %.0f), aim "
                         "%.0f ms, lateness shown %.0f ms; %d underruns, %.0f ms dropped, "
                         "%d ppm steer" % (statistics.median(depth), min(depth), max(depth),
                                           last["aimMs"], last["lateMs"], last["underruns"],
                                           last["droppedMs"], last["correctionPpm"]))
            lines.append("page's AudioContext: %d Hz, base latency %.1f ms, output latency "
                         "%.1f ms" % (last.get("sampleRate", 0), last.get("baseLatencyMs", 0),
                                      last.get("outputLatencyMs", 0)))
        return lines

    def stop(self):
        self.polling.set()
        if self.driver is not None:
            self.driver.quit()
        if self.profile is not None:
            shutil.rmtree(self.profile, True)
        if self.station is not None:
            self.station.stop()
            self.station.close()
        if self.relay is not None:
            self.relay.close()


class WebPageShortFrames(WebPage):
    """The same with the shorter Opus frames ([web] frame_ms = 10)."""

    name = "Marvane -> web page in headless Chromium, 10 ms frames"
    frame_ms = 10


RUNNERS = [RemoteTrx, MarvaneLive, WebPage, WebPageShortFrames]
