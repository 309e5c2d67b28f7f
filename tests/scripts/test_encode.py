"""The encoder script: a recording in, an MP2 message out, or a failure and nothing."""
import array
import math
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import unittest

ENCODER = os.environ.get("MURMELO_ENCODER", os.path.join(
    os.path.dirname(__file__), "..", "..", "scripts", "encode.sh"))


def write_wav(path, samples, rate=16000):
    data = array.array("h", samples).tobytes()
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16,
                         1, 1, rate, rate * 2, 2, 16, b"data", len(data))
    with open(path, "wb") as out:
        out.write(header + data)


def read_wav_samples(path):
    with open(path, "rb") as wav:
        content = wav.read()
    position = 12
    while position + 8 <= len(content):
        name, size = struct.unpack_from("<4sI", content, position)
        if name == b"data":
            return array.array("h", content[position + 8:position + 8 + size])
        position += 8 + size + (size & 1)
    raise AssertionError("no data chunk in " + path)


def speech_like(seconds, rate=16000):
    """A voice-like signal: a few harmonics under a syllable-rate envelope."""
    samples = []
    for n in range(int(seconds * rate)):
        t = n / rate
        envelope = 0.5 + 0.5 * math.sin(2 * math.pi * 3 * t)
        value = sum(math.sin(2 * math.pi * f * t) / k for k, f in enumerate((180, 360, 720), 1))
        samples.append(int(9000 * envelope * value))
    return samples


def correlation(a, b):
    n = min(len(a), len(b))
    mean_a = sum(a[:n]) / n
    mean_b = sum(b[:n]) / n
    cov = sum((a[i] - mean_a) * (b[i] - mean_b) for i in range(n))
    var_a = sum((a[i] - mean_a) ** 2 for i in range(n))
    var_b = sum((b[i] - mean_b) ** 2 for i in range(n))
    return cov / math.sqrt(var_a * var_b)


class EncodeScript(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="murmelo-encode-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def encode(self, source, target, cwd=None):
        return subprocess.run([ENCODER, source, target], cwd=cwd or self.folder,
                              capture_output=True, text=True, timeout=60)

    def leftovers(self, folder=None):
        return sorted(os.listdir(folder or self.folder))

    def test_speech_becomes_a_layer_two_message_that_decodes_to_the_same_sound(self):
        source = os.path.join(self.folder, "in.wav")
        target = os.path.join(self.folder, "out.mp2")
        samples = speech_like(2.0)
        write_wav(source, samples)
        result = self.encode(source, target)
        self.assertEqual(result.returncode, 0, result.stderr)
        kind = subprocess.run(["file", "-b", target], capture_output=True, text=True).stdout
        self.assertIn("layer II", kind)
        self.assertIn("16 kHz", kind)
        self.assertIn("Monaural", kind)
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o600)
        decoded = os.path.join(self.folder, "decoded.wav")
        subprocess.run(["mpg123", "-q", "-w", decoded, target], check=True)
        back = read_wav_samples(decoded)
        # 481 samples of decoder delay; the length is whole frames of 576 samples.
        self.assertAlmostEqual(len(back) / 16000, 2.0, delta=0.1)
        self.assertGreater(correlation(samples, back[481:]), 0.95)
        self.assertEqual(self.leftovers(), ["decoded.wav", "in.wav", "out.mp2"])

    def test_failures_exit_non_zero_and_leave_no_message(self):
        header_only = os.path.join(self.folder, "empty.wav")
        write_wav(header_only, [])
        cases = {
            "header-only recording": (header_only, os.path.join(self.folder, "a.mp2")),
            "missing recording": (os.path.join(self.folder, "none.wav"),
                                  os.path.join(self.folder, "b.mp2")),
            "missing folder": (header_only, os.path.join(self.folder, "no", "c.mp2")),
        }
        for name, (source, target) in cases.items():
            with self.subTest(name):
                result = self.encode(source, target)
                self.assertNotEqual(result.returncode, 0)
                self.assertFalse(os.path.exists(target))
        self.assertEqual(self.leftovers(), ["empty.wav"], "no partial files")

    def test_wrong_argument_count_fails(self):
        result = subprocess.run([ENCODER, "only-one.wav"], capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)

    def test_awkward_paths_arrive_intact(self):
        names = ["with space", "quote\"s 'and' apostrophes", "$(touch pwned)`touch pwned2`",
                 "-leading-dash", "Grüße ñ"]
        samples = speech_like(0.5)
        for name in names:
            with self.subTest(name):
                folder = os.path.join(self.folder, name)
                os.mkdir(folder)
                source = os.path.join(folder, name + ".wav")
                write_wav(source, samples)
                result = self.encode(source, os.path.join(folder, name + ".mp2"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertGreater(os.path.getsize(os.path.join(folder, name + ".mp2")), 0)
        # Relative names starting with a dash, from inside their folder.
        folder = os.path.join(self.folder, "-leading-dash")
        result = self.encode("-leading-dash.wav", "-relative.mp2", cwd=folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.getsize(os.path.join(folder, "-relative.mp2")) > 0)
        for folder, _, files in os.walk(self.folder):
            self.assertNotIn("pwned", files)
            self.assertNotIn("pwned2", files)


if __name__ == "__main__":
    unittest.main()
