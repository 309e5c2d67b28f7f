"""Sending a recording: the window goes away, the encoder beside the program makes the message,
xdg-email hands it to the mail program; and what the user sees when any of that fails."""

import os
import stat
import unittest

from audio_checks import (SEND_POINT, correlation, keep_copy, logged_path, make_clip,
                          read_recording, read_wav_samples, record_clip, tool_env)
from harness import BACKGROUND, App, MailEnv, MurmeloTestCase, parse_mailto, run_tool, tail, wait_until

NOTE_TEXT = ("Attached is a voice message for you, created with Murmelo.\n"
             "Try Murmelo here: https://murmelo.example.org/\n")
# What the mail program finds in the body: xdg-email drops the last line break and sends the
# others as CR LF.
NOTE_AS_MAILED = NOTE_TEXT.rstrip("\n").replace("\n", "\r\n")
SUBJECT = "Voice Message"
COMPRESS_FAILED = "Error: Failed to compress the message.\n"
NO_MAIL_PROGRAM = "Error: Failed to send message.\nError code 3.\n"
# mpg123 puts this many samples of the decoder's own delay before the sound.
DECODER_DELAY = 481
MP2_FRAME = 1152
SUCCESS_STEPS = ["Encoding...\n", "runAppWait: Started waiting...\n",
                 "runAppWait: Finished waiting!\n", "Mail client closed.\n", "Closing Device...\n",
                 "Fin.\n"]


class SendingTestCase(MurmeloTestCase):

    def assert_in_order(self, log, steps):
        at = 0
        for step in steps:
            found = log.find(step, at)
            self.assertGreaterEqual(found, 0, f"{step!r} missing after position {at} of the log:\n"
                                              f"{tail(log, 25)}")
            at = found + len(step)

    def mail_env(self, name="mail", **kw):
        return MailEnv(os.path.join(self.tmp, name), **kw)

    def start_copy(self, encoder=None, mail=None):
        """Runs a copy of the program from a folder of its own, whose encode.sh is the given
        script text (None: no encode.sh at all). Returns the ready App."""
        workdir = os.path.join(self.tmp, f"copy-{len(os.listdir(self.tmp))}")
        os.makedirs(workdir)
        app = App(self.desktop, self.pulse, mail=mail, workdir=workdir, private_run_dir=True)
        self.addCleanup(app.stop)
        self.assertNotEqual(os.path.realpath(app.run_dir), os.path.realpath(app.source_run_dir))
        os.remove(app.encode_script)
        if encoder is not None:
            with open(app.encode_script, "w") as f:
                f.write(encoder)
            os.chmod(app.encode_script, 0o755)
        app.start()
        app.wait_window()
        app.wait_pixel(5, 80, BACKGROUND, timeout=10)
        return app

    def send(self, app):
        """Clicks send and waits until the program has hidden its window."""
        app.click(*SEND_POINT)
        wait_until(lambda: self.desktop.map_state(app.client) != "IsViewable", 5,
                   lambda: f"the window to be hidden after send.\n{app.state()}")

    def expect_failure_box(self, app, error_line):
        """The error box shows, the log says why; Return ends the program in order."""
        boxes = app.wait_error_boxes(1, timeout=15)
        log = app.wait_log(error_line)
        self.assertTrue(app.running(), "the program ended without waiting for the box")
        self.assertNotEqual(self.desktop.map_state(app.client), "IsViewable",
                            "the main window came back with the error box")
        app.dismiss_box(boxes[0])
        self.assertEqual(app.wait_exit(), 0, app.state())
        log = app.log()
        self.assert_orderly_end(log)
        self.assertLess(log.index(error_line), log.index("Closing Device...\n"))
        self.assertEqual(app.find_error_boxes(), [])
        return log


class SendTest(SendingTestCase):

    def test_send_encodes_and_hands_the_message_to_the_mail_program(self):
        # Quiet enough that amplifying it does not wrap around: the MP2 must sound like it.
        clip = make_clip(self.tmp, volume=0.09)
        # The mail program stays a while, as one that was started cold does.
        mail = self.mail_env(handler_delay=2.0)
        app = self.start_ready_app(mail=mail)
        wav = record_clip(app, self.pulse, clip)
        recording = keep_copy(wav, self.tmp)
        mp2 = logged_path(app.log(), "outFile")

        self.send(app)
        calls = mail.wait_calls(1, timeout=15)
        # The mail program has the message; the program waits, hidden, for xdg-email.
        self.assertTrue(app.running(), "the program ended before the mail program did; the "
                                       f"window was hidden only at the end?\n{app.state()}")
        self.assertNotEqual(self.desktop.map_state(app.client), "IsViewable")
        self.assertEqual(self.desktop.find_windows("Murmelo"), [])
        self.assertEqual(app.wait_exit(timeout=15), 0, app.state())
        log = app.log()
        self.assert_in_order(log, SUCCESS_STEPS)
        self.assertTrue(log.endswith("Fin.\n"), tail(log))
        self.assertNotIn("Error:", log)
        self.assertEqual(app.find_error_boxes(), [])

        self.assertEqual(len(calls), 1, calls)
        self.assertEqual(len(calls[0]), 1, f"the mail program got {calls[0]}")
        fields = parse_mailto(calls[0][0])
        self.assertEqual(fields["subject"], [SUBJECT])
        self.assertEqual(fields["body"], [NOTE_AS_MAILED])
        self.assertEqual(fields["attach"], [mp2])
        self.assertEqual(fields["to"], "")

        # The message lies beside the recording, which is gone.
        self.assertEqual(os.path.dirname(mp2), os.path.dirname(wav))
        self.assertEqual(os.path.basename(mp2),
                         os.path.basename(wav).replace("Temp_", "Message_").replace(".wav", ".mp2"))
        self.assertFalse(os.path.exists(wav))
        self.assertEqual(app.messages(), [os.path.basename(mp2)])
        self.assertEqual(stat.S_IMODE(os.stat(mp2).st_mode), 0o600)

        env = tool_env(self.tmp)
        kind = run_tool(["file", "-b", mp2], env).stdout
        for word in ("layer II", "16 kHz", "Monaural"):
            self.assertIn(word, kind)
        decoded_path = os.path.join(self.tmp, "decoded.wav")
        run_tool(["mpg123", "-q", "-w", decoded_path, mp2], env)
        decoded, rate = read_wav_samples(decoded_path)
        self.assertEqual(rate, 16000)
        _, recorded, _ = read_recording(recording)
        self.assertGreater(max(abs(s) for s in recorded), 5000, "the recording is nearly silent")
        # The encoder's whole frames may leave the last few hundred samples behind the
        # decoder's delay, no more than a frame.
        compared = min(len(decoded) - DECODER_DELAY, len(recorded))
        self.assertGreater(compared, len(recorded) - MP2_FRAME, f"decoded {len(decoded)} samples")
        r = correlation(decoded[DECODER_DELAY:DECODER_DELAY + compared], recorded[:compared])
        self.assertGreaterEqual(r, 0.9, "the message does not sound like the recording")


