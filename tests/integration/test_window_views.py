# SPDX-License-Identifier: GPL-3.0-or-later
"""The real marvane in its main window under Xvfb, a 1 kHz tone on its
virtual sound card: the window's title, icon, size and layout, the waterfall
with the tone's line at bin 93, the view commands, and the sound card
selection dialog.

usage: test_window_views.py MARVANE MARVANE_CLIENT
"""
# ctest: SKIP_RETURN_CODE 77
# ctest: TIMEOUT 600

import os
import socket
import sys
import unittest

import windowharness as wh

MARVANE = None
XVFB = None

GREEN = (0, 255, 0)
BLACK = (0, 0, 0)
CURSOR = (0, 0, 255)


def bright(p):
    return sum(p) >= 400


def cursor_row(view):
    """The row the waterfall's cursor line spans, or None."""
    for j, row in enumerate(view):
        if all(p == CURSOR for p in row):
            return j
    return None


def latest_line(view):
    """The waterfall's newest line, the one just below the cursor, or None
    while the cursor is on the lowest row or not there."""
    j = cursor_row(view)
    if j is None or j + 1 >= len(view):
        return None
    return view[j + 1]


def trace_only(view):
    """True when the view holds nothing but a green trace on black."""
    return all(p in (GREEN, BLACK) for row in view for p in row)


