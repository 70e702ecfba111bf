# SPDX-License-Identifier: GPL-3.0-or-later
"""How fast the real marvane --headless takes a sound card back, and lets go
of the transmitter when it goes, on a private PulseAudio whose null sink
"radio" is the card (the set-up of tests/integration/test_station_sound_loss.py):

- return: from the moment the sink is loaded again (pactl load-module has
  returned, and a tone is played into it) to the station's "capture device
  back" line and to the first block of that tone at a loopback client. The
  station looks for a lost card every 2 s (the card comes back at a random
  moment between two looks), and PulseAudio's null sink takes a while to
  deliver its first block: the figure is bounded by the 5 s the station
  promises, not by the pump;
- unkey: while a client transmits, from the moment the sink is unloaded
  (just before pactl unload-module) to the station's "ptt off" line, and
  from its "playback device lost" line to that "ptt off" line.

Times are the arrival of the lines on the station's output, as the test
harness stamps them (CLOCK_MONOTONIC, shared with this script).

usage: measure_sound_return.py --build BUILD_DIR [--trials N]
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

import harness  # noqa: E402
from pulseharness import Pulse, PulseUnavailable  # noqa: E402
from stationharness import BLOCK, LinkClient, link_bytes  # noqa: E402

CARD = """</usr/share/alsa/alsa.conf>
pcm.radio {
    type asym
    playback.pcm { type pulse device radio }
    capture.pcm { type pulse device radio.monitor }
}
"""


def loud_after(items, index):
    """Arrival time of the first receive audio after item `index` that
    carries the tone, or None."""
    for item in items[index:]:
        if item[0] == "audio" and max(abs(b - 128) for b in item[2]) > 20:
            return item[1]
    return None


def summary(values):
    values = sorted(values)
    return "median %.0f ms, max %.0f ms over %d" % (statistics.median(values) * 1000,
                                                   values[-1] * 1000, len(values))


def measure(marvane, trials):
    pulse = Pulse(sinks=("radio",), asoundrc="", rescue=False)
    players = []
    try:
        config = os.path.join(pulse.dir, "alsa.conf")
        with open(config, "w") as f:
            f.write(CARD)
        tone_file = os.path.join(pulse.dir, "tone.wav")
        harness.write_wav(tone_file, harness.tone(600.0, 10000, 30 * harness.RATE))
        station = harness.Station(marvane, args=("--headless",), base_env=pulse.env,
                                  env={"MARVANE_VIRTUAL_SOUND": None, "ALSA_CONFIG_PATH": config},
                                  files={"url.txt": harness.REFUSING_URL,
                                         "scnames.txt": "radio\nradio\n"},
                                  prefix="marvane-bench-")
        try:
            station.wait_line("address idle")
            client = LinkClient(station.port)
            client.wait_audio(BLOCK)
            to_line, to_audio, to_unkey, reported_to_unkey = [], [], [], []
            after = 0
            for _ in range(trials):
                # The card goes while the client transmits.
                client.send_frame("T")
                on = station.wait_line("ptt on", after)
                client.transmit(link_bytes(harness.tone(600.0, 8000, 10 * harness.RATE)),
                                last=False)
                time.sleep(0.5)
                gone = time.monotonic()
                pulse.remove_sink("radio")
                lost = station.wait_line("playback device lost: .*", on[0])
                off = station.wait_line("ptt off", on[0])
                to_unkey.append(off[1] - gone)
                reported_to_unkey.append(max(0.0, off[1] - lost[1]))
                station.wait_line("capture device lost: .*", on[0])
                # Anywhere in the station's 2 s between two looks.
                time.sleep(random.uniform(0.1, 2.1))

                # And comes back, a tone playing into it.
                index = client.count()
                pulse.add_sink("radio")
                back_at = time.monotonic()
                players.append(subprocess.Popen(["paplay", "--device=radio", tone_file],
                                                env=pulse.env, stderr=subprocess.DEVNULL))
                back = station.wait_line("capture device back: radio", off[0])
                to_line.append(back[1] - back_at)
                heard = client.wait_for(lambda items, i=index: loud_after(items, i),
                                        what="the tone after the card's return")
                to_audio.append(heard - back_at)
                after = station.wait_line("playback device back: radio", off[0])[0]
                harness.stop_process(players.pop())
            client.close()
        finally:
            station.stop()
            station.close()
    finally:
        for p in players:
            harness.stop_process(p)
        pulse.close()
    return to_line, to_audio, to_unkey, reported_to_unkey


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--trials", type=int, default=5)
    args = parser.parse_args()
    marvane = os.path.join(os.path.abspath(args.build), "bin", "marvane")
    try:
        to_line, to_audio, to_unkey, reported = measure(marvane, args.trials)
    except PulseUnavailable as e:
        print("sound card return: skipped, no PulseAudio here: %s" % e)
        return 0
    print("card back -> \"capture device back\": " + summary(to_line))
    print("card back -> first block of its audio at the client: " + summary(to_audio))
    print("playback card gone -> \"ptt off\": " + summary(to_unkey))
    print("\"playback device lost\" -> \"ptt off\": " + summary(reported))
    print("goal (audio within 5 s of the card's return): %s"
          % ("met" if max(to_audio) < 5.0 else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
