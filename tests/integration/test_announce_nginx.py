# SPDX-License-Identifier: GPL-3.0-or-later
"""The directory announcer against a real HTTP server: nginx on 127.0.0.1:80,
started from a configuration of our own in a temporary folder, logs each
request line with its Referer and Host headers and the time it came. Asserted from that log: the
announcement about 1000 ms after start-up, the withdraw and the re-read of
url.txt when announcing is switched off and on (SIGUSR1 is the "Anounce"
command headless), no request while it is off, the withdraw at SIGTERM, and
the defaults of a first run without url.txt.

The test runs in a network namespace of its own: its nginx has port 80 to
itself, and only its own stations announce there.

usage: test_announce_nginx.py MARVANE MARVANE_CLIENT
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

from harness import PATIENCE, require_private_network, stop_process
from stationharness import Station

MARVANE = CLIENT = None

CONFIG = """\
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format directory '$msec|$request|$http_referer|$http_host';
    access_log {dir}/access.log directory;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen 127.0.0.1:80;
        location / {{ return 200 "ok\\n"; }}
    }}
}}
"""


class Nginx:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="marvane-nginx-")
        d = self.tmp.name
        with open(os.path.join(d, "nginx.conf"), "w") as f:
            f.write(CONFIG.format(dir=d))
        self.log = os.path.join(d, "access.log")
        self.proc = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-c",
                                      os.path.join(d, "nginx.conf"), "-p", d,
                                      "-e", os.path.join(d, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + PATIENCE
        while True:
            try:
                socket.create_connection(("127.0.0.1", 80), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("nginx did not start: %s"
                                         % self.proc.stderr.read().decode(errors="replace"))
                time.sleep(0.05)

    def logged(self, marker):
        """Logged lines whose request holds marker, as (time, request, referer,
        host), the time on this process's monotonic clock."""
        try:
            with open(self.log) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        to_monotonic = time.monotonic() - time.time()
        found = []
        for line in lines:
            if marker in line:
                at, request, referer, host = line.split("|")
                found.append((float(at) + to_monotonic, request, referer, host))
        return found

    def requests(self, marker):
        """Logged lines whose request holds marker, as (request, referer, host)."""
        return [entry[1:] for entry in self.logged(marker)]

    def wait_requests(self, marker, count):
        """Waits until count requests with marker are logged; returns them."""
        deadline = time.monotonic() + PATIENCE
        while len(self.requests(marker)) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.requests(marker)

    def close(self):
        stop_process(self.proc)
        self.proc.stderr.close()
        self.tmp.cleanup()


def url_text(path, call, qrg, loc, host="127.0.0.1"):
    return "%s\n%s\n%s\n%s\n%s\n" % (host, path, call, qrg, loc)


class AnnounceToNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.close()

    def station(self, url):
        s = Station(MARVANE, url=url)
        self.addCleanup(s.close)
        return s

    def test_announce_switch_off_and_on_and_withdraw_at_sigterm(self):
        path = "/marvane-test-%s/dir" % uuid.uuid4().hex
        s = self.station(url_text(path, "K1ABC", "7.074", "JO01"))
        first = s.wait_line("announce ok")
        # Sent 1000 ms after the switch-on, which follows the process start
        # by the start-up (seconds at most, in a sanitizer build).
        self.assertEqual(len(self.nginx.wait_requests(path, 1)), 1)
        came = self.nginx.logged(path)[0][0]
        self.assertGreaterEqual(came - s.started_at, 0.99)
        self.assertEqual(self.nginx.wait_requests(path, 1), [
            ("GET %s/vela.php?call=K1ABC&qrg=7.074&loc=JO01 HTTP/1.0" % path,
             "127.0.0.1", "127.0.0.1")])

        # Off: the withdraw goes out at once.
        s.send_signal(signal.SIGUSR1)
        s.wait_line("announcing off", first[0])
        withdrawn = s.wait_line("withdraw ok", first[0])
        self.assertEqual(self.nginx.wait_requests(path, 2)[1],
                         ("GET %s/vela.php?call=K1ABC&qrg=.0. HTTP/1.0" % path,
                          "127.0.0.1", "127.0.0.1"))
        # While off, nothing is sent, whatever url.txt now says.
        s.write("url.txt", url_text(path, "K2XYZ", "14.070", "FN31"))
        time.sleep(2.0)
        self.assertEqual(len(self.nginx.requests(path)), 2)

        # On again: url.txt is read again, announced 1000 ms later.
        switched_on = time.monotonic()
        s.send_signal(signal.SIGUSR1)
        s.wait_line("announcing on", withdrawn[0])
        s.wait_line("announce ok", withdrawn[0])
        self.assertEqual(len(self.nginx.wait_requests(path, 3)), 3)
        came = self.nginx.logged(path)[2][0]
        self.assertGreaterEqual(came - switched_on, 0.99)
        self.assertEqual(self.nginx.wait_requests(path, 3)[2],
                         ("GET %s/vela.php?call=K2XYZ&qrg=14.070&loc=FN31 HTTP/1.0" % path,
                          "127.0.0.1", "127.0.0.1"))

        # SIGTERM: the withdraw, then exit 0.
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.texts()[-2:], ["withdraw ok", "stopped"])
        self.assertEqual(self.nginx.wait_requests(path, 4)[3:], [
            ("GET %s/vela.php?call=K2XYZ&qrg=.0. HTTP/1.0" % path, "127.0.0.1", "127.0.0.1")])
        time.sleep(0.2)
        self.assertEqual(len(self.nginx.requests(path)), 4)
        self.assertEqual(s.sanitizer_report(), "")

    def test_closed_while_off_sends_nothing_at_shutdown(self):
        path = "/marvane-test-%s/dir" % uuid.uuid4().hex
        s = self.station(url_text(path, "K3OFF", "3.573", "IO91"))
        # Off before the first announcement: only its withdraw goes out.
        s.wait_line("address idle")
        s.send_signal(signal.SIGUSR1)
        s.wait_line("withdraw ok")
        time.sleep(1.5)  # past the moment of the first announcement
        self.assertEqual(s.stop(), 0)
        self.assertEqual(self.nginx.wait_requests(path, 1), [
            ("GET %s/vela.php?call=K3OFF&qrg=.0. HTTP/1.0" % path, "127.0.0.1", "127.0.0.1")])
        texts = s.texts()
        self.assertEqual(texts[texts.index("stopping on SIGTERM"):],
                         ["stopping on SIGTERM", "ptt off", "stopped"])
        self.assertEqual(s.sanitizer_report(), "")

    def test_first_run_without_url_file_announces_the_defaults(self):
        s = self.station(None)
        ok = s.wait_line("announce ok")
        with open(s.path("url.txt")) as f:
            self.assertEqual(f.read().split(), ["localhost", "/member/oktavo/vela", "N0CALL",
                                                "0", "-"])
        self.assertEqual(self.nginx.wait_requests("/member/oktavo/vela/vela.php?call=N0CALL&qrg=0&", 1),
                         [("GET /member/oktavo/vela/vela.php?call=N0CALL&qrg=0&loc=- HTTP/1.0",
                           "localhost", "localhost")])
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.texts()[ok[0] + 1:][-2:], ["withdraw ok", "stopped"])
        self.assertEqual(s.sanitizer_report(), "")


if __name__ == "__main__":
    require_private_network()
    MARVANE, CLIENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
