# SPDX-License-Identifier: GPL-3.0-or-later
"""Bad directory settings and bad directories: a missing, empty, short or
oversized url.txt, a host that does not resolve, a port that refuses and a
server whose answer never ends. None crashes or hangs the station, each
exchange is one clear line of its log, and the requests that do go out are
byte for byte what the directory expects (line feeds alone, "REFERER").

All stations run side by side, started once for the whole class.
Unresolvable names here have a label longer than 63 characters, which the
resolver refuses before asking any name server.

usage: test_announce_bad_input.py MARVANE MARVANE_CLIENT
"""

import signal
import sys
import unittest

from harness import PATIENCE, Port80Server, require_private_network
from stationharness import Station

MARVANE = CLIENT = None
UNRESOLVABLE = "no-such-host-" + "x" * 60


def request(path, call, qrg, loc, host, withdraw=False):
    query = "call=%s&qrg=.0." % call if withdraw else "call=%s&qrg=%s&loc=%s" % (call, qrg, loc)
    return ("GET %s/vela.php?%s HTTP/1.0\nREFERER: %s\nHost: %s\n\n"
            % (path, query, host, host)).encode()


class BadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.recorder = Port80Server("127.0.0.5", "answer")
        cls.endless = Port80Server("127.0.0.6", "endless")
        long = {c: c * 300 for c in "hpcql"}
        cls.stations = {
            "missing": Station(MARVANE, url=None),
            "empty": Station(MARVANE, url=""),
            "short": Station(MARVANE, url="127.0.0.5 /short K1ABC\n"),
            "oversized": Station(MARVANE, url=" ".join(
                [long["h"], long["p"], long["c"], long["q"], long["l"]] + ["extra"] * 2000)),
            "oversized-sent": Station(MARVANE, url=" ".join(
                ["127.0.0.5", "/" + long["p"], long["c"], long["q"], long["l"]])),
            "unresolvable": Station(MARVANE, url="%s /dir N0CALL 0 -\n" % UNRESOLVABLE),
            "refused": Station(MARVANE, url="127.0.0.3 /dir N0CALL 0 -\n"),
            "endless": Station(MARVANE, url="127.0.0.6 /dir N0CALL 0 -\n"),
        }

    @classmethod
    def tearDownClass(cls):
        for s in cls.stations.values():
            s.close()
        cls.recorder.close()
        cls.endless.close()

    def outcome(self, name, timeout=PATIENCE):
        """The one announce line of that station; it ends cleanly on SIGTERM."""
        s = self.stations[name]
        line = s.wait_line(r"announce .*", timeout=timeout)[2]
        return line

    def stop_cleanly(self, name, withdraw):
        """SIGTERM: exit 0 after that withdraw line."""
        s = self.stations[name]
        self.assertEqual(s.stop(timeout=10 + PATIENCE), 0)
        texts = s.texts()
        self.assertEqual(len([t for t in texts if t.startswith("announce ")]), 1, texts)
        self.assertEqual(texts[-2], withdraw)
        self.assertEqual(texts[-1], "stopped")
        self.assertEqual(s.sanitizer_report(), "")

    def test_missing_file_is_written_with_the_defaults(self):
        # Nothing serves localhost:80 in the test's own network.
        self.assertEqual(self.outcome("missing"), "announce failed: cannot connect to localhost:80")
        with open(self.stations["missing"].path("url.txt")) as f:
            self.assertEqual(f.read(), "localhost\n/member/oktavo/vela\nN0CALL\n0\n-\n")
        self.stop_cleanly("missing", "withdraw failed: cannot connect to localhost:80")

    def test_empty_file_names_no_host(self):
        self.assertEqual(self.outcome("empty"), "announce failed: no host in url.txt")
        self.stop_cleanly("empty", "withdraw failed: no host in url.txt")

    def test_short_file_sends_the_missing_values_empty(self):
        self.assertEqual(self.outcome("short"), "announce ok")
        self.stop_cleanly("short", "withdraw ok")
        sent = [r for r in self.recorder.recorded() if b"/short/" in r]
        self.assertEqual(sent, [request("/short", "K1ABC", "", "", "127.0.0.5"),
                                request("/short", "K1ABC", "", "", "127.0.0.5", withdraw=True)])

    def test_oversized_words_are_cut_to_99_characters(self):
        self.assertEqual(self.outcome("oversized"), "announce failed: cannot resolve " + "h" * 99)
        self.stop_cleanly("oversized", "withdraw failed: cannot resolve " + "h" * 99)
        self.assertEqual(self.outcome("oversized-sent"), "announce ok")
        self.stop_cleanly("oversized-sent", "withdraw ok")
        path = "/" + "p" * 98
        sent = [r for r in self.recorder.recorded() if path.encode() in r]
        self.assertEqual(sent, [request(path, "c" * 99, "q" * 99, "l" * 99, "127.0.0.5"),
                                request(path, "c" * 99, "", "", "127.0.0.5", withdraw=True)])

    def test_unresolvable_host(self):
        self.assertEqual(self.outcome("unresolvable"),
                         "announce failed: cannot resolve " + UNRESOLVABLE)
        self.stop_cleanly("unresolvable", "withdraw failed: cannot resolve " + UNRESOLVABLE)

    def test_refused_port(self):
        self.assertEqual(self.outcome("refused"),
                         "announce failed: cannot connect to 127.0.0.3:80")
        self.stop_cleanly("refused", "withdraw failed: cannot connect to 127.0.0.3:80")

    def test_endless_answer_is_cut_off_after_10_s(self):
        s = self.stations["endless"]
        self.assertEqual(self.outcome("endless", timeout=10 + PATIENCE),
                         "announce failed: answer not finished within 10 s")
        self.assertTrue(self.endless.recorded())
        # Still serving: a client gets receive audio.
        client = s.serve_client()
        client.close()
        # Its withdraw would take another 10 s: not waited for here.
        self.assertEqual(s.stop(signal.SIGKILL), -signal.SIGKILL)
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    require_private_network()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
