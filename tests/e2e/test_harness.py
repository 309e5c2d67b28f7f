"""The test environment itself: if these fail, the other end-to-end failures say nothing
about the program."""

import os
import subprocess
import unittest

import harness
from harness import MailEnv, parse_mailto, spawn, stop_process


class MailSeamTest(unittest.TestCase):

    def setUp(self):
        self.tmp = harness.make_temp_dir("mail-seam")
        self.addCleanup(harness.remove_temp_dir, self.tmp)
        self.attachment = os.path.join(self.tmp, "a message+1.mp2")
        with open(self.attachment, "wb") as f:
            f.write(b"\xff\xf4")

    def send(self, mail):
        env = dict(mail.env(), DISPLAY=":0")
        return subprocess.run(["xdg-email", "--utf8", "--subject", "Voice Message", "--body",
                               "Hello,\nhere it is.", "--attach", self.attachment],
                              env=env, capture_output=True, text=True, timeout=30)

    def test_handler_receives_subject_body_and_attachment(self):
        mail = MailEnv(os.path.join(self.tmp, "ok"))
        result = self.send(mail)
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = mail.calls()
        self.assertEqual(len(calls), 1)
        self.assertEqual(len(calls[0]), 1, calls)
        fields = parse_mailto(calls[0][0])
        self.assertEqual(fields["subject"], ["Voice Message"])
        self.assertEqual(fields["body"], ["Hello,\r\nhere it is."])
        self.assertEqual(fields["attach"], [self.attachment])

    def test_no_mail_program_exits_3(self):
        mail = MailEnv(os.path.join(self.tmp, "none"), handler=False)
        self.assertEqual(self.send(mail).returncode, 3)
        self.assertEqual(mail.calls(), [])

    def test_failing_mail_program_exits_4(self):
        mail = MailEnv(os.path.join(self.tmp, "fails"), handler_exit=1)
        self.assertEqual(self.send(mail).returncode, 4)
        self.assertEqual(len(mail.calls()), 1)

    def test_thunderbird_named_handler_gets_compose_form(self):
        mail = MailEnv(os.path.join(self.tmp, "tb"), handler_name="thunderbird")
        self.assertEqual(self.send(mail).returncode, 0)
        calls = mail.calls()
        self.assertEqual(calls[0][0], "-compose")
        self.assertIn(f"attachment='{self.attachment}'", calls[0][1])


class SoundSeamTest(unittest.TestCase):

    def setUp(self):
        self.tmp = harness.make_temp_dir("sound-seam")
        self.addCleanup(harness.remove_temp_dir, self.tmp)
        self.pulse = harness.PulseServer(self.tmp)
        self.addCleanup(self.pulse.stop)
        self.pulse.start()

    def record_microphone(self):
        out = open(os.path.join(self.tmp, "vmic.raw"), "wb")
        self.addCleanup(out.close)
        proc = spawn(["parec", "--device=vmic", "--format=s16le", "--rate=16000", "--channels=1",
                      "--latency-msec=20"], env=self.pulse.tool_env(), stdout=out,
                     stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, proc)
        return proc, out.name

    def test_fed_clip_reaches_the_microphone_exactly(self):
        clip = harness.make_speech("one two three", os.path.join(self.tmp, "speech.wav"))
        samples = harness.wav_frames(clip)[0]
        proc, path = self.record_microphone()
        harness.wait_until(lambda: "RUNNING" in self.pulse.pactl("list", "short", "sources"), 5,
                           "the microphone capture to run")
        self.pulse.feed(clip)
        harness.wait_until(lambda: os.path.getsize(path) >= len(samples), 5, "the fed samples")
        stop_process(proc)
        with open(path, "rb") as f:
            heard = f.read()
        # Skip the clip's leading silence: find a stretch from its middle.
        middle = samples[len(samples) // 2:len(samples) // 2 + 4000]
        self.assertGreater(len(set(middle)), 10, "the spoken clip is silent")
        self.assertNotEqual(heard.find(middle), -1, "the microphone did not hear the clip")

    def test_speaker_capture_hears_what_is_played(self):
        tone = harness.make_tone(os.path.join(self.tmp, "tone.wav"), 0.5, 440)
        samples = harness.wav_frames(tone)[0]
        capture = self.pulse.start_speaker_capture()
        env = self.pulse.tool_env()
        subprocess.run(["paplay", "--device=spk", tone], env=env, check=True, timeout=30)
        heard = self.pulse.stop_speaker_capture(capture)
        middle = samples[4000:8000]
        self.assertNotEqual(heard.find(middle), -1, "the speaker capture missed the tone")


if __name__ == "__main__":
    unittest.main()
