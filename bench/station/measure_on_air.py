# SPDX-License-Identifier: GPL-3.0-or-later
"""How long the real marvane --headless keeps the transmitter keyed and the
client slot taken when the client does not end things itself: a silent
client (default silence_seconds, 10), a client whose network vanishes while
receiving and while transmitting, and a client that stops reading. Goal:
each within 15 s. The vanished networks need a network namespace of our own
whose firewall we may set (the build's private-network) and nft; without
them they are left out.

usage: measure_on_air.py --build BUILD_DIR
"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "integration"))

import onair  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    launcher = os.path.join(build, "bin", "private-network")
    if "MARVANE_PRIVATE_NETWORK" not in os.environ and os.access(launcher, os.X_OK):
        # Again in a namespace of its own, with loopback up.
        sys.exit(subprocess.call([launcher, sys.executable, os.path.abspath(__file__),
                                  "--build", build]))
    os.environ["MARVANE_BUILD_DIR"] = build
    s = onair.station(os.path.join(build, "bin", "marvane"))
    try:
        print("silent client: keyed %.1f s, connection kept" % onair.silent_client(s))
        if onair.firewall_problem() is None:
            gone, _ = onair.vanished_client(s, transmitting=False)
            print("vanished network while receiving: slot free after %.1f s" % gone)
            gone, off = onair.vanished_client(s, transmitting=True)
            print("vanished network while transmitting: unkeyed after %.1f s, slot free "
                  "after %.1f s" % (off, gone))
        else:
            print("vanished network: not measured (%s)" % onair.firewall_problem())
        print("stopped reader: slot free after %.1f s" % onair.stopped_reader(s))
        s.stop()
    finally:
        s.close()


if __name__ == "__main__":
    main()
