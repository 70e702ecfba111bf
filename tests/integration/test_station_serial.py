# SPDX-License-Identifier: GPL-3.0-or-later
"""The real serial layer keys a real descriptor: "comports.txt" maps COM1 to
a pseudo-terminal that the test opens, "txport.bin" chooses COM1, and the
modem-line shim (preloaded, since a pty refuses the modem-line ioctls) logs
every change of RTS and DTR.

usage: test_station_serial.py MARVANE MARVANE_CLIENT
"""

import signal
import sys
import termios
import time
import unittest

import harness
from harness import PATIENCE, RATE, Pty, tone
from stationharness import BLOCK, LinkClient, Station, link_bytes

MARVANE = CLIENT = None

AT_OPEN = ["open: RTS=1 DTR=1",           # the kernel raises both at open
           "drop RTS+DTR: RTS=0 DTR=0",   # dropped at once
           "termios CRTSCTS=0 HUPCL=1: RTS=0 DTR=0",
           "drop RTS+DTR: RTS=0 DTR=0"]   # and again after the termios change
KEYED = ["raise RTS: RTS=1 DTR=0",
         "raise DTR: RTS=1 DTR=1"]
UNKEYED = ["drop RTS: RTS=0 DTR=1",
           "drop DTR: RTS=0 DTR=0"]
CLOSED = ["drop RTS+DTR: RTS=0 DTR=0",   # before the close: HUPCL may not act
          "close (HUPCL): RTS=0 DTR=0"]


class SerialKeying(unittest.TestCase):
    def setUp(self):
        self.pty = pty = Pty()
        self.addCleanup(pty.close)
        # Start from the settings the station must change.
        attributes = termios.tcgetattr(pty.slave)
        attributes[2] = (attributes[2] & ~termios.HUPCL) | termios.CRTSCTS
        termios.tcsetattr(pty.slave, termios.TCSANOW, attributes)
        files = {"comports.txt": "COM1 %s\n" % pty.name,
                 "txport.bin": "1 comport\n"}
        self.station = Station(MARVANE, files=files, shim=True)
        self.addCleanup(self.station.close)

    def lines(self):
        return self.station.shim_log().splitlines()

    def wait_lines(self, count):
        deadline = time.monotonic() + PATIENCE
        while len(self.lines()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.lines()

    def test_lines_at_open_transmission_and_sigterm(self):
        s = self.station
        s.wait_line("address idle")
        self.assertEqual(self.wait_lines(len(AT_OPEN)), AT_OPEN)
        # The port's own settings, as the test's descriptor sees them: the
        # kernel drops the lines should the station die while keyed.
        cflag = termios.tcgetattr(self.pty.slave)[2]
        self.assertTrue(cflag & termios.HUPCL)
        self.assertFalse(cflag & termios.CRTSCTS)

        # A whole transmission: keyed at "T", unkeyed after the last chunk.
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        client.wait_audio(BLOCK)
        client.send_frame("T")
        client.wait_frame("N", 0)
        client.transmit(link_bytes(tone(600.0, 8000, 5 * BLOCK)))
        off = s.wait_line("ptt off")
        after = s.wait_line("mode RX", off[0])
        self.assertEqual(self.lines(), AT_OPEN + KEYED + UNKEYED)

        # SIGTERM in the middle of the next one: unkeyed, and the port
        # closed with HUPCL, before the station ends.
        client.send_frame("T")
        client.transmit(link_bytes(tone(600.0, 8000, 5 * RATE)), last=False)
        s.wait_line("ptt on", after[0])
        self.assertEqual(self.wait_lines(len(AT_OPEN + KEYED + UNKEYED + KEYED)),
                         AT_OPEN + KEYED + UNKEYED + KEYED)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(self.lines(),
                         AT_OPEN + KEYED + UNKEYED + KEYED + UNKEYED + CLOSED)
        texts = s.texts()
        self.assertEqual(texts[texts.index("stopping on SIGTERM") + 1], "ptt off")
        self.assertEqual(s.sanitizer_report(), "")

    def test_ctrl_z_unkeys_while_stopped_and_sighup_ends_the_run(self):
        s = self.station
        s.wait_line("address idle")
        client = LinkClient(s.port)
        self.addCleanup(client.close)
        client.wait_audio(BLOCK)
        client.send_frame("T")
        client.transmit(link_bytes(tone(600.0, 8000, 20 * RATE)), last=False)
        s.wait_line("ptt on")
        self.assertEqual(self.wait_lines(len(AT_OPEN + KEYED)), AT_OPEN + KEYED)

        # Stopped by the terminal: unkeyed first, and keyed again once it
        # goes on, the transmission still under way.
        s.send_signal(signal.SIGTSTP)
        harness.wait_until("the station to stop", lambda: process_state(s.proc.pid) == "T")
        self.assertEqual(self.lines(), AT_OPEN + KEYED + UNKEYED)
        s.send_signal(signal.SIGCONT)
        s.wait_line("continued")
        self.assertEqual(self.wait_lines(len(AT_OPEN + KEYED + UNKEYED + KEYED)),
                         AT_OPEN + KEYED + UNKEYED + KEYED)

        # The terminal or ssh session closed: the run ends as with SIGTERM.
        self.assertEqual(s.stop(signal.SIGHUP), 0)
        self.assertEqual(self.lines(), AT_OPEN + KEYED + UNKEYED + KEYED + UNKEYED + CLOSED)
        self.assertIn("stopping on SIGHUP", s.texts())
        self.assertEqual(s.sanitizer_report(), "")


def process_state(pid):
    """The one-letter state of /proc/PID/stat ("T" when stopped)."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


if __name__ == "__main__":
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
