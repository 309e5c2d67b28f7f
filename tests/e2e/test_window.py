"""Murmelo's window as a user sees it: what it draws, hovering, dragging, minimizing, closing."""

import time
import unittest

from harness import (BACKGROUND, CLIENT_SIZE, HELP_FILL, Desktop, MurmeloTestCase, media_picture,
                     picture_mismatches, wait_until)

# Where things stand in the client area: (x, y, width, height).
TITLE = (15, 12, 238, 33)
MINIMIZE = (276, 12, 36, 36)
CLOSE = (317, 12, 36, 36)
RECORD = (150, 101, 68, 68)
STOP = (153, 104, 62, 62)
HELP_BOX = (11, 218, 343, 91)
HELP_TEXT = (18, 225, 329, 84)

BARE_POINTS = [(5, 80), (360, 200), (100, 70), (300, 160)]
HOVER_BRIGHTEN = 30
# The software renderer's blending may round differently from ours.
BLEND_TOLERANCE = 3


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


def region(shot, rect):
    x, y, w, h = rect
    return shot.region(x, y, x + w, y + h)


def describe_mismatches(name, wrong):
    shown = ", ".join(f"({x},{y}) {seen} not {want}" for x, y, want, seen in wrong[:4])
    return f"{len(wrong)} pixels of {name} differ from the picture: {shown}"


def off_background_outside(shot, rect, margin=3):
    """Pixels in a band of margin pixels around rect that are not background."""
    x, y, w, h = rect
    wrong = []
    for yy in range(y - margin, y + h + margin):
        for xx in range(x - margin, x + w + margin):
            inside = x <= xx < x + w and y <= yy < y + h
            if not inside and shot.get(xx, yy) != BACKGROUND:
                wrong.append((xx, yy, shot.get(xx, yy)))
    return wrong


class DrawingTest(MurmeloTestCase):

    def test_background_and_help_box(self):
        shot = self.start_ready_app().screenshot()
        for point in BARE_POINTS:
            self.assertEqual(shot.get(*point), BACKGROUND, f"background at {point}")
        x, y, w, h = HELP_BOX
        tx, ty, tw, th = HELP_TEXT
        # The box's margins around the text are all fill.
        margins = [(x, y, x + w, ty), (x, y, tx, y + h), (tx + tw, y, x + w, y + h)]
        for x0, y0, x1, y1 in margins:
            count = shot.count(HELP_FILL, x0, y0, x1, y1)
            self.assertEqual(count, (x1 - x0) * (y1 - y0),
                             f"help box margin ({x0},{y0})-({x1},{y1}) not all {HELP_FILL}")
        self.assertEqual(shot.get(14, 300), HELP_FILL)
        # Just outside the box: background.
        for point in [(x - 1, y + 40), (x + w + 1, y + 40), (x + 100, y - 1), (x + 100, y + h + 1)]:
            self.assertEqual(shot.get(*point), BACKGROUND, f"background at {point}")
        # Some help text is written.
        text = region(shot, HELP_TEXT)
        self.assertNotEqual(text, bytes(HELP_FILL) * (tw * th), "the help box is empty")

    def test_pictures_stand_at_their_places(self):
        shot = self.start_ready_app().screenshot()
        # The window buttons stand faded (half alpha) until the mouse is over them.
        cases = [("title.png", TITLE, 1.0), ("brec.png", RECORD, 1.0),
                 ("bmini.png", MINIMIZE, 0.5), ("bclose.png", CLOSE, 0.5)]
        for name, rect, alpha in cases:
            with self.subTest(picture=name):
                picture = media_picture(name)
                self.assertEqual((picture.width, picture.height), rect[2:])
                self.assertNotEqual(shot.get(*centre(rect)), BACKGROUND)
                wrong = picture_mismatches(shot, picture, rect[0], rect[1], BACKGROUND,
                                           alpha_scale=alpha, tolerance=BLEND_TOLERANCE)
                self.assertFalse(wrong, describe_mismatches(name, wrong))
                self.assertEqual(off_background_outside(shot, rect)[:5], [],
                                 f"{name} spills out of {rect}")


