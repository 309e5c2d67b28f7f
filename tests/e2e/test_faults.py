"""Murmelo under faults: killed in the middle of a recording, ended by signals, its sound
server gone, the disk full, many quick cycles, clicks faster than it draws, and one long
recording (MURMELO_E2E_LONG=1)."""

import os
import re
import signal
import time
import unittest

from fault_tools import (BYTES_PER_SECOND, CAPTURE_CHUNK_BYTES, CLOSE_POINT, HEADER_BYTES,
                         PLAY_POINT, RECORD_AGAIN_POINT, RECORD_POINT, STOP_ONLY_POINT, STOP_POINT,
                         TEXT_DISK_ACCESS, TEXT_SAVE_FAILED, Clicker, FaultTestCase,
                         FileSizeLimitedApp, feed_microphone, log_events, park_window,
                         process_resources, recordings, replay_modes, screen_of, sox_stat,
                         uncovered_points, wait_screen, wav_header)
from harness import SYSTEM_PATH, make_tone, run_tool, tail, wait_until

LONG_RUN = os.environ.get("MURMELO_E2E_LONG") == "1"
# Quiet enough that the recorder's gain of ten does not overflow the samples.
TONE_VOLUME = 0.05
# sox's RMS amplitude (0..1) above which a stretch of a recording counts as not silent.
NOT_SILENT = 0.05
# Where a window stands clear of a message box centred on the 1024x768 screen.
PARKED_CLEAR_OF_BOXES = (0, 410)


class FaultCase(FaultTestCase):

    def tone(self, seconds, name="tone.wav"):
        return make_tone(os.path.join(self.tmp, name), seconds, volume=TONE_VOLUME)

    def assert_not_silent(self, path, *trim):
        stats = sox_stat(path, "trim", *trim)
        self.assertGreater(stats.get("RMS     amplitude", 0), NOT_SILENT,
                           f"{path} is silent in {trim}: {stats}")

    def close_and_check(self, app, clicker):
        clicker.click(*CLOSE_POINT)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        return log


class KilledRecordingTest(FaultCase):

    def test_sigkill_leaves_a_playable_wav_that_a_later_run_keeps(self):
        feed_microphone(self.pulse, self.tone(10))
        app = self.launch_ready()
        clicker = Clicker(app)
        clicked = time.monotonic()
        path = self.record(app, clicker)
        wait_until(lambda: os.path.getsize(path) >= HEADER_BYTES + BYTES_PER_SECOND, 10,
                   lambda: f"a second of sound in {path} ({os.path.getsize(path)} bytes)")
        time.sleep(max(0.0, 1.5 - (time.monotonic() - clicked)))
        app.proc.kill()
        app.wait_exit()

        total_len, data_len, size = wav_header(path)
        self.assertGreaterEqual(data_len, BYTES_PER_SECOND)
        self.assertEqual(total_len, data_len + 36)
        self.assertGreaterEqual(size, HEADER_BYTES + data_len)
        self.assertEqual(data_len % 2, 0)
        stats = sox_stat(path)
        self.assertAlmostEqual(stats["Length (seconds)"], data_len / BYTES_PER_SECOND, places=3)
        self.assertGreaterEqual(stats["Length (seconds)"], 1.0)
        # The tone reached the microphone from the start: the first second holds sound.
        self.assert_not_silent(path, "0", "1")
        with open(path, "rb") as f:
            left_behind = f.read()

        later = self.launch_ready(mail=app.mail)
        later_clicker = Clicker(later)
        own = self.record(later, later_clicker)
        self.assertNotEqual(own, path)
        self.stop_recording(later, later_clicker)
        self.close_and_check(later, later_clicker)
        self.assertFalse(os.path.exists(own), "the later run left its own recording behind")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), left_behind, "the later run changed the killed recording")


class SignalEndTest(FaultCase):
    """SIGTERM in each mode: the orderly end, and the recording deleted."""

    def _terminate(self, app, wav):
        self.assertTrue(os.path.exists(wav))
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait_exit(10), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(log.count("Error: "), 0, log)
        self.assertFalse(os.path.exists(wav), f"{wav} was left behind")
        self.assertEqual(recordings(app), [])
        self.assertEqual(self.desktop.find_windows("Murmelo"), [])

    def test_sigterm_while_recording(self):
        app = self.launch_ready()
        clicker = Clicker(app)
        wav = self.record(app, clicker)
        wait_screen(app, "stop")
        time.sleep(0.5)
        self._terminate(app, wav)

    def test_sigterm_while_playing(self):
        feed_microphone(self.pulse, self.tone(5))
        app = self.launch_ready()
        clicker = Clicker(app)
        wav = self.record(app, clicker)
        time.sleep(2.0)
        self.stop_recording(app, clicker)
        clicker.click(*PLAY_POINT)
        app.wait_log("Started Playing\n")
        time.sleep(0.3)
        self.assertNotIn("SoundStopReason", app.log(), "the playback ended too early for the test")
        self._terminate(app, wav)

    def test_sigterm_while_idle_on_the_recorded_screen(self):
        app = self.launch_ready()
        clicker = Clicker(app)
        wav = self.record(app, clicker)
        time.sleep(0.3)
        self.stop_recording(app, clicker)
        self._terminate(app, wav)


