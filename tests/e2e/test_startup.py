"""Starting and ending Murmelo: its window, its log, signals, and start-up failures."""

import os
import signal
import unittest

from harness import (CLIENT_SIZE, WINDOW_CLASS, WINDOW_NAME, MurmeloTestCase, tail, wait_until)

NO_DISPLAY_MESSAGE = "Murmelo needs a graphical display (X11) to run."
ENGINE_ERROR = "Error: The sound engine could not be created.\n"
RECORDER_ERROR = "Error: The sound recorder could not be created.\n"


def unused_display():
    """A display number with no X server behind it."""
    for number in range(900, 1000):
        if not (os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}")):
            return f":{number}"
    raise AssertionError("no free display number between 900 and 999")


class WindowIdentityTest(MurmeloTestCase):

    def test_window_has_size_caption_class_pid_and_fixed_size(self):
        app = self.start_app()
        client, frame = app.wait_window(require_class=False)
        desktop = self.desktop
        info = desktop.window_info(client)
        self.assertEqual((info["width"], info["height"]), CLIENT_SIZE)
        self.assertEqual(desktop.wm_name(client), WINDOW_NAME)
        # The class and the PID are set a moment after the caption.
        wait_until(lambda: desktop.wm_class(client) == WINDOW_CLASS, 5,
                   lambda: f"WM_CLASS {WINDOW_CLASS}, it is {desktop.wm_class(client)}")
        self.assertEqual(desktop.net_wm_pid(client), app.pid)
        hints = desktop.size_hints(client)
        self.assertEqual(hints.get("minimum"), CLIENT_SIZE, f"WM_NORMAL_HINTS: {hints}")
        self.assertEqual(hints.get("maximum"), CLIENT_SIZE, f"WM_NORMAL_HINTS: {hints}")
        self.assertNotEqual(frame, client, "the window manager should have framed the window")
        self.assertEqual(desktop.wm_state(client), "Normal")
        self.assertEqual(app.find_error_boxes(), [])


class EndingTest(MurmeloTestCase):

    def test_close_through_window_manager_ends_with_fin(self):
        app = self.start_ready_app()
        app.request_close()
        self.assertEqual(app.wait_exit(), 0)
        log = app.log()
        self.assertTrue(log.endswith("Fin.\n"), f"log:\n{tail(log)}")
        self.assertEqual(log.count("Fin.\n"), 1, f"log:\n{tail(log)}")
        self.assertEqual(self.desktop.find_windows(WINDOW_NAME), [])

    def _end_by_signal(self, sig):
        app = self.start_ready_app()
        app.signal(sig)
        self.assertEqual(app.wait_exit(), 0, app.state())
        self.assert_orderly_end(app.log())
        self.assertEqual(self.desktop.find_windows(WINDOW_NAME), [])

    def test_sigterm_ends_in_order(self):
        self._end_by_signal(signal.SIGTERM)

    def test_sigint_ends_in_order(self):
        self._end_by_signal(signal.SIGINT)

    def test_sighup_ends_in_order(self):
        self._end_by_signal(signal.SIGHUP)

    def test_second_run_appends_to_the_log(self):
        first = self.start_ready_app()
        with open(first.log_path, "a") as f:
            f.write("a line from before\n")
        before = first.log()
        first.signal(signal.SIGTERM)
        self.assertEqual(first.wait_exit(), 0)
        first_log = first.log()
        self.assertTrue(first_log.startswith(before), "the running program truncated its log")
        self.assertTrue(first_log.endswith("Fin.\n"), f"log:\n{tail(first_log)}")

        second = self.start_app(cwd=first.cwd)
        second.wait_window()
        second.request_close()
        self.assertEqual(second.wait_exit(), 0)
        second_log = second.log()
        self.assertTrue(second_log.startswith(first_log),
                        f"the second run did not keep the first run's log:\n{tail(second_log)}")
        added = second_log[len(first_log):]
        self.assertTrue(added.endswith("Fin.\n"), f"second run's lines:\n{added}")
        self.assertGreater(len(added.splitlines()), 1, f"second run's lines:\n{added}")
        # Both runs start alike.
        self.assertEqual(added.splitlines()[0], first_log.splitlines()[0])
        self.assertEqual(second_log.count("Fin.\n"), 2)


class NoDisplayTest(MurmeloTestCase):
    with_pulse = False

    def test_without_display_variable(self):
        app = self.start_app(env={"DISPLAY": None})
        self.assertEqual(app.wait_exit(), 1, app.state())
        self.assertIn(NO_DISPLAY_MESSAGE, app.stderr().splitlines(), app.state())

    def test_with_unreachable_display(self):
        app = self.start_app(env={"DISPLAY": unused_display()})
        self.assertEqual(app.wait_exit(), 1, app.state())
        self.assertIn(NO_DISPLAY_MESSAGE, app.stderr().splitlines(), app.state())


class NoSoundDeviceTest(MurmeloTestCase):

    def test_two_messages_in_order_then_orderly_end(self):
        app = self.start_app(env={"SDL_AUDIODRIVER": "nonexistent"})
        first = app.wait_error_boxes(1, timeout=15)[0]
        log = app.wait_log(ENGINE_ERROR)
        self.assertNotIn(RECORDER_ERROR, log, "the second message came before the first was closed")
        app.dismiss_box(first)

        second = app.wait_error_boxes(1)[0]
        log = app.wait_log(RECORDER_ERROR)
        # The program window is hidden once the first message has been closed.
        self.assertEqual(self.desktop.find_windows(WINDOW_NAME), [],
                         "the main window is still shown behind the second message")
        app.dismiss_box(second)

        self.assertEqual(app.wait_exit(), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(log.count(ENGINE_ERROR), 1, log)
        self.assertEqual(log.count(RECORDER_ERROR), 1, log)
        self.assertLess(log.index(ENGINE_ERROR), log.index("Closing Device...\n"))
        self.assertLess(log.index(ENGINE_ERROR), log.index(RECORDER_ERROR))
        self.assertEqual(app.find_error_boxes(), [])


if __name__ == "__main__":
    unittest.main()
