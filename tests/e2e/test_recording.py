"""Recording, playing back and recording again, heard and seen from outside: the WAV file the
microphone's sound ends up in, what reaches the speaker, the screens and the pulsing background."""

import os
import stat
import time
import unittest

from audio_checks import (CLOSE_POINT, HEADER_BYTES, PLAY_POINT, RATE, RECORDED_SCREEN,
                          STOP_BUTTON, STOP_POINT, amplified, describe_misfit, find_sequence,
                          first_loud, logged_path, make_clip, read_recording,
                          read_wav_samples, record_clip, samples_of, start_recording,
                          stop_recording, tool_env, wraps)
from harness import BACKGROUND, MurmeloTestCase, run_tool, wait_until

SOUND_STOPPED_AT_END = "SoundStopReason: 0\n"
SOUND_STOPPED_BY_USER = "SoundStopReason: 1\n"
# One row: a screenshot may catch the window half redrawn, in bands of rows.
BARE_POINTS = [(5, 80), (362, 80)]
PULSE_RED = (255, 0, 0)
PULSE_AT_400_MS = (228, 127, 56)
PULSE_HALF_PERIOD = 0.8  # seconds from the resting colour to red
# How late the program may see a click, and draw the first pulse.
CLICK_LATENCY = 0.35


def pulse_colour(progress):
    """The background at progress 0..1 of the way from its resting colour to full red."""
    return tuple(int(red * progress + rest * (1 - progress)) for red, rest in zip(PULSE_RED, BACKGROUND))


def pulse_times(colour, cycles=2):
    """The seconds into a recording at which the background has this colour."""
    way = (BACKGROUND[1] - colour[1]) / BACKGROUND[1] * PULSE_HALF_PERIOD
    return [start + t for start in (2 * PULSE_HALF_PERIOD * k for k in range(cycles))
            for t in (way, 2 * PULSE_HALF_PERIOD - way)]


def on_pulse_line(colour, tolerance=3):
    """Whether colour lies between the resting colour and red (green tells how far)."""
    progress = (BACKGROUND[1] - colour[1]) / BACKGROUND[1]
    expected = pulse_colour(progress)
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


class RecordingTestCase(MurmeloTestCase):

    def setUp(self):
        super().setUp()
        self.clip = make_clip(self.tmp)
        self.clip_samples, rate = read_wav_samples(self.clip)
        self.assertEqual(rate, RATE)
        self.loud_at = first_loud(self.clip_samples)
        self.expected = amplified(self.clip_samples)

    def assert_recorded_screen(self, app, timeout=5.0):
        for name, x, y in RECORDED_SCREEN:
            app.wait_picture_at(name, x, y, background=BACKGROUND, timeout=timeout)

    def locate_clip(self, samples, where):
        """Offset of the whole amplified clip in samples; fails with the first difference."""
        offset = find_sequence(samples, self.expected, self.loud_at)
        if offset is None:
            self.fail(f"the amplified clip ({len(self.expected)} samples) is not found in "
                      f"{where}: {describe_misfit(samples, self.expected, self.loud_at)}")
        return offset