class SoundServerDeathTest(FaultCase):

    def test_server_killed_while_recording(self):
        feed_microphone(self.pulse, self.tone(10))
        app = self.launch_ready()
        clicker = Clicker(app)
        wav = self.record(app, clicker)
        time.sleep(1.2)
        self.pulse.kill()
        time.sleep(1.0)
        self.assertTrue(app.running(), app.state())
        # Still responsive: the stop click is taken and the recorded screen comes.
        started = time.monotonic()
        self.stop_recording(app, clicker)
        took = time.monotonic() - started
        print(f"\n[stop after the server died took {took:.2f} s]", flush=True)
        total_len, data_len, size = wav_header(wav)
        self.assertEqual(total_len, data_len + 36)
        self.assertGreaterEqual(data_len, BYTES_PER_SECOND, "the second before the death is lost")
        self.assertEqual(size, HEADER_BYTES + data_len)
        self.assert_not_silent(wav, "0", "1")
        after_death = sox_stat(wav, "trim", "1.5")
        print(f"[{data_len / BYTES_PER_SECOND:.2f} s recorded; RMS after the death "
              f"{after_death.get('RMS     amplitude')}]", flush=True)
        # Playing without a server: the program comes back to the recorded screen.
        plays = app.log().count("Started Playing\n")
        clicker.click(*PLAY_POINT)
        wait_until(lambda: "Playback could not be started." in app.log()
                   or "SoundStopReason:" in app.log(), 10,
                   lambda: f"the playback to fail or end.\n{app.state()}")
        wait_screen(app, "recorded")
        log = app.log()
        print(f"[play without server: {log.count('Started Playing') - plays} playback(s) started, "
              f"log:\n{tail(log, 12)}]", flush=True)
        self.assertEqual(app.find_error_boxes(), [])
        self.assertEqual(replay_modes(log_events(log)), "recorded")
        self.close_and_check(app, clicker)
        self.assertFalse(os.path.exists(wav))

    def test_server_killed_while_playing(self):
        feed_microphone(self.pulse, self.tone(10))
        app = self.launch_ready()
        clicker = Clicker(app)
        self.record(app, clicker)
        time.sleep(4.0)
        self.stop_recording(app, clicker)
        clicker.click(*PLAY_POINT)
        app.wait_log("Started Playing\n")
        wait_screen(app, "stop")
        time.sleep(0.5)
        killed = time.monotonic()
        self.pulse.kill()
        log = app.wait_log("SoundStopReason: ", timeout=10)
        ended = time.monotonic() - killed
        reason = re.findall(r"^SoundStopReason: (\d+)$", log, re.M)
        print(f"\n[playback ended {ended:.2f} s after the server died, reason {reason}]",
              flush=True)
        # The recording lasts 4 s: the end must come from the dead device, not the sound's end.
        self.assertLess(ended, 3.0)
        self.assertEqual(reason, ["0"])
        wait_screen(app, "recorded")
        self.assertEqual(app.find_error_boxes(), [])
        self.close_and_check(app, clicker)


class DiskFullTest(FaultCase):
    """A file size limit stands in for a full disk: writes past it fail with EFBIG."""

    def _record_until_full(self, park=False):
        app = self.launch(app_class=FileSizeLimitedApp)
        app.wait_window()
        wait_screen(app, "ready", timeout=10)
        clicker = park_window(app, *PARKED_CLEAR_OF_BOXES) if park else Clicker(app)
        wav = self.record(app, clicker)
        limit = FileSizeLimitedApp.limit_bytes
        # 200 kB last about 6 s.
        box = app.wait_error_boxes(1, timeout=limit / BYTES_PER_SECOND + 10)[0]
        self.assertLessEqual(os.path.getsize(wav), limit)
        app.wait_log(f"Error: {TEXT_SAVE_FAILED}\n")
        return app, clicker, wav, box

    def _end_after_box(self, app, box, wav):
        app.dismiss_box(box)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        self.assertEqual(log.count("Error: "), 1, f"log:\n{tail(log, 30)}")
        self.assertEqual(log.count(f"Error: {TEXT_SAVE_FAILED}\n"), 1)
        self.assert_orderly_end(log)
        self.assertEqual(app.find_error_boxes(), [])
        self.assertFalse(os.path.exists(wav))
        return log

    def test_one_box_then_orderly_end(self):
        app, _, wav, box = self._record_until_full()
        # The capture goes on failing while the box is up: still only this one box.
        self.assertTrue(box_stays_alone(app, 2.0), app.state())
        self._end_after_box(app, box, wav)

    def test_clicks_while_the_box_is_up_change_nothing(self):
        app, clicker, wav, box = self._record_until_full(park=True)
        before = app.log()
        points = [STOP_POINT, STOP_POINT, RECORD_AGAIN_POINT, PLAY_POINT, CLOSE_POINT]
        self.assertEqual(uncovered_points(app, box, points), points, "the box covers the window")
        for point in points:
            clicker.click(*point)
        time.sleep(0.5)
        self.assertEqual(len(app.find_error_boxes()), 1)
        self.assertEqual(replay_modes(log_events(app.log())), "recording")
        self.assertEqual(app.log().count("sizeBytes"), before.count("sizeBytes"))
        log = self._end_after_box(app, box, wav)
        # Nothing the clicks asked for happened after the box.
        self.assertEqual(log.count("inFile: "), 1, log)
        replay_modes(log_events(log))


