# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared helpers for the window tests: an Xvfb server of the test's own, the
real marvane in its main window with a virtual sound card playing a tone,
screenshots read from XWD dumps, input through xdotool, the WM_DELETE_WINDOW
message that a window's close box sends, and a loopback web directory on
port 80."""

import ctypes
import ctypes.util
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import RATE, tone

PATIENCE = 60.0  # seconds; bounds liveness, measures nothing
TITLE = "Marvane 1.0"
# A directory host that refuses at once: nothing listens on port 80 there, so
# the stations of tests that do not look at the directory disturb no test
# that does (those listen on 127.0.0.1:80, in a network of their own).
QUIET_URL_TXT = "127.0.0.3\n/window-tests\nT3ST\n0\n-\n"
DIALOG_TITLE = "Sound Card Selection"
CAPTURE = tone(1000.0, 8000, 2 * RATE)  # what the virtual sound card plays
TONE_BIN = 93    # 1000 Hz is bin 92.9 of 11025 / 1024 Hz

# The main window's layout in pixels (template 1000 at 6 x 13 base units,
# under a 25-pixel menu bar).
MENU_BAR = 25
VIEW_X, VIEW_Y, VIEW_W, VIEW_H = 15, MENU_BAR + 13, 366, 260
WINDOW_W, WINDOW_H = 395, 335 + MENU_BAR
DIALOG_W, DIALOG_H = 452, 189
# The dialog's lists: x, y, width, height (template 1001).
INPUT_LIST = (21, 39, 198, 102)
OUTPUT_LIST = (237, 39, 201, 102)
# _MOTIF_WM_HINTS that allow moving and closing only: functions and
# decorations set; move and close; border, title and window menu.
MOVE_AND_CLOSE_ONLY = "= 0x3, 0x24, 0x1a, 0x0, 0x0"
# The status boxes in the client area: x, y, width, height.
STATUS_BOXES = {"address": (17, 294, 69, 23), "info": (92, 294, 59, 23),
                "mode": (156, 294, 39, 23)}
# Menu titles, relative to the window.
SETTINGS_TITLE = (30, 12)
SOUND_TITLE = (95, 12)
# Item positions within their menus (counted from 1).
SETTINGS_ITEMS = {"Display": 1, "Com Port": 2, "Anounce": 3, "Exit": 4}
DISPLAY_ITEMS = {"Scope": 1, "Spectrum": 2, "Waterfall": 3}
PORT_ITEMS = {"None": 1, "Com1": 2, "Com2": 3, "Com3": 4, "Com4": 5}


skip = harness.skip


def wait_until(what, probe, timeout=PATIENCE, pause=0.1):
    """harness.wait_until with the window tests' patience."""
    return harness.wait_until(what, probe, timeout, pause)


def run_tests(xvfb):
    """Runs the test cases of the script that was started, then stops xvfb;
    exits 0 when all of them passed, else 1."""
    try:
        result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    finally:
        xvfb.stop()
    sys.exit(0 if result.wasSuccessful() else 1)


class Xvfb:
    """An X server on a free display number, stopped by stop().

    The number is named, not left to -displayfd: an X server told to choose
    one itself takes no lock file, and the abstract sockets it checks belong
    to this test's network namespace only, so X servers of two tests in
    namespaces of their own would both take :0 and share what the machine
    keeps per display number in /tmp (and under ASan, with two window tests
    at once, a client's first request went unanswered). A named display is
    locked in /tmp for the whole machine; a number in use is skipped."""

    FIRST = 20

    def __init__(self):
        if shutil.which("Xvfb") is None:
            skip("Xvfb is not installed")
        for tool in ("xdotool", "xwd", "xprop"):
            if shutil.which(tool) is None:
                skip(tool + " is not installed")
        self.log = tempfile.TemporaryFile()
        # Start where this process is likely alone, then try the next ones.
        start = self.FIRST + os.getpid() % 400
        for number in range(start, start + 100):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            if self._start(number):
                break
        else:
            self.log.seek(0)
            skip("Xvfb did not start: " + self.log.read().decode(errors="replace")[-500:])

    def _start(self, number):
        """Xvfb on :number; False (and no server) where the number is taken,
        which the server says by ending. (-displayfd would tell when it is
        ready, but a server given it takes no lock.)"""
        self.display = ":%d" % number
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        except OSError as e:
            skip("Xvfb cannot start: %s" % e)
        deadline = time.monotonic() + PATIENCE
        while self.proc.poll() is None and time.monotonic() < deadline:
            if self._accepts():
                return True
            time.sleep(0.05)
        harness.stop_process(self.proc, PATIENCE)
        return False

    def _accepts(self):
        # The abstract socket: this namespace's own server.
        path = "\0/tmp/.X11-unix/X" + self.display[1:]
        with socket.socket(socket.AF_UNIX) as s:
            try:
                s.connect(path)
                return True
            except OSError:
                return False

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def stop(self):
        harness.stop_process(self.proc, PATIENCE)
        self.log.close()