class RecordTest(RecordingTestCase):

    def test_recording_holds_the_clip_times_ten_in_a_private_wav(self):
        # The clip is loud enough that amplifying it wraps around: that must be kept too.
        self.assertGreater(wraps(self.clip_samples), 100)
        app = self.start_ready_app()
        wav = record_clip(app, self.pulse, self.clip)
        log = app.log()
        header, samples, size = read_recording(wav)

        self.assertEqual(os.path.dirname(wav), app.messages_dir)
        self.assertRegex(os.path.basename(wav), r"^Temp_[A-Z][a-z]{2}_[A-Z][a-z]{2}_\d\d_\d{6}_\d{4}\.wav$")
        self.assertEqual(stat.S_IMODE(os.stat(wav).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(app.messages_dir).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(app.messages_dir)).st_mode), 0o700)

        data_len = size - HEADER_BYTES
        self.assertEqual(header.as_dict(), {
            "riff": b"RIFF", "total_len": data_len + 36, "wave": b"WAVE", "fmt": b"fmt ",
            "fmt_len": 16, "format": 1, "channels": 1, "rate": 16000, "byte_rate": 32000,
            "block_align": 2, "bits": 16, "data": b"data", "data_len": data_len})
        self.assertEqual(data_len % 2, 0)
        self.assertIn(f"sizeBytes: {data_len} ({data_len // 2},2)\n", log)
        self.assertEqual(logged_path(log, "outFile"),
                         os.path.join(app.messages_dir, os.path.basename(wav)
                                      .replace("Temp_", "Message_").replace(".wav", ".mp2")))

        env = tool_env(self.tmp)
        soxi = {flag: run_tool(["soxi", flag, wav], env).stdout.strip()
                for flag in ("-t", "-r", "-c", "-b", "-s", "-e")}
        self.assertEqual(soxi, {"-t": "wav", "-r": "16000", "-c": "1", "-b": "16",
                                "-s": str(data_len // 2), "-e": "Signed Integer PCM"})

        offset = self.locate_clip(samples, "the recording")
        # Silence on both sides of the clip: the recording started before it and ended after.
        self.assertGreater(offset, 0)
        end = offset + len(self.expected)
        self.assertGreater(len(samples), end)
        self.assertEqual(set(samples[end:]), {0}, "something other than silence after the clip")
        self.assertEqual(set(samples[:offset]), {0}, "something other than silence before the clip")


class PlaybackTest(RecordingTestCase):

    def record(self):
        app = self.start_ready_app()
        wav = record_clip(app, self.pulse, self.clip)
        app.wait_picture_at(*RECORDED_SCREEN[1], background=BACKGROUND)
        _, samples, _ = read_recording(wav)
        return app, wav, samples

    def start_listening(self):
        capture = self.pulse.start_speaker_capture()
        # The speaker's monitor delivers silence all the time: data means it is listening.
        wait_until(lambda: os.path.getsize(capture.output_path) > 0, 5, "the speaker capture to start")
        return capture

    def test_playback_plays_the_recording_and_returns_by_itself(self):
        app, wav, recorded = self.record()
        capture = self.start_listening()
        app.click(*PLAY_POINT)
        started = time.monotonic()
        app.wait_log("Started Playing\n")
        # While it plays, the stop button stands alone on the resting background.
        app.wait_picture_at(*STOP_BUTTON, background=BACKGROUND)
        self.assertEqual(app.screenshot().get(*BARE_POINTS[0]), BACKGROUND)
        duration = len(recorded) / RATE
        log = app.wait_log(SOUND_STOPPED_AT_END, timeout=duration + 5)
        elapsed = time.monotonic() - started
        self.assertNotIn(SOUND_STOPPED_BY_USER, log)
        self.assertGreater(elapsed, duration - 0.2, "playback ended before the sound could be heard")
        self.assert_recorded_screen(app)
        # The speaker is heard a little later than the program hands over its last buffer.
        time.sleep(0.3)
        heard = samples_of(self.pulse.stop_speaker_capture(capture))

        clip_at = self.locate_clip(heard, "what the speaker played")
        # The whole file, silence included, sample for sample.
        recorded_clip_at = self.locate_clip(recorded, "the recording")
        start = clip_at - recorded_clip_at
        self.assertGreaterEqual(start, 0, "the speaker capture began after the playback")
        played = heard[start:start + len(recorded)]
        self.assertEqual(len(played), len(recorded), "the end of the recording was not played")
        wrong = [i for i in range(len(recorded)) if played[i] != recorded[i]]
        self.assertEqual(wrong[:5], [], f"{len(wrong)} samples differ from the file")
        self.assertTrue(app.running())
        self.assertTrue(os.path.exists(wav))

    def test_stop_during_playback_cuts_the_sound_and_returns(self):
        app, wav, recorded = self.record()
        recorded_clip_at = self.locate_clip(recorded, "the recording")
        capture = self.start_listening()
        app.click(*PLAY_POINT)
        app.wait_log("Started Playing\n")
        app.wait_picture_at(*STOP_BUTTON, background=BACKGROUND)
        # Far enough in that the speech has begun, well before its end.
        played_for = recorded_clip_at / RATE + 0.6
        self.assertLess(played_for + 0.5, len(recorded) / RATE)
        time.sleep(played_for)
        clicked = time.monotonic()
        app.click(*STOP_POINT)
        log = app.wait_log(SOUND_STOPPED_BY_USER, timeout=5)
        self.assertLess(time.monotonic() - clicked, 2.0)
        self.assertNotIn(SOUND_STOPPED_AT_END, log)
        self.assert_recorded_screen(app)
        time.sleep(0.5)
        heard = samples_of(self.pulse.stop_speaker_capture(capture))
        self.assertNotIn(SOUND_STOPPED_AT_END, app.log())

        # The speech began to play, and was cut off before its end.
        beginning = self.expected[:self.loud_at + RATE // 5]
        self.assertIsNotNone(find_sequence(heard, beginning, self.loud_at),
                             "the beginning of the speech was not played")
        self.assertIsNone(find_sequence(heard, self.expected, self.loud_at),
                          "the whole speech was played although stop was clicked")
        self.assertTrue(app.running())


class RecordAgainTest(RecordingTestCase):

    def test_record_again_replaces_the_file_and_closing_removes_it(self):
        app = self.start_ready_app()
        first_started = time.monotonic()
        first = record_clip(app, self.pulse, None, tail_seconds=0.2)
        self.assertTrue(os.path.exists(first))
        self.assert_recorded_screen(app)
        # The file names carry the time to the second.
        time.sleep(max(0.0, 1.2 - (time.monotonic() - first_started)))

        second = start_recording(app, clicks_before=1)
        self.assertNotEqual(second, first)
        self.assertFalse(os.path.exists(first), "record again left the previous recording")
        self.pulse.feed(self.clip)
        time.sleep(0.4)
        stop_recording(app, second)
        self.assertEqual(app.messages(), [os.path.basename(second)])
        _, samples, _ = read_recording(second)
        self.locate_clip(samples, "the second recording")

        log = app.log()
        self.assertEqual(log.count("inFile: "), 2)
        # The folders are made at the first recording and found at the second.
        mkdirs = [line for line in log.splitlines() if line.startswith("mkdir:errno: ")]
        self.assertEqual(mkdirs, ["mkdir:errno: 0"] * 2 + ["mkdir:errno: 17"] * 2)

        self.assert_recorded_screen(app)
        app.click(*CLOSE_POINT)
        self.assertEqual(app.wait_exit(), 0, app.state())
        self.assertFalse(os.path.exists(second), "closing left the recording behind")
        self.assertEqual(app.messages(), [])
        self.assert_orderly_end(app.log())


class PulseTest(RecordingTestCase):

    def test_background_pulses_to_red_while_recording_and_rests_after(self):
        app = self.start_ready_app()
        shot = app.screenshot()
        for point in BARE_POINTS:
            self.assertEqual(shot.get(*point), BACKGROUND)
        app.move_mouse(*STOP_POINT)
        clicked = time.monotonic()
        app.desktop.click_button(1)
        seen = []  # (seconds after the click: screenshot begun, its middle, ended; colour)
        while time.monotonic() - clicked < 1.9:
            before = time.monotonic() - clicked
            shot = app.screenshot()
            after = time.monotonic() - clicked
            colours = [shot.get(*p) for p in BARE_POINTS]
            self.assertEqual(colours[0], colours[1], f"the background is not even at {after:.2f} s")
            seen.append((before, (before + after) / 2, after, colours[0]))
        report = ", ".join(f"{t:.2f}s {c}" for _, t, _, c in seen)

        self.assertGreater(len(seen), 12, f"too few screenshots to follow the pulse: {report}")
        off_line = [(t, c) for _, t, _, c in seen if not on_pulse_line(c)]
        self.assertEqual(off_line, [], f"colours between the resting colour and red only: {report}")
        near_400 = [(t, c) for _, t, _, c in seen if t < 1.0 and abs(c[1] - PULSE_AT_400_MS[1]) <= 25]
        self.assertTrue(near_400, f"no colour near {PULSE_AT_400_MS} in the first second: {report}")
        red = [(t, c) for _, t, _, c in seen if 0.5 <= t <= 1.15 and c[0] >= 240 and c[1] <= 30]
        self.assertTrue(red, f"the pulse did not go through red around 0.8 s: {report}")
        back = [(t, c) for _, t, _, c in seen if t >= 1.3 and c[1] >= 170]
        self.assertTrue(back, f"the pulse did not turn back towards green by 1.6 s: {report}")
        # Green tells how far into its period the pulse is: each colour must fit the time since
        # the click, less at most a moment for the click to arrive.
        off_time = [(round(before, 2), round(after, 2), c) for before, _, after, c in seen
                    if not any(before - CLICK_LATENCY <= t <= after + 0.02
                               for t in pulse_times(c))]
        self.assertEqual(off_time, [], f"colours that do not fit the time: {report}")
        first_half = [c[1] for _, t, _, c in seen if t < 0.75 and c != BACKGROUND]
        self.assertEqual(first_half, sorted(first_half, reverse=True), report)

        app.click(*STOP_POINT)
        app.wait_log("sizeBytes: ")
        shot = app.wait_pixel(*BARE_POINTS[0], BACKGROUND, timeout=3)
        self.assertEqual(shot.get(*BARE_POINTS[1]), BACKGROUND)
        # And it stays at rest.
        time.sleep(0.5)
        shot = app.screenshot()
        self.assertEqual([shot.get(*p) for p in BARE_POINTS], [BACKGROUND] * 2)


if __name__ == "__main__":
    unittest.main()