class HoverTest(MurmeloTestCase):

    def test_record_button_brightens_and_help_follows_the_mouse(self):
        app = self.start_ready_app()
        record_centre = centre(RECORD)
        first = app.screenshot()
        idle = first.get(*record_centre)
        brightened = tuple(min(255, c + HOVER_BRIGHTEN) for c in idle)
        self.assertNotEqual(idle, brightened, "the record button's centre is already white")

        app.move_mouse(40, 28)
        over_title = app.wait_picture(
            lambda shot: region(shot, HELP_TEXT) != region(first, HELP_TEXT),
            what="the help line to change over the title")
        help_title = region(over_title, HELP_TEXT)
        self.assertEqual(over_title.get(*record_centre), idle)

        app.move_mouse(5, 80)
        over_bare = app.wait_picture(lambda shot: region(shot, HELP_TEXT) != help_title,
                                     what="the help line to change over bare background")
        help_bare = region(over_bare, HELP_TEXT)
        self.assertEqual(over_bare.get(*record_centre), idle)

        app.move_mouse(*record_centre)
        over_record = app.wait_pixel(*record_centre, brightened, tolerance=1)
        # Over the record button and over bare background the help says the same.
        self.assertEqual(region(over_record, HELP_TEXT), help_bare)
        wrong = picture_mismatches(over_record, media_picture("brec.png"), RECORD[0], RECORD[1],
                                   BACKGROUND, brighten=HOVER_BRIGHTEN, tolerance=BLEND_TOLERANCE)
        self.assertFalse(wrong, describe_mismatches("hovered brec.png", wrong))

        app.move_mouse(5, 80)
        app.wait_pixel(*record_centre, idle, tolerance=1)

    def test_window_buttons_turn_solid_under_the_mouse(self):
        app = self.start_ready_app()
        for name, rect in [("bmini.png", MINIMIZE), ("bclose.png", CLOSE)]:
            with self.subTest(picture=name):
                point = centre(rect)
                faded = app.screenshot().get(*point)
                app.move_mouse(*point)
                solid_shot = app.wait_picture(lambda shot: shot.get(*point) != faded,
                                              what=f"{name} to change under the mouse")
                solid = solid_shot.get(*point)
                # Faded is the solid colour blended half-way with the background.
                halfway = tuple((s + b) / 2 for s, b in zip(solid, BACKGROUND))
                for got, want in zip(faded, halfway):
                    self.assertAlmostEqual(got, want, delta=BLEND_TOLERANCE,
                                           msg=f"faded {faded}, solid {solid}")
                wrong = picture_mismatches(solid_shot, media_picture(name), rect[0], rect[1],
                                           BACKGROUND, tolerance=BLEND_TOLERANCE)
                self.assertFalse(wrong, describe_mismatches(f"solid {name}", wrong))
                app.move_mouse(5, 80)
                app.wait_pixel(*point, faded, tolerance=1)


