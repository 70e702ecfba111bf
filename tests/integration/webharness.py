# SPDX-License-Identifier: GPL-3.0-or-later
"""The web station's side of the tests: the real marvane --headless with its
web station on a free port, accounts made with --add-user, HTTPS requests
that trust the station's own certificate, a small WebSocket client of the
page's protocol, and headless Chromium kept off the network, trusting the
station's certificate by its key's fingerprint."""

import base64
import http.client
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import urllib.parse

import harness
from harness import PATIENCE, free_port, wait_until

DEBIAN_PYTHON = "/usr/bin/python3"
TONE_BIN = round(1000.0 * 1024 / harness.RATE)  # the 1 kHz tone's spectrum bin: 93


def write_bin_tone(folder, spectrum_bin=TONE_BIN, amplitude=5000):
    """capture.wav: a tone in the middle of one spectrum bin (93 cycles in
    1024 samples: 1001.3 Hz), so that no other bin holds any of it and the
    waterfall shows one column however bright; ten blocks loop seamlessly."""
    frequency = spectrum_bin * harness.RATE / 1024
    harness.write_wav(os.path.join(folder, "capture.wav"),
                      harness.tone(frequency, amplitude, 1024 * 10))
    return frequency


def add_user(marvane, folder, name, password, listener=False):
    """marvane --add-user in the station's folder, the password on standard input."""
    args = [marvane, "--add-user", name] + (["--listener"] if listener else [])
    done = subprocess.run(args, cwd=folder, input=password + "\n", capture_output=True, text=True,
                          timeout=PATIENCE * 4)
    if done.returncode != 0:
        raise AssertionError("--add-user %s failed: %s" % (name, done.stderr))
    return done


def accounts_text(marvane, users):
    """The text of web-users.txt with the accounts {name: (password, listener)},
    made by --add-user in a folder of its own."""
    with tempfile.TemporaryDirectory(prefix="marvane-users-") as folder:
        for name, (password, listener) in users.items():
            add_user(marvane, folder, name, password, listener)
        with open(os.path.join(folder, "web-users.txt")) as f:
            return f.read()


class WebStation(harness.Station):
    """The real marvane --headless with its web station on a port of its own,
    marvane.conf of conf and the accounts {name: (password, listener)} made
    before it starts. capture: the amplitude of a 1 kHz tone on the virtual
    sound card, or None for none (prepare may write one)."""

    def __init__(self, marvane, users=None, conf="", env=None, files=None, capture=5000,
                 **kwargs):
        self.web_port = free_port()
        files = dict({"url.txt": harness.REFUSING_URL}, **(files or {}))
        if conf:
            files["marvane.conf"] = conf
        if users:
            files["web-users.txt"] = accounts_text(marvane, users)
        super().__init__(marvane, args=("--headless",), files=files,
                         capture=None if capture is None else
                         harness.tone(1000.0, capture, harness.RATE),
                         env=dict(env or {}, MARVANE_WEB_PORT=str(self.web_port)),
                         prefix="marvane-web-", **kwargs)

    def wait_web(self):
        """Waits for the address line; returns the certificate's fingerprint as logged."""
        self.wait_line(r"web: https://\S+:%d/" % self.web_port)
        return self.wait_line(r"web: certificate SHA-256 fingerprint (\S+)")[2].split()[-1]

    def tls_context(self):
        return trusting(self.path("web-cert.pem"))

    def request(self, method, path, body=None, headers=None, cookie=None, source="127.0.0.1"):
        """(status, headers dict in lower case, body text) of one HTTPS request
        from the loopback address source."""
        conn = http.client.HTTPSConnection("127.0.0.1", self.web_port, timeout=PATIENCE,
                                           context=self.tls_context(), source_address=(source, 0))
        all_headers = dict(headers or {})
        if cookie:
            all_headers["Cookie"] = cookie
        if isinstance(body, dict):
            body = urllib.parse.urlencode(body)
            all_headers["Content-Type"] = "application/x-www-form-urlencoded"
        conn.request(method, path, body=body, headers=all_headers)
        response = conn.getresponse()
        text = response.read().decode(errors="replace")
        result = (response.status, {k.lower(): v for k, v in response.getheaders()}, text)
        conn.close()
        return result

    def login(self, name, password, source="127.0.0.1"):
        """(status, the session cookie "marvane_session=..." or None)."""
        status, headers, _ = self.request("POST", "/login", {"name": name, "password": password},
                                          source=source)
        cookie = headers.get("set-cookie", "")
        return status, cookie.split(";")[0] if cookie.startswith("marvane_session=") else None

    def spki_hash(self):
        return spki_hash_of(self.path("web-cert.pem"))


def trusting(certificate):
    """A client TLS context that trusts exactly this certificate (by any name)."""
    context = ssl.create_default_context(cafile=certificate)
    context.check_hostname = False
    return context


