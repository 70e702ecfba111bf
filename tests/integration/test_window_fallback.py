"""marvane with no arguments and no display to open runs the station
headless instead of failing: with DISPLAY unset, and with DISPLAY naming a
display no server answers for.

usage: test_window_fallback.py MARVANE MARVANE_CLIENT
"""

import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

import windowharness as wh

MARVANE = None
IDLE = re.compile(r"^\d\d:\d\d:\d\d address idle$")


def unused_display():
    n = 4000
    while os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
        n += 1
    return ":%d" % n


class Fallback(unittest.TestCase):
    def run_without_window(self, display):
        with tempfile.TemporaryDirectory(prefix="marvane-fallback-") as workdir:
            wh.write_tone(os.path.join(workdir, "capture.wav"))
            with open(os.path.join(workdir, "url.txt"), "w") as f:
                f.write(wh.QUIET_URL_TXT)
            env = wh.child_env(os.environ, workdir)
            env.pop("DISPLAY", None)
            if display is not None:
                env["DISPLAY"] = display
            env["MARVANE_PORT"] = str(wh.free_port())
            proc = subprocess.Popen([MARVANE], cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            lines = queue.Queue()
            reader = threading.Thread(target=lambda: [lines.put(l.rstrip("\n")) for l in proc.stdout],
                                      daemon=True)
            reader.start()
            seen = []
            try:
                while not any(IDLE.match(l) for l in seen):
                    seen.append(lines.get(timeout=wh.PATIENCE))
            finally:
                proc.send_signal(signal.SIGTERM)
                status = proc.wait(timeout=wh.PATIENCE)
                reader.join(timeout=wh.PATIENCE)
                proc.stdout.close()
            self.assertEqual(status, 0, seen)
            for mark in wh.SANITIZER_REPORTS:
                self.assertFalse(any(mark in l for l in seen), seen)

    def test_no_display_set_runs_headless(self):
        # Catches a program that needs a display to run at all.
        self.run_without_window(None)

    def test_display_without_a_server_runs_headless(self):
        # Catches the toolkit's fatal "cannot open display" ending the program.
        self.run_without_window(unused_display())


def main():
    global MARVANE
    MARVANE = sys.argv[1]
    result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