def box_stays_alone(app, seconds):
    """True when exactly one message box shows all the time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if len(app.find_error_boxes()) != 1:
            return False
        time.sleep(0.1)
    return True


class CyclesTest(FaultCase):

    CYCLES = 100
    # Long enough that the playback is still on when the stop click comes.
    RECORD_SECONDS = 0.25

    def test_hundred_record_play_cycles_keep_screens_and_resources(self):
        app = self.launch_ready()
        clicker = Clicker(app)
        measured = {}
        started = time.monotonic()
        for cycle in range(1, self.CYCLES + 1):
            self.record(app, clicker, RECORD_POINT if cycle == 1 else RECORD_AGAIN_POINT)
            time.sleep(self.RECORD_SECONDS)
            shot = self.stop_recording(app, clicker)
            self.assertEqual(screen_of(shot, app.run_dir), "recorded")
            ends = app.log().count("SoundStopReason: ") + 1
            clicker.click(*PLAY_POINT)
            app.wait_log("Started Playing\n", count=cycle)
            clicker.click(*STOP_ONLY_POINT)
            app.wait_log("SoundStopReason: ", count=ends)
            wait_screen(app, "recorded")
            if cycle in (10, self.CYCLES):
                # Let the closed devices' threads finish before counting.
                time.sleep(0.5)
                measured[cycle] = process_resources(app.pid)
        took = time.monotonic() - started
        log = app.log()
        user_stops = log.count("SoundStopReason: 1\n")
        print(f"\n[{self.CYCLES} cycles in {took:.1f} s; {user_stops} of the playbacks stopped "
              f"by the click; fds/threads/RSS kB after 10: {measured[10]}, after "
              f"{self.CYCLES}: {measured[self.CYCLES]}]", flush=True)
        self.assertEqual(replay_modes(log_events(log)), "recorded")
        self.assertEqual(log.count("inFile: "), self.CYCLES)
        self.assertEqual(log.count("Started Playing\n"), self.CYCLES)
        self.assertEqual(log.count("SoundStopReason: "), self.CYCLES)
        self.assertGreater(user_stops, self.CYCLES // 2, "few playbacks were stopped by the click")
        self.assertEqual(log.count("Error: "), 0)
        # Each new recording replaced the one before.
        self.assertEqual(len(recordings(app)), 1, recordings(app))
        fds10, threads10, rss10 = measured[10]
        fds, threads, rss = measured[self.CYCLES]
        self.assertEqual(fds, fds10, "open descriptors grew")
        self.assertEqual(threads, threads10, "threads grew")
        if sanitized(app.executable):
            # AddressSanitizer keeps freed memory in quarantine, so resident memory grows by
            # design; its leak check at exit (close_and_check wants exit status 0) stands in.
            print("[sanitized build: resident memory not compared]", flush=True)
        else:
            self.assertLess(rss - rss10, 2048, "resident memory grew by 2 MB or more")
        self.close_and_check(app, clicker)
        self.assertEqual(recordings(app), [])


class QuickClicksTest(FaultCase):

    def test_five_clicks_on_record_within_100_ms(self):
        app = self.launch_ready()
        clicker = Clicker(app)
        clicker.click(*RECORD_POINT, repeat=5, delay_ms=20)
        # Every click hits a button (record, stop, play, stop or play again, ...): five
        # changes made by clicks, whatever ended by itself in between.
        def settled():
            events = log_events(app.log())
            by_clicks = [k for k, line in events
                         if k in ("record", "stored", "play", "no-play")
                         or line == "SoundStopReason: 1"]
            mode = replay_modes(events)
            return len(by_clicks) >= 5 and mode != "playing" and (events, mode)

        events, mode = wait_until(settled, 10, lambda: f"five clicks to be taken and any "
                                  f"playback to end.\n{app.state()}")
        time.sleep(0.5)
        log = app.log()
        self.assertEqual(log_events(log), events, "more happened than five clicks asked for")
        self.assertEqual(log.count("inFile: "), 1, log)
        self.assertEqual(len(recordings(app)), 1, recordings(app))
        self.assertEqual(mode, "recorded", log)
        wait_screen(app, "recorded")
        self.assertEqual(app.find_error_boxes(), [])
        self.assertEqual(log.count("Error: "), 0)
        self.close_and_check(app, clicker)

    def test_clicks_while_a_box_is_up_change_nothing(self):
        app = self.launch_ready()
        clicker = park_window(app, *PARKED_CLEAR_OF_BOXES)
        messages = app.messages_dir
        os.makedirs(os.path.dirname(messages), exist_ok=True)
        with open(messages, "w") as f:
            f.write("a file where the message folder should be\n")
        clicker.click(*RECORD_POINT)
        box, _ = self.wait_error_box_text(app, TEXT_DISK_ACCESS)
        points = [STOP_POINT, STOP_POINT, RECORD_AGAIN_POINT, PLAY_POINT, CLOSE_POINT]
        self.assertEqual(uncovered_points(app, box, points), points, "the box covers the window")
        for point in points:
            clicker.click(*point)
        time.sleep(0.5)
        self.assertEqual(len(app.find_error_boxes()), 1, app.state())
        app.dismiss_box(box)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(log.count("Error: "), 1, log)
        self.assertEqual(log.count("inFile: "), 1, log)
        self.assertNotIn("sizeBytes", log)
        replay_modes(log_events(log))


@unittest.skipUnless(LONG_RUN, "a 10-minute recording: set MURMELO_E2E_LONG=1")
class LongRecordingTest(FaultCase):

    SECONDS = 600

    def test_ten_minute_recording_is_exact_plays_and_encodes(self):
        feed_microphone(self.pulse, self.tone(self.SECONDS + 30))
        app = self.launch_ready()
        clicker = Clicker(app)
        time.sleep(1.0)
        # Timed like the stop click: the click alone, not the wait for the program's answer.
        before_record = time.monotonic()
        clicker.click(*RECORD_POINT)
        after_record = time.monotonic()
        wav = re.findall(r"^inFile: (.*)$", app.wait_log("inFile: "), re.M)[0]
        time.sleep(self.SECONDS - (after_record - before_record))
        before_stop = time.monotonic()
        clicker.click(*STOP_POINT)
        after_stop = time.monotonic()
        app.wait_log("sizeBytes: ", timeout=20)
        wait_screen(app, "recorded")
        # The clicks take a few milliseconds from the call to the event: count from their middle.
        seconds = (before_stop + after_stop) / 2 - (before_record + after_record) / 2
        total_len, data_len, size = wav_header(wav)
        expected = BYTES_PER_SECOND * seconds
        print(f"\n[{seconds:.3f} s between the clicks: {data_len} bytes of sound, "
              f"{data_len - expected:+.0f} against the clock]", flush=True)
        self.assertEqual(size, HEADER_BYTES + data_len)
        self.assertEqual(total_len, data_len + 36)
        # The stop lets the chunk being filled arrive (up to one chunk past the click), and the
        # sound server's latency at either end adds some 100 ms more when the machine is busy
        # (+63 ms measured alone, +167 ms beside the rest of the suite).
        self.assertLessEqual(abs(data_len - expected),
                             2 * CAPTURE_CHUNK_BYTES + BYTES_PER_SECOND * 15 / 100)
        length = sox_stat(wav)["Length (seconds)"]
        self.assertAlmostEqual(length, data_len / BYTES_PER_SECOND, places=3)
        self.assert_not_silent(wav, "0", "1")
        self.assert_not_silent(wav, f"{length - 1:.3f}", "1")

        out = os.path.join(self.tmp, "long.mp2")
        env = {"PATH": SYSTEM_PATH, "HOME": self.tmp, "LANG": "C.UTF-8"}
        started = time.monotonic()
        run_tool([app.encode_script, wav, out], env, timeout=30)
        took = time.monotonic() - started
        print(f"[encode.sh took {took:.2f} s for {length:.1f} s]", flush=True)
        self.assertLess(took, 5.0)
        self.assertGreater(os.path.getsize(out), 0)
        self.close_and_check(app, clicker)


def sanitized(executable):
    """True for a build with AddressSanitizer."""
    with open(executable, "rb") as program:
        return b"__asan_init" in program.read()


if __name__ == "__main__":
    unittest.main()