def spki_hash_of(certificate):
    """The base64 SHA-256 of the certificate's public key, as Chromium's
    --ignore-certificate-errors-spki-list takes it."""
    key = subprocess.run(["openssl", "x509", "-in", certificate, "-pubkey", "-noout"],
                         capture_output=True, check=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=key,
                         capture_output=True, check=True).stdout
    digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=der,
                            capture_output=True, check=True).stdout
    return base64.b64encode(digest).decode()


def use_debian_python():
    """Runs this script again under Debian's Python when the python3 that
    started it cannot import Debian's python3-selenium."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        if os.path.exists(DEBIAN_PYTHON) and os.path.realpath(sys.executable) != \
                os.path.realpath(DEBIAN_PYTHON):
            os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)


class WebSocketClient:
    """The page's protocol over TLS: connect() answers (status, headers);
    after a 101, send_json and receive work. Frames the station sends are
    never fragmented."""

    def __init__(self, station, cookie=None, origin="same", timeout=PATIENCE, receive_buffer=None):
        raw = socket.socket()
        if receive_buffer:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        raw.settimeout(timeout)
        raw.connect(("127.0.0.1", station.web_port))
        self.sock = station.tls_context().wrap_socket(raw)
        self.host = "127.0.0.1:%d" % station.web_port
        self.cookie = cookie
        self.origin = "https://" + self.host if origin == "same" else origin
        self.rest = b""

    def connect(self, path="/ws"):
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET %s HTTP/1.1" % path, "Host: " + self.host, "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if self.origin:
            lines.append("Origin: " + self.origin)
        if self.cookie:
            lines.append("Cookie: " + self.cookie)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.rest:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.rest += chunk
        head, _, self.rest = self.rest.partition(b"\r\n\r\n")
        lines = head.decode(errors="replace").split("\r\n")
        status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
        headers = dict(l.split(": ", 1) for l in lines[1:] if ": " in l)
        return status, headers

    def _read(self, n):
        while len(self.rest) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("the station closed the connection")
            self.rest += chunk
        data, self.rest = self.rest[:n], self.rest[n:]
        return data

    def receive(self):
        """(opcode, payload) of the next frame: 1 text, 2 binary, 8 close."""
        first, second = self._read(2)
        length = second & 0x7f
        if length == 126:
            length = struct.unpack(">H", self._read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._read(8))[0]
        payload = self._read(length)
        opcode = first & 0x0f
        if opcode == 9:  # ping: answered, as a browser does
            self._send(10, payload)
            return self.receive()
        return opcode, payload

    def receive_json(self, wanted=None):
        """The next JSON message (of type wanted), passing binary ones by."""
        while True:
            opcode, payload = self.receive()
            if opcode == 8:
                raise EOFError("closed with code %d" % (struct.unpack(">H", payload[:2])[0]
                                                        if len(payload) >= 2 else 0))
            if opcode == 1:
                message = json.loads(payload)
                if wanted is None or message.get("type") == wanted:
                    return message

    def _send(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x80 | opcode])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send_json(self, message):
        self._send(1, json.dumps(message).encode())

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


CHROMIUM_FLAGS = ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--disable-default-apps",
                  "--disable-domain-reliability", "--disable-client-side-phishing-detection",
                  "--no-default-browser-check", "--metrics-recording-only",
                  "--disable-features=MediaRouter,OptimizationHints,Translate",
                  "--window-size=800,1000")


def chromium(station, pulse_env, profile):
    """A Selenium driver for headless Chromium whose sound goes to the
    PulseAudio server of pulse_env and which trusts the station's key."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        harness.skip("python3-selenium is not installed (scripts/install-deps)")
    if not os.path.exists("/usr/bin/chromium") or not os.path.exists("/usr/bin/chromedriver"):
        harness.skip("chromium and chromium-driver are not installed (scripts/install-deps)")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + profile)
    options.add_argument("--ignore-certificate-errors-spki-list=" + station.spki_hash())
    env = dict(pulse_env)
    env.pop("LD_PRELOAD", None)
    service = Service("/usr/bin/chromedriver", env=env)
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(PATIENCE)
    return driver


def browser_login(driver, station, name, password):
    """Logs in through the page's form; returns the text of the page it lands on."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    driver.get("https://127.0.0.1:%d/" % station.web_port)
    wait_until("the login form", lambda: driver.find_elements(By.NAME, "name"))
    driver.find_element(By.NAME, "name").send_keys(name)
    driver.find_element(By.NAME, "password").send_keys(password)
    old = driver.find_element(By.TAG_NAME, "html")
    driver.find_element(By.ID, "enter").click()

    def gone():
        try:
            old.is_enabled()
            return False
        except StaleElementReferenceException:
            return True

    def text():
        try:
            return driver.find_element(By.TAG_NAME, "body").text
        except StaleElementReferenceException:
            return None

    wait_until("the page after the form", gone)
    return wait_until("the text of the page after the form", text)
