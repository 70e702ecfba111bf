# SPDX-License-Identifier: GPL-3.0-or-later
"""The station's page in real headless Chromium (kept off the network,
trusting the station's certificate by its key), its sound going to a
PulseAudio null sink: a listener is refused with a wrong password, logs in
through the form, taps, and hears the station's tone on the sink's
monitor (a tone in the middle of spectrum bin 93); the waterfall's
brightest column is that bin and the status
is shown; a second page finds the station full; a page told to do without
Opus hears the tone as 16-bit PCM.

usage: test_web_browser.py MARVANE MARVANE_CLIENT
"""

import math
import shutil
import sys
import tempfile
import time
import unittest

from harness import wait_until
from pulseharness import Pulse, PulseUnavailable
from stationharness import peak_frequency
from webharness import (TONE_BIN, WebStation, browser_login, chromium, use_debian_python,
                        write_bin_tone)

MARVANE = None
RATE = 11025

BRIGHTEST_COLUMN = """
const c = document.getElementById('waterfall');
const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
const sums = new Array(c.width).fill(0);
for (let i = 0; i < d.length; i += 4) sums[(i / 4) % c.width] += d[i] + d[i + 1] + d[i + 2];
return sums.indexOf(Math.max(...sums));
"""


class PageInChromium(unittest.TestCase):
    def setUp(self):
        try:
            self.pulse = Pulse(sinks=("speaker",))
        except PulseUnavailable as e:
            self.skipTest("no PulseAudio here: %s" % e)
        self.addCleanup(self.pulse.close)
        self.station = WebStation(MARVANE, users={"lisa": ("listener-password", True)},
                                  conf="[web]\nmax_listeners = 1\n", capture=None,
                                  prepare=write_bin_tone)
        self.frequency = TONE_BIN * RATE / 1024
        self.addCleanup(self.station.close)
        self.station.wait_web()
        profile = tempfile.mkdtemp(prefix="marvane-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        self.driver = chromium(self.station, self.pulse.env, profile)
        self.addCleanup(self.driver.quit)

    def text(self, element_id):
        return self.driver.execute_script(
            "return document.getElementById(arguments[0]).textContent", element_id)

    def listen_and_hear_the_tone(self):
        """Taps, waits for the jitter buffer to play, and checks what the
        sink heard over two seconds."""
        from selenium.webdriver.common.by import By
        self.driver.find_element(By.ID, "start").click()
        wait_until("the page to play", lambda: self.driver.execute_script(
            "return window.marvaneBuffer && window.marvaneBuffer.depthMs > 0"))
        recorder = self.pulse.record("speaker.monitor", RATE)
        time.sleep(2.5)
        recorder.stop()
        samples = recorder.samples()[RATE:RATE + 2048]
        self.assertEqual(len(samples), 2048)
        rms = math.sqrt(sum(s * s for s in samples) / len(samples))
        self.assertGreater(rms, 1000, "the sink heard (almost) nothing")
        self.assertLess(abs(peak_frequency(samples, RATE) - self.frequency), 15)

    def test_listener_hears_and_sees_the_station(self):
        st, driver = self.station, self.driver
        self.assertIn("Wrong name or password.", browser_login(driver, st, "lisa", "wrong-one"))
        st.wait_line(r'web: login of "lisa" from 127\.0\.0\.1 refused: wrong name or password')
        browser_login(driver, st, "lisa", "listener-password")
        wait_until("the page's greeting", lambda: self.text("who") == "lisa (listener)")
        self.assertEqual(self.text("codec"), "Opus")
        self.listen_and_hear_the_tone()

        self.assertEqual(driver.execute_script(BRIGHTEST_COLUMN), TONE_BIN)
        wait_until("the round trip", lambda: self.text("rtt").endswith(" ms"))
        self.assertEqual((self.text("client"), self.text("mode"), self.text("listeners")),
                         ("idle", "RX", "1"))
        self.assertRegex(self.text("buffer"), r"^\d+ ms$")

        # max_listeners is 1: a second page is told the station is full.
        first = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get("https://127.0.0.1:%d/" % st.web_port)
        wait_until("the full station's banner",
                   lambda: "The station is full (1 listeners)" in self.text("banner"))
        driver.close()
        driver.switch_to.window(first)

        # Without Opus the page asks for 16-bit PCM and hears the same tone.
        driver.get("https://127.0.0.1:%d/?codec=pcm" % st.web_port)
        wait_until("the PCM page", lambda: self.text("codec") == "16-bit PCM")
        self.listen_and_hear_the_tone()


if __name__ == "__main__":
    use_debian_python()
    MARVANE = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
