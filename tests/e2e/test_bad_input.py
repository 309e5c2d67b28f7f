"""Murmelo given bad surroundings: a broken media archive, a missing or failing encoder, no
xdg-email, awkward data folders, no sound server, and a foreign locale."""

import io
import os
import random
import re
import shutil
import stat
import time
import unittest
import zipfile

from fault_tools import (CLOSE_POINT, PLAY_POINT, RECORD_POINT, SEND_POINT,
                         TEXT_COMPRESS, TEXT_DISK_ACCESS, TEXT_ENGINE, TEXT_NO_DATA_FOLDER,
                         TEXT_NO_XDG_EMAIL, TEXT_PICTURES, TEXT_RECORDER, WAV_NAME, Clicker,
                         FaultTestCase, log_events, no_error_boxes_for, replay_modes, screen_of,
                         sox_stat, wait_screen)
from harness import (BACKGROUND, HELP_FILL, RUN_DIR, SYSTEM_PATH, HarnessError, make_temp_dir,
                     parse_mailto, remove_temp_dir, run_tool, tail, wait_until)

HELP_TEXT = (18, 225, 329, 84)
WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


class BadInputCase(FaultTestCase):

    def close_by_button(self, app):
        Clicker(app).click(*CLOSE_POINT)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(log.count("Error: "), 0, f"log:\n{tail(log, 30)}")
        return log

    def record_a_moment(self, app, clicker, seconds=0.5):
        wav = self.record(app, clicker)
        time.sleep(seconds)
        self.stop_recording(app, clicker)
        return wav


# ----------------------------------------------------------------------------------------------
# media.zip


def media_members():
    with zipfile.ZipFile(os.path.join(RUN_DIR, "media.zip")) as z:
        return [(info.filename, z.read(info)) for info in z.infolist()]


