# SPDX-License-Identifier: GPL-3.0-or-later
"""The web station of the real marvane --headless (virtual sound card, a
1 kHz tone captured), over real TLS on loopback: the certificate made at
first start, TLS versions (openssl s_client), the request limits, logins
and their limit, the WebSocket's session, Origin and role checks, the
audio and spectrum a listener gets, a full station, what goes on the air while
the station transmits, and accounts removed while the station runs.

usage: test_web_station.py MARVANE MARVANE_CLIENT
"""

import os
import re
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from harness import PATIENCE, tone, wait_until
from stationharness import LinkClient, link_bytes, peak_frequency
from webharness import TONE_BIN, WebSocketClient, WebStation

MARVANE = None
USERS = {"olga": ("operator-password", False), "lisa": ("listener-password", True)}


def unpack_bins(payload):
    bins = []
    for i in range(366):
        bit = i * 10
        word = payload[bit // 8] | (payload[bit // 8 + 1] << 8)
        bins.append((word >> (bit % 8)) & 0x3FF)
    return bins


def s_client(port, *flags):
    """openssl s_client's exit status and output against the station."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, *flags],
                          input=b"", capture_output=True, timeout=PATIENCE)
    return done.returncode, (done.stdout + done.stderr).decode(errors="replace")


class WebStationTest(unittest.TestCase):
    conf = "[web]\nmax_listeners = 2\nmax_per_address = 8\n"

    @classmethod
    def setUpClass(cls):
        cls.station = WebStation(MARVANE, users=USERS, conf=cls.conf)
        cls.fingerprint = cls.station.wait_web()

    @classmethod
    def tearDownClass(cls):
        cls.station.close()

    def ws(self, cookie=None, origin="same", hello=("opus", "pcm")):
        """(status, client) of a WebSocket to the station; with 101 the page's
        hello is said."""
        client = WebSocketClient(self.station, cookie=cookie, origin=origin)
        self.addCleanup(client.close)
        status, _ = client.connect()
        if status != 101:
            client.close()
        elif hello:
            client.send_json({"type": "hello", "codecs": list(hello)})
        return status, client

    def test_certificate_and_tls(self):
        st = self.station
        self.assertEqual(stat.S_IMODE(os.stat(st.path("web-key.pem")).st_mode), 0o600)
        shown = subprocess.run(["openssl", "x509", "-in", st.path("web-cert.pem"), "-noout",
                                "-fingerprint", "-sha256", "-ext", "subjectAltName"],
                               capture_output=True, text=True, check=True).stdout
        self.assertIn("Fingerprint=" + self.fingerprint, shown)
        self.assertIn("IP Address:127.0.0.1", shown)
        self.assertIn("DNS:localhost", shown)
        status, text = s_client(st.web_port, "-tls1_2", "-CAfile", st.path("web-cert.pem"))
        self.assertEqual(status, 0, text)
        self.assertIn("Verify return code: 0 (ok)", text)
        for old in ("-tls1_1", "-tls1"):
            # The client allows the old version; the station answers with an alert.
            status, text = s_client(st.web_port, old, "-cipher", "DEFAULT@SECLEVEL=0")
            self.assertNotEqual(status, 0, "%s was accepted:\n%s" % (old, text))
            self.assertIn("alert protocol version", text)

    def test_pages_and_request_limits(self):
        st = self.station
        status, headers, _ = st.request("GET", "/")
        self.assertEqual((status, headers["location"]), (303, "/login"))
        self.assertIn("default-src 'self'", headers["content-security-policy"])
        status, _, page = st.request("GET", "/login")
        self.assertEqual(status, 200)
        self.assertIn('action="/login"', page)
        self.assertNotIn("no accounts yet", page)
        self.assertEqual(st.request("GET", "/app.js")[0], 200)
        for path in ("/nothing", "/index.html", "/../web-key.pem", "/web-users.txt"):
            self.assertEqual(st.request("GET", path)[0], 404, path)
        status, _, _ = st.request("GET", "/", headers={"X-Long": "a" * 9000})
        self.assertEqual(status, 431)
        status, _, _ = st.request("POST", "/login", body="name=" + "x" * 5000,
                                  headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 413)
        st.wait_line(r"web: bad request from 127\.0\.0\.1: headers over 8 KiB; answered 431")
        st.wait_line(r"web: bad request from 127\.0\.0\.1: a body over 4 KiB; answered 413")

        # Headers that never end: the connection is closed after 10 s, and
        # the station serves others meanwhile.
        raw = socket.create_connection(("127.0.0.1", st.web_port))
        slow = st.tls_context().wrap_socket(raw)
        slow.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        self.assertEqual(st.request("GET", "/login")[0], 200)
        slow.settimeout(PATIENCE)
        self.assertEqual(slow.recv(100), b"")
        slow.close()
        st.wait_line(r"web: 127\.0\.0\.1 sent no whole request within 10 s; closed")

        # max_per_address: the ninth connection from one address is closed at
        # once; another address is served.
        held = [st.tls_context().wrap_socket(socket.create_connection(("127.0.0.1", st.web_port)))
                for _ in range(8)]
        try:
            extra = socket.create_connection(("127.0.0.1", st.web_port))
            with self.assertRaises(OSError):  # reset, or TLS cut short
                st.tls_context().wrap_socket(extra).recv(10)
            st.wait_line(r"web: 127\.0\.0\.1 refused: it holds 8 connections already.*")
            self.assertEqual(st.request("GET", "/app.js", source="127.0.0.5")[0], 200)
        finally:
            for h in held:
                h.close()
        wait_until("the held connections to be let go", lambda: st.request("GET", "/app.js")[0] == 200)

    def test_listener_hears_the_tone_and_cannot_transmit(self):
        st = self.station
        status, cookie = st.login("lisa", "listener-password")
        self.assertEqual(status, 303)
        self.assertTrue(cookie)
        st.wait_line(r"web: login lisa \(listener\) from 127\.0\.0\.1")
        self.assertEqual(st.request("GET", "/", cookie=cookie)[0], 200)

        self.assertEqual(self.ws()[0], 401)
        st.wait_line(r"web: WebSocket from 127\.0\.0\.1 refused: no session")
        self.assertEqual(self.ws(cookie, origin="https://elsewhere.example")[0], 403)
        self.assertEqual(self.ws(cookie, origin=None)[0], 403)

        status, page = self.ws(cookie)
        self.assertEqual(status, 101)
        hello = page.receive_json("hello")
        self.assertEqual((hello["role"], hello["codec"], hello["rate"], hello["frameMs"]),
                         ("listener", "opus", 16000, 20))
        self.assertGreaterEqual(page.receive_json("status")["listeners"], 1)
        opus, spectra = 0, []
        while opus < 50 or len(spectra) < 3:
            opcode, payload = page.receive()
            if opcode == 2 and payload[0] == 1:
                opus += 1
                self.assertLess(len(payload), 4 + 120)  # about 24 kbit/s in 20 ms frames
            elif opcode == 2 and payload[0] == 3:
                spectra.append(unpack_bins(payload[2:]))
        bins = spectra[-1]
        self.assertEqual(bins.index(max(bins)), TONE_BIN)

        page.send_json({"type": "transmit"})
        refused = page.receive_json("refused")
        self.assertEqual(refused["what"], "transmit")
        st.wait_line(r"web: lisa \(listener\) from 127\.0\.0\.1 refused transmit: only an operator may")
        page.send_json({"type": "ping", "t": 12.5})
        self.assertEqual(page.receive_json("pong")["t"], 12.5)

        # A browser without Opus gets 16-bit PCM: 320 samples a frame.
        status, pcm = self.ws(cookie, hello=("pcm",))
        self.assertEqual(pcm.receive_json("hello")["codec"], "pcm")
        while True:
            opcode, payload = pcm.receive()
            if opcode == 2 and payload[0] == 2:
                self.assertEqual(len(payload), 4 + 640)
                break

        # max_listeners is 2: a third page hears that the station is full.
        status, third = self.ws(cookie)
        self.assertEqual(status, 101)
        self.assertEqual(third.receive_json("full")["max"], 2)
        with self.assertRaises(EOFError):
            third.receive_json()
        st.wait_line(r"web: lisa \(listener\) from 127\.0\.0\.1 refused: the station is full "
                     r"\(2 listeners\)")

        # Logging out ends the session on the station: its pages close.
        st.request("POST", "/logout", cookie=cookie, body="")
        st.wait_line(r"web: logout lisa from 127\.0\.0\.1")
        with self.assertRaises(EOFError):
            while True:
                page.receive()
        self.assertEqual(self.ws(cookie)[0], 401)

    def listen(self, cookie, hello=("opus", "pcm")):
        """A page that listens, once the pages of the tests before have gone."""
        def attempt():
            status, page = self.ws(cookie, hello=hello)
            message = page.receive_json()
            return (page, message) if message["type"] == "hello" else None
        return wait_until("a place among the listeners", attempt)

    def test_operator_removed_while_listening(self):
        st = self.station
        status, cookie = st.login("olga", "operator-password")
        self.assertEqual(status, 303)
        page, hello = self.listen(cookie)
        self.assertEqual(hello["role"], "operator")
        done = subprocess.run([MARVANE, "--remove-user", "olga"], cwd=st.dir, capture_output=True,
                              text=True, timeout=PATIENCE)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(page.receive_json("bye")["why"], "account changed")
        st.wait_line(r"web: web-users\.txt read again: 1 accounts, sessions of removed or "
                     r"changed accounts ended")
        self.assertEqual(self.ws(cookie)[0], 401)
        self.assertEqual(st.login("olga", "operator-password")[0], 401)

    def test_listeners_hear_what_goes_on_the_air(self):
        # A client of port 3020 transmits 500 Hz; a page (16-bit PCM, so that
        # the test reads the samples) gets it in frames marked as transmitted.
        st = self.station
        status, cookie = st.login("lisa", "listener-password")
        page, hello = self.listen(cookie, hello=("pcm",))
        link = LinkClient(st.port)
        self.addCleanup(link.close)
        link.wait_audio(1)
        link.send_frame("T")
        link.wait_frame("N")
        link.transmit(link_bytes(tone(500.0, 12000, 3 * 11025)))
        samples = []
        while len(samples) < 16000:
            opcode, payload = page.receive()
            if opcode == 2 and payload[0] == 2 and payload[1] & 1:
                samples.extend(struct.unpack("<%dh" % (16 * hello["frameMs"]), payload[4:]))
        self.assertLess(abs(peak_frequency(samples[8000:9024], 16000) - 500.0), 20)
        # After the transmission the receive audio comes back, unmarked.
        while True:
            opcode, payload = page.receive()
            if opcode == 2 and payload[0] == 2 and not payload[1] & 1:
                break

    def test_a_listener_that_stops_reading_is_dropped_and_delays_nobody(self):
        st = self.station
        status, cookie = st.login("lisa", "listener-password")
        stuck = WebSocketClient(st, cookie=cookie, receive_buffer=4096)
        self.addCleanup(stuck.close)
        self.assertEqual(stuck.connect()[0], 101)
        stuck.send_json({"type": "hello", "codecs": ["pcm"]})
        after = len(st.lines)
        page, _ = self.listen(cookie)
        # The other page goes on getting frames until the stuck one is
        # dropped, and is not dropped itself.
        dropped = r"web: lisa \(listener\) from 127\.0\.0\.1 dropped: 10 s behind, \d+ messages lost"
        frames, deadline = 0, time.monotonic() + 2 * PATIENCE
        while not any(re.fullmatch(dropped, t) for t in st.texts()[after:]):
            self.assertLess(time.monotonic(), deadline, "the stuck listener was never dropped:\n" + st.dump())
            opcode, payload = page.receive()
            frames += opcode == 2 and payload[0] == 1
        self.assertGreater(frames, 100)
        self.assertEqual(sum(bool(re.fullmatch(dropped, t)) for t in st.texts()[after:]), 1)
        page.send_json({"type": "ping", "t": 1})
        self.assertEqual(page.receive_json("pong")["t"], 1)

    def test_zz_failed_logins_make_the_address_wait(self):
        # From an address of its own, which waits a minute afterwards.
        st = self.station
        for _ in range(5):
            self.assertEqual(st.login("lisa", "wrong-password", source="127.0.0.2")[0], 401)
        st.wait_line(r'web: login of "lisa" from 127\.0\.0\.2 refused: wrong name or password')
        status, headers, page = st.request("POST", "/login",
                                           {"name": "lisa", "password": "listener-password"},
                                           source="127.0.0.2")
        self.assertEqual(status, 429)
        self.assertIn("wait a minute", page)
        st.wait_line(r"web: 5 failed logins from 127\.0\.0\.2 within a minute: it waits a minute")
        # Others still log in.
        self.assertEqual(st.login("lisa", "listener-password", source="127.0.0.3")[0], 303)


class AccountCommands(unittest.TestCase):
    def test_add_list_and_remove(self):
        with tempfile.TemporaryDirectory(prefix="marvane-accounts-") as folder:
            def run(args, text=""):
                return subprocess.run([MARVANE, *args], cwd=folder, input=text,
                                      capture_output=True, text=True, timeout=PATIENCE * 4)
            self.assertEqual(run(["--add-user", "bad/name"], "long-enough\n").returncode, 1)
            short = run(["--add-user", "ann"], "short\n")
            self.assertEqual(short.returncode, 1)
            self.assertIn("8 to 1024 characters", short.stderr)
            self.assertFalse(os.path.exists(os.path.join(folder, "web-users.txt")))
            self.assertEqual(run(["--add-user", "ann"], "long-enough\n").returncode, 0)
            self.assertEqual(run(["--add-user", "ben", "--listener"], "long-enough\n").returncode, 0)
            self.assertEqual(run(["--list-users"]).stdout, "ann operator\nben listener\n")
            self.assertEqual(run(["--remove-user", "nobody"]).returncode, 1)
            self.assertEqual(run(["--remove-user", "ann"]).returncode, 0)
            self.assertEqual(run(["--list-users"]).stdout, "ben listener\n")
            self.assertEqual(run(["--add-user"]).returncode, 1)  # the usage


class GuestsAndNoAccounts(unittest.TestCase):
    def test_guests_listen_but_never_control(self):
        st = WebStation(MARVANE, conf="[web]\nguests = yes\n")
        self.addCleanup(st.close)
        st.wait_web()
        self.assertEqual(st.request("GET", "/")[0], 200)
        self.assertIn("no accounts yet", st.request("GET", "/login")[2])
        page = WebSocketClient(st)
        self.addCleanup(page.close)
        self.assertEqual(page.connect()[0], 101)
        page.send_json({"type": "hello", "codecs": ["opus"]})
        self.assertEqual(page.receive_json("hello")["role"], "guest")
        for ask in ("transmit", "tune", "no-such-thing"):
            page.send_json({"type": ask})
            self.assertEqual(page.receive_json("refused")["what"], ask)
        page._send(2, b"\x00" * 64)  # sound from a guest
        self.assertEqual(page.receive_json("refused")["what"], "audio")

    def test_no_accounts_and_a_bad_guests_line_let_nobody_in(self):
        st = WebStation(MARVANE, conf="[web]\nguests = maybe\n")
        self.addCleanup(st.close)
        st.wait_web()
        st.wait_line(r'marvane\.conf line 2: \[web\] guests: "maybe" is not yes or no; nobody '
                     r'listens without an account')
        st.wait_line(r"web: no accounts yet, nobody can listen: make one with marvane "
                     r"--add-user NAME")
        self.assertEqual(st.request("GET", "/")[0], 303)
        self.assertIn("marvane --add-user NAME", st.request("GET", "/login")[2])
        self.assertEqual(st.login("anyone", "any-password")[0], 401)
        page = WebSocketClient(st)
        self.addCleanup(page.close)
        self.assertEqual(page.connect()[0], 401)


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