class Screenshot:
    """The root window as xwd dumps it (ZPixmap, 24 or 32 bits per pixel)."""

    def __init__(self, data):
        fields = struct.unpack(">25I", data[:100])
        (header_size, _version, pixmap_format, _depth, self.width, self.height, _xoffset,
         byte_order, _unit, _bit_order, _pad, bits_per_pixel, self.bytes_per_line,
         _visual, red_mask, green_mask, blue_mask, _bits_per_rgb, _entries, ncolors,
         *_rest) = fields
        if pixmap_format != 2 or bits_per_pixel not in (24, 32):
            raise AssertionError("unexpected XWD layout: format %d, %d bits per pixel"
                                 % (pixmap_format, bits_per_pixel))
        self.step = bits_per_pixel // 8
        self.order = "little" if byte_order == 0 else "big"
        self.masks = (red_mask, green_mask, blue_mask)
        self.shifts = tuple((m & -m).bit_length() - 1 for m in self.masks)
        self.data = data[header_size + ncolors * 12:]

    def pixel(self, x, y):
        """(red, green, blue) at x, y; black outside the screen."""
        if not (0 <= x < self.width and 0 <= y < self.height):
            return (0, 0, 0)
        at = y * self.bytes_per_line + x * self.step
        value = int.from_bytes(self.data[at:at + self.step], self.order)
        return tuple((value & m) >> s for m, s in zip(self.masks, self.shifts))


def run_x_tool(command, env, text=True):
    """Runs an X client. A busy X server refuses connections for a moment
    (EAGAIN), so a client that cannot open the display is run again."""
    for _ in range(50):
        result = subprocess.run(command, env=env, capture_output=True, text=text,
                                timeout=PATIENCE)
        err = result.stderr if text else result.stderr.decode(errors="replace")
        if result.returncode == 0 or "open display" not in err.lower():
            return result
        time.sleep(0.1)
    return result