def zip_bytes(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buffer.getvalue()


def garbage(size, seed):
    return random.Random(seed).randbytes(size)


class MediaArchiveTest(BadInputCase):

    def launch_with_archive(self, content):
        """Runs a copy of the program (no installed archive to fall back on) in a folder whose
        media.zip holds content (None: no media.zip at all)."""
        cwd = os.path.join(self.tmp, "cwd")
        os.makedirs(cwd)
        if content is not None:
            with open(os.path.join(cwd, "media.zip"), "wb") as f:
                f.write(content)
        return self.launch(cwd=cwd, with_media=False, private_run_dir=True)

    def _pictures_box_then_orderly_end(self, content):
        app = self.launch_with_archive(content)
        log = self.assert_single_box_then_orderly_end(app, TEXT_PICTURES)
        self.assertIn("Picture missing: ", log)
        self.assertEqual(self.desktop.find_windows("Murmelo"), [])
        return log

    def test_missing_archive(self):
        log = self._pictures_box_then_orderly_end(None)
        # The first picture asked for is the first to be missed.
        self.assertIn("Picture missing: title.png\n", log)

    def test_empty_archive(self):
        self._pictures_box_then_orderly_end(b"")

    def test_archive_of_random_bytes(self):
        self._pictures_box_then_orderly_end(garbage(65536, 1))

    def test_archive_with_one_corrupted_picture(self):
        members = [(name, garbage(len(data), 2) if name == "brec.png" else data)
                   for name, data in media_members()]
        log = self._pictures_box_then_orderly_end(zip_bytes(members))
        self.assertIn("Picture missing: brec.png\n", log)
        self.assertEqual(log.count("Picture missing: "), 1, log)

    def test_archive_without_font_runs_with_the_built_in_font(self):
        members = [(n, d) for n, d in media_members() if n not in ("font.xml", "font0.png")]
        app = self.launch_with_archive(zip_bytes(members))
        app.wait_window()
        shot = wait_screen(app, "ready", timeout=10)
        self.assertTrue(no_error_boxes_for(app, 1.5), app.state())
        # The help line is written, in the engine's own font.
        x, y, w, h = HELP_TEXT
        self.assertEqual(shot.get(14, 300), HELP_FILL)
        self.assertLess(shot.count(HELP_FILL, x, y, x + w, y + h), w * h, "no help text is drawn")
        self.assertEqual(shot.get(5, 80), BACKGROUND)
        self.close_by_button(app)


# ----------------------------------------------------------------------------------------------
# encode.sh and xdg-email


class EncoderTest(BadInputCase):

    def _send_fails_to_compress(self, break_encoder):
        app = self.launch_ready(private_run_dir=True)
        break_encoder(app.encode_script)
        clicker = Clicker(app)
        wav = self.record_a_moment(app, clicker)
        clicker.click(*SEND_POINT)
        log = self.assert_single_box_then_orderly_end(app, TEXT_COMPRESS)
        self.assertEqual(app.mail.calls(), [], "the mail program was called without a message")
        self.assertFalse(os.path.exists(wav))
        self.assertEqual([n for n in app.messages() if n.endswith(".mp2")], [])
        return log

    def test_encoder_missing(self):
        log = self._send_fails_to_compress(os.remove)
        self.assertIn("could not be started (errno 2)", log)

    def test_encoder_without_run_bit(self):
        log = self._send_fails_to_compress(lambda path: os.chmod(path, 0o644))
        self.assertIn("could not be started (errno 13)", log)

    def test_encoder_that_fails(self):
        def failing(path):
            with open(path, "w") as f:
                f.write("#!/bin/sh\necho 'encoder broke' >&2\nexit 3\n")

        log = self._send_fails_to_compress(failing)
        self.assertIn("The encoder ended with status 3.", log)

    def test_encoder_that_succeeds_without_output(self):
        def silent(path):
            with open(path, "w") as f:
                f.write("#!/bin/sh\nexit 0\n")

        self._send_fails_to_compress(silent)


class MailProgramTest(BadInputCase):

    def test_xdg_email_missing(self):
        # The program looks for xdg-email on PATH only: with nothing on PATH it finds nothing.
        app = self.launch(env={"PATH": "/nonexistent"})
        self.assert_single_box_then_orderly_end(app, TEXT_NO_XDG_EMAIL)


# ----------------------------------------------------------------------------------------------
# Data folders


class DataFolderTest(BadInputCase):

    def _records_into(self, app, folder):
        clicker = Clicker(app)
        wav = self.record(app, clicker)
        self.assertEqual(os.path.dirname(wav), os.path.join(folder, "Murmelo", "Messages"))
        self.assertRegex(os.path.basename(wav), WAV_NAME)
        time.sleep(0.5)
        self.stop_recording(app, clicker)
        self.assertTrue(os.path.isfile(wav), wav)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(wav)).st_mode), 0o700)
        return clicker, wav

    def test_home_unset_with_absolute_data_home(self):
        data_home = os.path.join(self.tmp, "data home")
        app = self.launch_ready(env={"HOME": None, "XDG_DATA_HOME": data_home})
        _, wav = self._records_into(app, data_home)
        self.close_by_button(app)
        self.assertFalse(os.path.exists(wav))

    def test_relative_or_empty_data_home_falls_back_to_home(self):
        for value in ("relative/share", ""):
            with self.subTest(XDG_DATA_HOME=value):
                home = os.path.join(self.tmp, f"home-{len(value)}")
                os.makedirs(home)
                app = self.launch_ready(env={"HOME": home, "XDG_DATA_HOME": value})
                self._records_into(app, os.path.join(home, ".local", "share"))
                self.close_by_button(app)
                self.assertFalse(os.path.exists(os.path.join(app.cwd, "relative")))

    def test_data_home_through_a_plain_file(self):
        blocker = os.path.join(self.tmp, "a file")
        with open(blocker, "w") as f:
            f.write("not a folder\n")
        app = self.launch_ready(env={"XDG_DATA_HOME": os.path.join(blocker, "share")})
        Clicker(app).click(*RECORD_POINT)
        log = self.assert_single_box_then_orderly_end(app, TEXT_NO_DATA_FOLDER.format(20))
        self.assertNotIn("inFile: ", log)

    def test_message_folder_taken_by_a_plain_file(self):
        app = self.launch_ready()
        os.makedirs(os.path.dirname(app.messages_dir), exist_ok=True)
        with open(app.messages_dir, "w") as f:
            f.write("not a folder\n")
        Clicker(app).click(*RECORD_POINT)
        self.assert_single_box_then_orderly_end(app, TEXT_DISK_ACCESS)
        with open(app.messages_dir) as f:
            self.assertEqual(f.read(), "not a folder\n")

    def test_awkward_path_records_plays_and_sends(self):
        folder = "Nachrichten von Jürgen \"Jü\" O'Brien ñ €"
        data_home = os.path.join(self.tmp, folder, "share")
        app = self.launch(env={"XDG_DATA_HOME": data_home})
        # xdg-email looks for the mail program's desktop file under XDG_DATA_HOME, and its shell
        # code does not cope with such a name: let it find the file under XDG_DATA_DIRS.
        shutil.copytree(os.path.join(app.data_home, "applications"),
                        os.path.join(app.mail.data_dirs, "applications"))
        app.wait_window()
        wait_screen(app, "ready", timeout=10)
        clicker, wav = self._records_into(app, data_home)
        self.assertGreater(sox_stat(wav)["Length (seconds)"], 0.3)
        clicker.click(*PLAY_POINT)
        app.wait_log("SoundStopReason: 0\n", timeout=10)
        wait_screen(app, "recorded")
        clicker.click(*SEND_POINT)
        self.assertEqual(app.wait_exit(20), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertEqual(log.count("Error: "), 0, log)
        calls = app.mail.calls()
        self.assertEqual(len(calls), 1, calls)
        out_file = re.search(r"^outFile: (.*)$", log, re.M).group(1)
        self.assertTrue(out_file.startswith(data_home), out_file)
        self.assertEqual(parse_mailto(calls[0][-1]).get("attach"), [out_file])
        self.assertGreater(os.path.getsize(out_file), 0)


# ----------------------------------------------------------------------------------------------
# Sound


class NoSoundServerTest(BadInputCase):

    def test_two_sound_boxes_in_order(self):
        missing = f"unix:{os.path.join(self.tmp, 'no-such-server', 'native')}"
        for driver in (None, "pulseaudio"):
            with self.subTest(SDL_AUDIODRIVER=driver):
                app = self.launch(env={"PULSE_SERVER": missing, "SDL_AUDIODRIVER": driver})
                first = app.wait_error_boxes(1, timeout=15)[0]
                log = app.wait_log(f"Error: {TEXT_ENGINE}\n")
                self.assertNotIn(TEXT_RECORDER, log, "the second box came before the first closed")
                app.dismiss_box(first)
                second = app.wait_error_boxes(1)[0]
                app.wait_log(f"Error: {TEXT_RECORDER}\n")
                app.dismiss_box(second)
                self.assertEqual(app.wait_exit(15), 0, app.state())
                log = app.log()
                self.assert_orderly_end(log)
                self.assertEqual(log.count("Error: "), 2, log)
                self.assertLess(log.index(TEXT_ENGINE), log.index(TEXT_RECORDER))

    def _leave_only_the_speaker(self):
        """Unloads the microphone (its remapped source and its sink) and points the default
        source at nothing: the speaker's monitor is the one source left."""
        # Newest first: the remapped source goes with its sink.
        for line in reversed(self.pulse.pactl("list", "short", "modules").splitlines()):
            index, name, arguments = (line.split("\t") + ["", ""])[:3]
            if name == "module-remap-source" or "sink_name=micsink" in arguments:
                self.pulse.pactl("unload-module", index)
        run_tool(["pactl", "set-default-source", "nothing-here"], self.pulse.tool_env(),
                 check=False)
        sources = dict(line.split("\t")[:2] for line in
                       self.pulse.pactl("list", "short", "sources").splitlines())
        self.assertEqual(list(sources.values()), ["spk.monitor"])
        return sources

    def test_server_without_a_capture_source(self):
        sources = self._leave_only_the_speaker()
        app = self.launch()
        app.wait_window()
        # What SDL makes of it is its own affair; the program must neither crash nor hang.
        kind = wait_until(lambda: ("box" if app.find_error_boxes() else None)
                          or ("ready" if _shows_ready(app) else None), 15,
                          lambda: f"a box or the ready screen.\n{app.state()}")
        if kind == "box":
            dismiss_boxes_until_exit(app, 20)
        else:
            clicker = Clicker(app)
            wav = self.record(app, clicker)
            time.sleep(1.0)
            used = [sources.get(line.split("\t")[1]) for line in
                    self.pulse.pactl("list", "short", "source-outputs").splitlines()]
            self.stop_recording(app, clicker)
            print(f"\n[no capture source: the recording took {used} and holds "
                  f"{os.path.getsize(wav) - 44} bytes after 1 s]", flush=True)
            clicker.click(*CLOSE_POINT)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        print(f"[no capture source: {kind}; log:\n{tail(log, 8)}]", flush=True)
        self.assert_orderly_end(log)
        replay_modes(log_events(log))


def _shows_ready(app):
    try:
        return screen_of(app.screenshot(), app.run_dir) == "ready"
    except HarnessError:
        return False


def dismiss_boxes_until_exit(app, timeout):
    deadline = time.monotonic() + timeout
    while app.running():
        if time.monotonic() > deadline:
            raise HarnessError(f"murmelo still runs after {timeout} s of boxes.\n{app.state()}")
        boxes = app.find_error_boxes()
        if boxes:
            app.dismiss_box(boxes[0])
        time.sleep(0.1)


# ----------------------------------------------------------------------------------------------
# Locale


class LocaleTest(BadInputCase):

    @classmethod
    def setUpClass(cls):
        cls.locales = make_temp_dir("locales")
        env = {"PATH": SYSTEM_PATH, "HOME": cls.locales, "LANG": "C"}
        for name in ("de_DE", "fr_FR"):
            # localedef warns (exit 1) about the odd character name in some locales.
            result = run_tool(["localedef", "-i", name, "-f", "UTF-8",
                               os.path.join(cls.locales, f"{name}.UTF-8")], env, check=False,
                              timeout=60)
            if not os.path.isdir(os.path.join(cls.locales, f"{name}.UTF-8")):
                raise HarnessError(f"localedef {name} failed: {result.stderr}")

    @classmethod
    def tearDownClass(cls):
        remove_temp_dir(cls.locales)

    def _stamp_stays_english(self, locale):
        env = {"LANG": locale, "LC_ALL": locale, "LOCPATH": self.locales}
        # The locale is really in force: the date tool names the weekday in its language.
        check = run_tool(["date", "+%a"], dict(env, PATH=SYSTEM_PATH))
        self.assertNotIn(check.stdout.strip(), WEEKDAYS, f"{locale} is not in force")
        app = self.launch_ready(env=env)
        clicker = Clicker(app)
        before = time.time()
        wav = self.record(app, clicker)
        after = time.time()
        name = os.path.basename(wav)
        self.assertRegex(name, WAV_NAME)
        self.assertIn(name, english_names(before, after))
        time.sleep(0.3)
        self.stop_recording(app, clicker)
        self.close_by_button(app)

    def test_german(self):
        self._stamp_stays_english("de_DE.UTF-8")

    def test_french(self):
        self._stamp_stays_english("fr_FR.UTF-8")


def english_names(start, end):
    """The recording names the program may give between the two times."""
    names = set()
    for second in range(int(start), int(end) + 1):
        t = time.localtime(second)
        names.add(f"Temp_{WEEKDAYS[t.tm_wday]}_{MONTHS[t.tm_mon - 1]}_{t.tm_mday:02d}_"
                  f"{t.tm_hour:02d}{t.tm_min:02d}{t.tm_sec:02d}_{t.tm_year}.wav")
    return names


if __name__ == "__main__":
    unittest.main()