class CompressFailureTest(SendingTestCase):

    def record_and_send(self, app):
        record_clip(app, self.pulse, None, tail_seconds=0.3)
        wav = logged_path(app.log(), "inFile")
        self.send(app)
        return wav

    def assert_nothing_sent(self, app, mail, log):
        self.assertIn("Encoding...\n", log)
        self.assertLess(log.index("Encoding...\n"), log.index(COMPRESS_FAILED))
        self.assertEqual(mail.calls(), [])
        self.assertEqual(app.messages(), [], "files left in the message folder")

    def test_no_encoder_beside_the_program(self):
        mail = self.mail_env()
        app = self.start_copy(encoder=None, mail=mail)
        self.assertFalse(os.path.exists(app.encode_script))
        wav = self.record_and_send(app)
        log = self.expect_failure_box(app, COMPRESS_FAILED)
        self.assert_nothing_sent(app, mail, log)
        self.assertFalse(os.path.exists(wav))

    def _failing_encoder(self, body):
        marker = os.path.join(self.tmp, "encoder-called")
        script = ("#!/bin/sh\n"
                  f"printf '%s\\n' \"$0\" \"$@\" > '{marker}'\n"
                  f"{body}\n")
        mail = self.mail_env()
        app = self.start_copy(encoder=script, mail=mail)
        wav = self.record_and_send(app)
        log = self.expect_failure_box(app, COMPRESS_FAILED)
        self.assert_nothing_sent(app, mail, log)
        # The script beside this copy of the program ran, with the recording and the message.
        with open(marker) as f:
            called = f.read().splitlines()
        self.assertEqual(called[1:], [wav, logged_path(log, "outFile")])
        self.assertEqual(os.path.realpath(called[0]), os.path.realpath(app.encode_script))

    def test_encoder_that_fails(self):
        self._failing_encoder("exit 1")

    def test_encoder_that_writes_nothing(self):
        self._failing_encoder("exit 0")


class NoMailProgramTest(SendingTestCase):

    def test_no_mail_program_shows_error_code_3(self):
        mail = self.mail_env(handler=False)
        app = self.start_ready_app(mail=mail)
        record_clip(app, self.pulse, None, tail_seconds=0.3)
        self.send(app)
        log = self.expect_failure_box(app, NO_MAIL_PROGRAM)
        self.assert_in_order(log, ["Encoding...\n", "runAppWait: Finished waiting!\n",
                                   NO_MAIL_PROGRAM, "Closing Device...\n", "Fin.\n"])


class AwkwardFolderTest(SendingTestCase):

    def test_message_folder_with_spaces_quotes_and_umlauts(self):
        data_home = os.path.join(self.tmp, 'My "Data" Grüße')
        mail = self.mail_env()
        # The mail program's entry stays findable although the data folder moves.
        env = {"XDG_DATA_HOME": data_home + "/",
               "XDG_DATA_DIRS": f"{mail.data_dirs}:{mail.data_home}"}
        app = self.start_ready_app(mail=mail, env=env)
        record_clip(app, self.pulse, None, tail_seconds=0.3)
        log = app.log()
        messages = os.path.join(data_home, "Murmelo", "Messages")
        wav = logged_path(log, "inFile")
        mp2 = logged_path(log, "outFile")
        self.assertEqual(os.path.dirname(wav), messages)
        self.assertEqual(os.path.dirname(mp2), messages)
        self.assertTrue(os.path.isfile(wav))

        self.send(app)
        calls = mail.wait_calls(1, timeout=15)
        self.assertEqual(app.wait_exit(timeout=15), 0, app.state())
        self.assert_in_order(app.log(), SUCCESS_STEPS)
        fields = parse_mailto(calls[0][0])
        self.assertEqual(fields["attach"], [mp2])
        self.assertEqual(fields["subject"], [SUBJECT])
        self.assertEqual(fields["body"], [NOTE_AS_MAILED])
        self.assertTrue(os.path.isfile(mp2))
        self.assertGreater(os.path.getsize(mp2), 0)
        self.assertFalse(os.path.exists(wav))
        self.assertEqual(sorted(os.listdir(messages)), [os.path.basename(mp2)])


if __name__ == "__main__":
    unittest.main()
