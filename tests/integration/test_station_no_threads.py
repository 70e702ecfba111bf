# SPDX-License-Identifier: GPL-3.0-or-later
"""The real marvane --headless where no thread can be started: run as a user
of its own whose process limit leaves no room for a thread, start-up goes on
past every failed start (link server, audio pump, announcer) and SIGTERM
still ends the run with exit code 0.

usage: test_station_no_threads.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77

import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from harness import PATIENCE, RATE, REFUSING_URL, free_port, sanitizer_report, tone, write_wav

MARVANE = None
SKIP = 77


def ignored_signals(pid):
    """The process's ignored-signal mask, or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigIgn:"):
                    return int(line.split()[1], 16)
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None


class NoThreads(unittest.TestCase):
    def test_failed_thread_starts_do_not_end_the_station(self):
        # Catches a thread start that throws out of start-up (std::terminate:
        # the process aborts) instead of being passed over.
        work = tempfile.TemporaryDirectory(prefix="marvane-nothreads-")
        self.addCleanup(work.cleanup)
        os.chmod(work.name, 0o777)
        write_wav(os.path.join(work.name, "capture.wav"), tone(1000.0, 8000, RATE))
        with open(os.path.join(work.name, "url.txt"), "w") as f:
            f.write(REFUSING_URL)
        port = free_port()
        env = dict(os.environ, MARVANE_VIRTUAL_SOUND=work.name, MARVANE_PORT=str(port))
        out = open(os.path.join(work.name, "marvane.out"), "w+")
        self.addCleanup(out.close)
        # A user id with no other process: a limit of one process leaves no
        # room for a second task, so every thread start fails with EAGAIN.
        uid = 0x5a000000 + os.getpid()

        def one_task():
            resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))

        proc = subprocess.Popen([MARVANE, "--headless"], cwd=work.name, env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                user=uid, group=uid, extra_groups=[], preexec_fn=one_task)

        def output():
            out.flush()
            out.seek(0)
            return out.read()

        def stop():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.addCleanup(stop)

        # SIGTERM only once the run has blocked it (before that, it would end
        # the process by its default action). The run ignores SIGPIPE right
        # after blocking SIGTERM; the blocked mask itself cannot tell, since
        # sigtimedwait unblocks what it waits for while it waits.
        deadline = time.monotonic() + PATIENCE
        while True:
            mask = ignored_signals(proc.pid)
            if proc.poll() is not None or mask is None:
                self.fail("marvane ended with %s before SIGTERM:\n%s"
                          % (proc.poll(), output()[-3000:]))
            if mask & (1 << (signal.SIGPIPE - 1)):
                break
            self.assertLess(time.monotonic(), deadline, "SIGPIPE never ignored")
            time.sleep(0.02)
        # Past start-up: the station takes SIGTERM in its main loop, after the
        # thread starts. Give it a moment, then check it is still there.
        time.sleep(1.0)
        self.assertIsNone(proc.poll(), output()[-3000:])
        # The link server never started: nothing listens.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=PATIENCE).close()

        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.fail("marvane did not end on SIGTERM:\n" + output()[-3000:])
        text = output()
        self.assertEqual(code, 0, text[-3000:])
        self.assertIn("stopping on SIGTERM", text)
        self.assertIn("stopped", text)
        # The pump never ran: no status line.
        self.assertNotIn("address idle", text)
        self.assertFalse(sanitizer_report(text), text[-6000:])


def main():
    global MARVANE
    MARVANE = sys.argv[1]
    if os.geteuid() != 0:
        print("SKIP: needs root to run the station as a user of its own")
        sys.exit(SKIP)
    unittest.main(argv=sys.argv[:1], verbosity=2)


if __name__ == "__main__":
    main()