class Desktop:
    """Input and inspection on one X display."""

    def __init__(self, xvfb):
        self.display = xvfb.display
        self.env = xvfb.env()

    def xdotool(self, *args, check=True):
        result = run_x_tool(["xdotool", *map(str, args)], self.env)
        if check and result.returncode != 0:
            raise AssertionError("xdotool %s failed: %s" % (args, result.stderr))
        return result

    def find_window(self, title):
        """The id of the visible window with this exact title, or None."""
        result = self.xdotool("search", "--onlyvisible", "--name",
                              "^" + title.replace(".", r"\.") + "$", check=False)
        ids = result.stdout.split()
        return int(ids[0]) if ids else None

    def wait_window(self, title):
        return wait_until("a window titled " + title, lambda: self.find_window(title))

    def wait_gone(self, title):
        wait_until("the window %s to go" % title, lambda: self.find_window(title) is None)

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def prop(self, window, name):
        return run_x_tool(["xprop", "-id", str(window), name], self.env).stdout

    def screenshot(self):
        result = run_x_tool(["xwd", "-root", "-silent"], self.env, text=False)
        if result.returncode != 0:
            raise AssertionError("xwd failed: " + result.stderr.decode(errors="replace"))
        return Screenshot(result.stdout)

    def click(self, x, y):
        # No --sync: it waits for a motion that never comes when the pointer
        # is already there.
        self.xdotool("mousemove", x, y, "click", 1)

    def key(self, *keys):
        self.xdotool("key", "--delay", 30, *keys)

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def close_box(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager does for the close box."""
        send_delete_window(self.display, window)


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XSelectionEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("requestor", ctypes.c_ulong), ("selection", ctypes.c_ulong),
                ("target", ctypes.c_ulong), ("property", ctypes.c_ulong),
                ("time", ctypes.c_ulong)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xclient", XClientMessageEvent),
                ("xselection", XSelectionEvent), ("pad", ctypes.c_long * 24)]


def libx11():
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    p, ul = ctypes.c_void_p, ctypes.c_ulong
    x11.XOpenDisplay.restype = p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ul
    x11.XInternAtom.argtypes = [p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [p, ul, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [p]
    x11.XCloseDisplay.argtypes = [p]
    x11.XDefaultRootWindow.restype = ul
    x11.XDefaultRootWindow.argtypes = [p]
    x11.XCreateSimpleWindow.restype = ul
    x11.XCreateSimpleWindow.argtypes = [p, ul, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                        ctypes.c_uint, ctypes.c_uint, ul, ul]
    x11.XConvertSelection.argtypes = [p, ul, ul, ul, ul, ul]
    x11.XPending.argtypes = [p]
    x11.XNextEvent.argtypes = [p, ctypes.POINTER(XEvent)]
    x11.XGetWindowProperty.argtypes = [p, ul, ul, ctypes.c_long, ctypes.c_long, ctypes.c_int, ul,
                                       ctypes.POINTER(ul), ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(ul), ctypes.POINTER(ul),
                                       ctypes.POINTER(ctypes.c_void_p)]
    x11.XFree.argtypes = [p]
    return x11


def open_display(x11, display_name):
    for _ in range(50):
        dpy = x11.XOpenDisplay(display_name.encode())
        if dpy:
            return dpy
        time.sleep(0.1)
    raise AssertionError("cannot open " + display_name)


def read_clipboard(display_name):
    """The CLIPBOARD selection's text, or None when nobody answers."""
    x11 = libx11()
    dpy = open_display(x11, display_name)
    try:
        window = x11.XCreateSimpleWindow(dpy, x11.XDefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0)
        clipboard = x11.XInternAtom(dpy, b"CLIPBOARD", 0)
        target = x11.XInternAtom(dpy, b"UTF8_STRING", 0)
        prop = x11.XInternAtom(dpy, b"MARVANE_TEST", 0)
        x11.XConvertSelection(dpy, clipboard, target, prop, window, 0)
        x11.XFlush(dpy)
        event = XEvent()
        deadline = time.monotonic() + PATIENCE
        while True:
            if x11.XPending(dpy):
                x11.XNextEvent(dpy, ctypes.byref(event))
                if event.type == 31:  # SelectionNotify
                    break
            elif time.monotonic() > deadline:
                return None
            else:
                time.sleep(0.01)
        if event.xselection.property == 0:
            return None
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        x11.XGetWindowProperty(dpy, window, prop, 0, 4096, 1, 0, ctypes.byref(kind),
                               ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(after),
                               ctypes.byref(data))
        if not data.value:
            return None
        text = ctypes.string_at(data.value, count.value).decode(errors="replace")
        x11.XFree(data)
        return text
    finally:
        x11.XCloseDisplay(dpy)


def send_delete_window(display_name, window):
    x11 = libx11()
    dpy = open_display(x11, display_name)
    try:
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        x11.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


class Station(harness.Station):
    """The real marvane with no arguments, in its window on the test's display,
    with a virtual sound card playing CAPTURE, in a temporary working
    directory of its own. files: the working directory's files over a url.txt
    of QUIET_URL_TXT; shim: as harness.Station's."""

    def __init__(self, marvane, xvfb, files=None, shim=False):
        super().__init__(marvane, files=dict({"url.txt": QUIET_URL_TXT}, **(files or {})),
                         capture=CAPTURE, shim=shim, base_env=xvfb.env(),
                         prefix="marvane-window-", patience=PATIENCE)
        self.desktop = Desktop(xvfb)
        try:
            self.window = wait_until("the main window", self._window)
        except AssertionError:
            self.close()
            raise

    def _window(self):
        if self.proc.poll() is not None:
            raise AssertionError("marvane ended with %s: %s" % (self.proc.returncode, self.dump()))
        return self.desktop.find_window(TITLE)

    def origin(self):
        x, y, _w, _h = self.desktop.geometry(self.window)
        return x, y

    # ---- menus, driven as a user would: a click on the title, then keys ----

    def open_menu(self, title):
        x, y = self.origin()
        self.desktop.focus(self.window)
        self.desktop.click(x + title[0], y + title[1])

    def choose(self, *path):
        """Picks a menu item, e.g. choose("Display", "Scope") or choose("SoundCard")."""
        if path == ("SoundCard",):
            self.open_menu(SOUND_TITLE)
            self.desktop.key("Down", "Return")
            return
        self.open_menu(SETTINGS_TITLE)
        keys = ["Down"] * SETTINGS_ITEMS[path[0]]
        if len(path) == 2:
            items = DISPLAY_ITEMS if path[0] == "Display" else PORT_ITEMS
            keys += ["Right"] + ["Down"] * (items[path[1]] - 1)
        self.desktop.key(*keys, "Return")

    def open_settings_menu(self):
        """Opens the Settings menu and waits until it is drawn; returns the
        state of its "Anounce" check box, "checked" or "clear". The menu is
        drawn after the station has handled every event that came before
        the click, and after it has redrawn what those events left damaged."""
        self.open_menu(SETTINGS_TITLE)
        x, y = self.origin()
        return wait_until("the Settings menu", lambda: self._check_box(x, y))

    def close_menu(self):
        self.desktop.key("Escape")

    def announce_checked(self):
        """The state of the "Anounce" check box, read with the Settings menu
        open; the menu is closed again."""
        try:
            return self.open_settings_menu()
        finally:
            self.close_menu()

    def _check_box(self, x, y):
        """The check box is the only white in the menu's left column: None
        while the menu is not up, else whether dark pixels lie inside it."""
        shot = self.desktop.screenshot()
        region = [(i, j) for j in range(y + MENU_BAR, y + MENU_BAR + 110)
                  for i in range(x, x + 40)]
        white = [(i, j) for i, j in region if min(shot.pixel(i, j)) >= 250]
        if len(white) < 20:
            return None
        left = min(i for i, _ in white)
        right = max(i for i, _ in white)
        top = min(j for _, j in white)
        bottom = max(j for _, j in white)
        if right - left > 20 or bottom - top > 20:
            raise AssertionError("unexpected white area in the menu: %d x %d"
                                 % (right - left + 1, bottom - top + 1))
        dark = sum(1 for i in range(left, right + 1) for j in range(top, bottom + 1)
                   if sum(shot.pixel(i, j)) < 200)
        return "checked" if dark >= 5 else "clear"

    # ---- the signal view on screen ----

    def view(self, shot=None):
        """The view's pixels as rows of (r, g, b), from a fresh screenshot."""
        shot = shot or self.desktop.screenshot()
        x, y = self.origin()
        return [[shot.pixel(x + VIEW_X + i, y + VIEW_Y + j) for i in range(VIEW_W)]
                for j in range(VIEW_H)]

    def box_text(self, box):
        """The text of a status box ("address", "info" or "mode"), read as a
        user would: click into it, select all, copy, read the clipboard."""
        bx, by, bw, bh = STATUS_BOXES[box]
        x, y = self.origin()
        self.desktop.click(x + bx + bw // 2, y + MENU_BAR + by + bh // 2)
        self.desktop.key("ctrl+a", "ctrl+c")
        return read_clipboard(self.desktop.display)

    def wait_box(self, box, text):
        wait_until("the %s box to read %r" % (box, text), lambda: self.box_text(box) == text,
                   pause=0.2)

    def close_window(self):
        """The window's close box."""
        self.desktop.close_box(self.window)

    def wait_exit(self):
        """The exit status, once marvane has ended on its own."""
        return self.stop(None)

    def close(self):
        """Kills the station if it still runs and removes its folder; fails
        on a sanitizer report in its output."""
        super().close()
        report = self.sanitizer_report()
        if report:
            raise AssertionError("sanitizer report from marvane:\n" + report[-6000:])


class Directory:
    """A web directory on 127.0.0.1:80 that answers every request and keeps
    the request lines for its own path. Its test runs in a private network
    (harness.require_private_network)."""

    def __init__(self, path):
        self.path = path
        try:
            self.server = harness.Port80Server("127.0.0.1", "answer", patience=PATIENCE)
        except PermissionError:
            skip("no permission to listen on port 80")

    def lines(self):
        firsts = (r.split(b"\n", 1)[0].decode(errors="replace").rstrip("\r")
                  for r in self.server.recorded())
        return [line for line in firsts if line.startswith("GET %s/" % self.path)]

    def wait_count(self, n):
        return wait_until("%d directory requests" % n,
                          lambda: len(self.lines()) >= n and self.lines())

    def stop(self):
        self.server.close()