class Views(unittest.TestCase):
    def setUp(self):
        self.station = wh.Station(MARVANE, XVFB)
        self.addCleanup(self.station.close)
        self.desktop = self.station.desktop

    def waterfall_line(self):
        def probe():
            line = latest_line(self.station.view())
            return line if line and bright(line[wh.TONE_BIN]) else None
        return wh.wait_until("a waterfall line with the tone", probe)

    def test_window_is_the_stations_own(self):
        # Catches a wrong caption, a resizable window, a window size not
        # taken from the template, and a missing icon.
        window = self.station.window
        _x, _y, width, height = self.desktop.geometry(window)
        self.assertEqual((width, height), (wh.WINDOW_W, wh.WINDOW_H))
        hints = self.desktop.prop(window, "WM_NORMAL_HINTS")
        self.assertIn("minimum size: %d by %d" % (wh.WINDOW_W, wh.WINDOW_H), hints)
        self.assertIn("maximum size: %d by %d" % (wh.WINDOW_W, wh.WINDOW_H), hints)
        icon = self.desktop.prop(window, "_NET_WM_ICON")
        self.assertIn("Icon (32 x 32)", icon)
        # Template 1000 has no minimise (nor maximise) box.
        self.assertIn(wh.MOVE_AND_CLOSE_ONLY, self.desktop.prop(window, "_MOTIF_WM_HINTS"))

    def test_waterfall_shows_the_tone_at_bin_93(self):
        # Catches a view that does not reach the screen, one drawn at the
        # wrong place or scale, and colours lost on the way to the screen.
        line = self.waterfall_line()
        tone = line[wh.TONE_BIN]
        self.assertTrue(tone[2] == 255 and tone[1] > 0, "tone pixel %s is not cyan-white" % (tone,))
        for far in (20, 200, 300, 365):
            self.assertLess(sum(line[far]), 100, "bin %d: %s" % (far, line[far]))
        # The cursor spans the whole view and nothing of it lies outside:
        # the pixels just left and right of the view are the window's.
        shot = self.desktop.screenshot()
        view = self.station.view(shot)
        row = cursor_row(view)
        x, y = self.station.origin()
        self.assertNotEqual(shot.pixel(x + wh.VIEW_X - 1, y + wh.VIEW_Y + row), CURSOR)
        self.assertNotEqual(shot.pixel(x + wh.VIEW_X + wh.VIEW_W, y + wh.VIEW_Y + row), CURSOR)

    def test_uncovered_view_shows_its_picture_again(self):
        # Catches an expose that leaves the uncovered part of the view blank
        # (or draws only what the last tick changed): the picture is redrawn
        # from the raster as it stands.
        def full_column():
            # Every line but the cursor: the tone bright, bin 300 dark.
            view = self.station.view()
            row = cursor_row(view)
            lines = [view[j] for j in range(wh.VIEW_H) if j != row]
            return row is not None and all(
                bright(line[wh.TONE_BIN]) and sum(line[300]) < 100 for line in lines)
        wh.wait_until("the tone's line down the whole view", full_column)

        self.station.choose("SoundCard")
        dialog = self.desktop.wait_window(wh.DIALOG_TITLE)
        dx, dy, dw, dh = self.desktop.geometry(dialog)
        x, y = self.station.origin()
        # The dialog lies over both columns.
        self.assertLess(dx, x + wh.VIEW_X + wh.TONE_BIN)
        self.assertGreater(dx + dw, x + wh.VIEW_X + 300)
        self.assertGreater(dh, wh.VIEW_H // 2)
        self.desktop.close_box(dialog)
        self.desktop.wait_gone(wh.DIALOG_TITLE)
        # The expose came before the click that opens the menu, so once the
        # menu is drawn the uncovered view has been redrawn, or never will be
        # (but for the rows the waterfall moves through meanwhile). The menu
        # lies left of both columns.
        self.station.open_settings_menu()
        try:
            self.assertTrue(full_column())
        finally:
            self.station.close_menu()

    def test_view_commands_switch_views(self):
        # Catches menu items wired to the wrong mode, a view that keeps the
        # old picture, and a scope or spectrum not erased at each tick.
        self.waterfall_line()

        self.station.choose("Display", "Scope")

        def scope():
            view = self.station.view()
            rows = {j for j, row in enumerate(view) if GREEN in row}
            return trace_only(view) and len(rows) >= 60 and rows
        rows = wh.wait_until("the scope", scope)
        # A tone levelled towards a 15000 peak swings about 58 rows either
        # side of the centre row.
        self.assertLess(min(rows), wh.VIEW_H // 2 - 20)
        self.assertGreater(max(rows), wh.VIEW_H // 2 + 20)

        self.station.choose("Display", "Spectrum")

        def spectrum():
            view = self.station.view()
            if not trace_only(view):
                return None
            top = {i for row in view[:3] for i, p in enumerate(row) if p == GREEN}
            low = view[-1][300] == GREEN or view[-2][300] == GREEN
            return top and low and top
        top = wh.wait_until("the spectrum", spectrum)
        # Only the tone's bins reach the top of the view.
        self.assertTrue(all(abs(i - wh.TONE_BIN) <= 4 for i in top), sorted(top))

        self.station.choose("Display", "Waterfall")
        self.waterfall_line()

    def test_view_is_placed_from_the_template(self):
        # Catches the view at the wrong place or size: in the scope view the
        # black of the view is bounded by the window's grey.
        self.station.choose("Display", "Scope")
        view = wh.wait_until("the scope", lambda: (lambda v: trace_only(v) and v)(self.station.view()))
        shot = self.desktop.screenshot()
        x, y = self.station.origin()
        for j in (0, wh.VIEW_H // 4, wh.VIEW_H - 1):
            self.assertNotIn(shot.pixel(x + wh.VIEW_X - 1, y + wh.VIEW_Y + j), (BLACK, GREEN))
            self.assertNotIn(shot.pixel(x + wh.VIEW_X + wh.VIEW_W, y + wh.VIEW_Y + j), (BLACK, GREEN))
        for i in (0, wh.VIEW_W // 2, wh.VIEW_W - 1):
            self.assertNotIn(shot.pixel(x + wh.VIEW_X + i, y + wh.VIEW_Y - 1), (BLACK, GREEN))
            self.assertNotIn(shot.pixel(x + wh.VIEW_X + i, y + wh.VIEW_Y + wh.VIEW_H), (BLACK, GREEN))
        self.assertTrue(view)

    def test_status_boxes_follow_the_client(self):
        # Catches status changes lost on the way to the window thread, and
        # boxes mixed up: each box must show its own text.
        station = self.station
        station.wait_box("address", "idle")
        sock = socket.create_connection(("127.0.0.1", station.port), timeout=wh.PATIENCE)
        try:
            station.wait_box("address", "127.0.0.1")
            station.wait_box("mode", "RX")
            sock.sendall(bytes([1, 2, 3, ord("I"), 0, 5]) + b"W1AW ")
            station.wait_box("info", "W1AW")
        finally:
            sock.close()
        station.wait_box("address", "idle")
        station.wait_box("mode", " ")
        station.wait_box("info", " ")

    def test_long_status_texts_show_their_start(self):
        # Catches a box left scrolled to the end of its text: the address
        # 127.100.200.201 would show as "0.200.201". Two addresses that
        # begin alike look alike at the box's left end only when each
        # shows its start.
        station = self.station
        x, y = station.origin()
        bx, by, bw, bh = wh.STATUS_BOXES["address"]

        def left_part():
            shot = self.desktop.screenshot()
            return [[shot.pixel(x + bx + i, y + wh.MENU_BAR + by + j) for i in range(bw // 2)]
                    for j in range(bh)]

        def settled():
            # Two screenshots alike; the box is drawn and holds some text.
            a, b = left_part(), left_part()
            return a == b and any(sum(p) < 200 for row in a[3:-3] for p in row[3:]) and a

        idle = wh.wait_until("the address box", settled)

        def seen_from(address):
            sock = socket.socket()
            sock.bind((address, 0))
            wh.wait_until("a connection", lambda: sock.connect_ex(("127.0.0.1", station.port)) == 0)
            try:
                return wh.wait_until("the address shown", lambda: (lambda a: a != idle and a)(
                    settled()))
            finally:
                sock.close()

        first = seen_from("127.100.200.201")
        wh.wait_until("the address box idle again", lambda: settled() == idle)
        second = seen_from("127.100.200.2")
        self.assertEqual(first, second)

    def test_sound_card_dialog(self):
        # Catches a dialog that Escape closes, an OK that does not save the
        # choice, and a close box that saves it.
        self.station.choose("SoundCard")
        dialog = self.desktop.wait_window(wh.DIALOG_TITLE)
        _x, _y, width, height = self.desktop.geometry(dialog)
        self.assertEqual((width, height), (wh.DIALOG_W, wh.DIALOG_H))
        # Escape does nothing, so the Enter after it reaches OK, which saves
        # the preselected first devices.
        self.desktop.focus(dialog)
        self.desktop.key("Escape", "Return")
        self.desktop.wait_gone(wh.DIALOG_TITLE)
        self.assertEqual(self.station.file("scconfig.txt"), "0 SCout\n0 SCin\n")

        os.remove(self.station.path("scconfig.txt"))
        self.station.choose("SoundCard")
        dialog = self.desktop.wait_window(wh.DIALOG_TITLE)
        self.desktop.close_box(dialog)
        self.desktop.wait_gone(wh.DIALOG_TITLE)
        self.assertIsNone(self.station.file("scconfig.txt"))
        # A click in the empty part of a list keeps its selection: the first
        # devices are stored again, by number and by name.
        self.station.choose("SoundCard")
        dialog = self.desktop.wait_window(wh.DIALOG_TITLE)
        self.assertIn(wh.MOVE_AND_CLOSE_ONLY, self.desktop.prop(dialog, "_MOTIF_WM_HINTS"))
        dx, dy, _w, _h = self.desktop.geometry(dialog)
        for lx, ly, lw, lh in (wh.INPUT_LIST, wh.OUTPUT_LIST):
            self.desktop.click(dx + lx + lw // 2, dy + ly + lh - 10)
        lx, ly, lw, _lh = wh.OUTPUT_LIST
        self.desktop.click(dx + lx + lw // 2, dy + ly + 8)
        self.desktop.key("Return")
        self.desktop.wait_gone(wh.DIALOG_TITLE)
        self.assertEqual(self.station.file("scconfig.txt"), "0 SCout\n0 SCin\n")
        self.assertEqual(self.station.file("scnames.txt"), "Virtual Output\nVirtual Input\n")

        # The main window is still there and still takes commands.
        self.station.choose("Display", "Scope")
        wh.wait_until("the scope", lambda: trace_only(self.station.view()))


if __name__ == "__main__":
    MARVANE = sys.argv[1]
    XVFB = wh.Xvfb()
    wh.run_tests(XVFB)