class DragTest(MurmeloTestCase):

    TITLE_POINT = (40, 28)
    BARE_POINT = (5, 80)

    def setUp(self):
        super().setUp()
        self.app = self.start_ready_app()
        # Learn the help line over the title and over bare background: a drag waits for it
        # before pressing, to know that the program has seen the mouse arrive.
        initial = region(self.app.screenshot(), HELP_TEXT)
        self.help = {}
        self.app.move_mouse(*self.TITLE_POINT)
        self.help["title"] = region(self.app.wait_picture(
            lambda shot: region(shot, HELP_TEXT) != initial,
            what="the help line to change over the title"), HELP_TEXT)
        self.app.move_mouse(*self.BARE_POINT)
        self.help["bare"] = region(self.app.wait_picture(
            lambda shot: region(shot, HELP_TEXT) != self.help["title"],
            what="the help line to change over bare background"), HELP_TEXT)
        self.over = "bare"

    def _hover(self, point, kind):
        self.app.move_mouse(*point)
        self.app.wait_picture(lambda shot: region(shot, HELP_TEXT) == self.help[kind],
                              what=f"the help line for the {kind} at {point}")
        self.over = kind

    def _settle_at(self, x, y):
        """Brings the mouse to (x, y) and waits until the program has handled it there."""
        tx, ty, tw, th = TITLE
        kind = "title" if tx <= x < tx + tw and ty <= y < ty + th else "bare"
        if kind == self.over:
            # Go by the other kind of place first, so that the arrival shows.
            other = "bare" if kind == "title" else "title"
            self._hover(self.BARE_POINT if other == "bare" else self.TITLE_POINT, other)
        self._hover((x, y), kind)

    def _drag_and_check(self, x, y, dx, dy):
        app = self.app
        self._settle_at(x, y)
        frame_before = app.frame_geometry()
        client_before = app.client_origin()
        start, end = app.drag(x, y, dx, dy, steps=6)
        moved = (end[0] - start[0], end[1] - start[1])
        self.assertEqual(moved, (dx, dy), "the pointer did not move as asked")
        expected = (frame_before["x"] + dx, frame_before["y"] + dy)
        wait_until(lambda: (app.frame_geometry()["x"], app.frame_geometry()["y"]) == expected, 5,
                   lambda: f"the frame to move from {frame_before} to {expected}; it is at "
                           f"{app.frame_geometry()}")
        client_after = app.client_origin()
        self.assertEqual((client_after[0] - client_before[0], client_after[1] - client_before[1]),
                         (dx, dy))
        # Moved, not resized. (The frame itself may lose its resize handle at the first move,
        # as the window manager takes in the fixed size.)
        client = app.client_geometry()
        self.assertEqual((client["width"], client["height"]), CLIENT_SIZE)

    def test_drag_by_title_and_by_background_follows_the_cursor(self):
        self._drag_and_check(40, 28, 61, 47)
        self._drag_and_check(5, 80, -37, -23)
        self._drag_and_check(360, 200, 13, -5)
        self._drag_and_check(200, 20, -90, 120)

    def test_drag_stays_exact_while_the_window_manager_lags(self):
        app, desktop = self.app, self.desktop
        self._settle_at(*self.TITLE_POINT)
        frame_before = app.frame_geometry()
        start = desktop.pointer()
        desktop.button_down()
        try:
            # First step with the window manager answering: the press has reached the program.
            desktop.move_pointer(start[0] + 10, start[1] + 5)
            wait_until(lambda: app.frame_geometry()["x"] == frame_before["x"] + 10, 5,
                       lambda: f"the first drag step to move the frame by 10 "
                               f"({frame_before} -> {app.frame_geometry()})")
            # The rest while the window manager lags behind the program's move requests.
            with desktop.window_manager_paused():
                for i in range(2, 7):
                    desktop.move_pointer(start[0] + 10 * i, start[1] + 5 * i)
                    time.sleep(0.05)
                time.sleep(0.3)
        finally:
            desktop.button_up()
        expected = (frame_before["x"] + 60, frame_before["y"] + 30)
        wait_until(lambda: (app.frame_geometry()["x"], app.frame_geometry()["y"]) == expected, 5,
                   lambda: f"the frame to follow the cursor by (60, 30) to {expected}; it moved "
                           f"to {app.frame_geometry()} from {frame_before}")

    def test_press_on_record_button_never_drags(self):
        app = self.app
        frame_before = app.frame_geometry()
        start, end = app.drag(*centre(RECORD), 50, 40, steps=5)
        self.assertEqual((end[0] - start[0], end[1] - start[1]), (50, 40))
        # The press was a click on the record button: the stop button stands in its place.
        app.wait_picture_at("bstop.png", *STOP[:2])
        # Hovering the stop button brightens it once the program has handled every move
        # before, the drag's included.
        app.move_mouse(*centre(STOP))
        app.wait_picture_at("bstop.png", *STOP[:2], brighten=HOVER_BRIGHTEN)
        frame_after = app.frame_geometry()
        self.assertEqual((frame_after["x"], frame_after["y"]), (frame_before["x"], frame_before["y"]))


class MinimizeCloseTest(MurmeloTestCase):

    def test_minimize_then_restore_redraws(self):
        app = self.start_ready_app()
        before = app.screenshot()
        app.click(*centre(MINIMIZE))
        wait_until(lambda: self.desktop.wm_state(app.client) == "Iconic", 5,
                   lambda: f"WM_STATE Iconic, it is {self.desktop.wm_state(app.client)}")
        self.assertTrue(app.running())
        # Keep the mouse off the window so that no hover redraws it after the restore.
        self.desktop.move_pointer(*Desktop.PARKED_POINTER)
        frame = app.frame_geometry()
        self.assertFalse(frame["x"] <= Desktop.PARKED_POINTER[0] < frame["x"] + frame["width"]
                         and frame["y"] <= Desktop.PARKED_POINTER[1] < frame["y"] + frame["height"])
        self.desktop.tool("xdotool", "windowactivate", hex(app.client), check=False)
        wait_until(lambda: self.desktop.wm_state(app.client) == "Normal"
                   and self.desktop.map_state(app.client) == "IsViewable", 5,
                   "the window to be restored")
        shot = app.wait_pixel(5, 80, BACKGROUND, timeout=5)
        for point in BARE_POINTS:
            self.assertEqual(shot.get(*point), BACKGROUND, f"background at {point} after restore")
        self.assertEqual(shot.get(14, 300), HELP_FILL)
        for name, rect in [("title", TITLE), ("record button", RECORD)]:
            self.assertEqual(region(shot, rect), region(before, rect),
                             f"the {name} is not drawn as before the minimize")

    def test_close_button_ends_the_program(self):
        app = self.start_ready_app()
        app.click(*centre(CLOSE))
        self.assertEqual(app.wait_exit(), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(self.desktop.find_windows("Murmelo"), [])


if __name__ == "__main__":
    unittest.main()
