"""Sound and recording helpers shared by the recording and sending tests: clips to feed the
microphone, the recording's WAV header, exact and approximate sample comparisons, and driving
one recording through the window.

Standard library only: samples are handled as array('h') and bytes.
"""

import array
import wave
import math
import os
import re
import shutil
import struct
import sys
import time

from harness import SYSTEM_PATH, HarnessError, make_speech, run_tool, wait_until

# Client coordinates of the buttons' centres.
RECORD_POINT = (184, 135)
STOP_POINT = (184, 135)
RECORD_AGAIN_POINT = (77, 135)
PLAY_POINT = (169, 135)
SEND_POINT = (276, 135)
CLOSE_POINT = (335, 30)

# Top-left corners of the pictures of the recorded screen and of the stop button.
RECORDED_SCREEN = [("brecagain.png", 43, 101), ("bplay.png", 137, 103), ("bmail.png", 228, 102)]
STOP_BUTTON = ("bstop.png", 153, 104)

RATE = 16000
GAIN = 10
HEADER_BYTES = 44
SPEECH_TEXT = "Hello, this is a short voice message."
# A sample this loud marks where the speech begins (espeak's lead-in is dither, a count or two).
LOUD = 400

if sys.byteorder != "little":
    raise HarnessError("these checks read little-endian samples natively")


def samples_of(raw):
    """array('h') of raw little-endian s16 bytes (a trailing odd byte is ignored)."""
    values = array.array("h")
    values.frombytes(raw[:len(raw) - len(raw) % 2])
    return values


def amplified(values):
    """What the recorder writes for these microphone samples: each times 10, kept to its low
    16 bits (two's complement wrap-around)."""
    out = array.array("h", bytes(2 * len(values)))
    for i, v in enumerate(values):
        w = (v * GAIN) & 0xFFFF
        out[i] = w - 0x10000 if w >= 0x8000 else w
    return out


def wraps(values):
    """How many of these samples wrap around when amplified."""
    return sum(1 for v in values if not -32768 <= v * GAIN <= 32767)


def first_loud(values, level=LOUD):
    for i, v in enumerate(values):
        if abs(v) >= level:
            return i
    raise HarnessError(f"no sample reaches {level}")


def find_sequence(haystack, needle, anchor, probe=64):
    """Sample offset at which all of needle lies in haystack (both array('h')), or None.

    The search starts from needle[anchor:anchor + probe], which must be distinctive (loud);
    every match of it is tried against the whole needle.
    """
    hay = haystack.tobytes()
    full = needle.tobytes()
    key = needle[anchor:anchor + probe].tobytes()
    start = 0
    while True:
        pos = hay.find(key, start)
        if pos < 0:
            return None
        start = pos + 1
        if pos % 2:
            continue
        offset = pos // 2 - anchor
        if offset >= 0 and hay[2 * offset:2 * offset + len(full)] == full:
            return offset


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


def describe_misfit(haystack, needle, anchor, probe=64):
    """Why find_sequence failed, for the failure message: where the loud start lands and the
    first sample that differs from there."""
    key = needle[anchor:anchor + probe].tobytes()
    pos = haystack.tobytes().find(key)
    if pos < 0 or pos % 2:
        return (f"not even samples {anchor}..{anchor + probe} of the {len(needle)} expected occur "
                f"among the {len(haystack)} recorded")
    offset = pos // 2 - anchor
    if offset < 0:
        return f"the loud start lands at {pos // 2}, too early for the {anchor} samples before it"
    part = haystack[offset:offset + len(needle)]
    i = first_difference(part, needle)
    text = (f"aligned at {offset}, the first difference is at expected sample {i} of "
            f"{len(needle)}: recorded {list(part[i:i + 6])}, expected {list(needle[i:i + 6])}")
    # Silence pushed into the middle of the sound is what a stream that ran dry leaves.
    zeros = 0
    while offset + i + zeros < len(haystack) and haystack[offset + i + zeros] == 0:
        zeros += 1
    rest = needle[i:]
    resumed = haystack[offset + i + zeros:offset + i + zeros + len(rest)]
    if zeros and needle[i] != 0 and resumed == rest:
        text += (f"; {zeros} samples of silence ({zeros * 1000 / RATE:.0f} ms) were inserted "
                 f"there, after which every sample follows exactly (the stream ran dry)")
    return text


def correlation(a, b):
    """Pearson correlation of two equally long sample sequences."""
    n = min(len(a), len(b))
    if n == 0:
        return 0.0
    mean_a = sum(a[:n]) / n
    mean_b = sum(b[:n]) / n
    sab = saa = sbb = 0.0
    for x, y in zip(a[:n], b[:n]):
        dx = x - mean_a
        dy = y - mean_b
        sab += dx * dy
        saa += dx * dx
        sbb += dy * dy
    if saa == 0 or sbb == 0:
        return 0.0
    return sab / math.sqrt(saa * sbb)


# ----------------------------------------------------------------------------------------------
# WAV files


class WavHeader:
    FIELDS = ("riff", "total_len", "wave", "fmt", "fmt_len", "format", "channels", "rate",
              "byte_rate", "block_align", "bits", "data", "data_len")

    def __init__(self, raw):
        if len(raw) < HEADER_BYTES:
            raise HarnessError(f"a WAV of {len(raw)} bytes has no complete header")
        values = struct.unpack("<4sI4s4sIHHIIHH4sI", raw[:HEADER_BYTES])
        for name, value in zip(self.FIELDS, values):
            setattr(self, name, value)

    def as_dict(self):
        return {name: getattr(self, name) for name in self.FIELDS}


def read_recording(path):
    """(WavHeader, array('h') of the samples after the 44-byte header) of a recorded WAV."""
    with open(path, "rb") as f:
        raw = f.read()
    return WavHeader(raw), samples_of(raw[HEADER_BYTES:]), len(raw)


def read_wav_samples(path):
    """Samples of a 16-bit mono WAV file of any header layout (sox, mpg123)."""
    with wave.open(path, "rb") as w:
        if (w.getnchannels(), w.getsampwidth()) != (1, 2):
            raise HarnessError(f"{path} is not 16-bit mono: {w.getparams()}")
        return samples_of(w.readframes(w.getnframes())), w.getframerate()


def tool_env(folder):
    return {"PATH": SYSTEM_PATH, "HOME": folder, "LANG": "C.UTF-8"}


def make_clip(folder, volume=1.0, text=SPEECH_TEXT):
    """Speech as 16 kHz mono s16 WAV; volume below 1 scales it down (no clipping)."""
    path = os.path.join(folder, f"speech-{volume:g}.wav")
    if volume == 1.0:
        return make_speech(text, path)
    loud = make_speech(text, path + ".full.wav")
    run_tool(["sox", loud, "-b", "16", path, "vol", f"{volume:g}"], tool_env(folder))
    os.remove(loud)
    return path


# ----------------------------------------------------------------------------------------------
# Driving the program


def logged_path(log, key, nth=-1):
    """The nth 'key: <path>' line of the log (default the last)."""
    found = re.findall(rf"^{key}: (.*)$", log, flags=re.MULTILINE)
    if not found:
        raise HarnessError(f"no '{key}:' line in the log:\n{log[-1500:]}")
    return found[nth]


def file_size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return -1


def start_recording(app, clicks_before=0):
    """Clicks record (or record again) and waits until sound reaches the new WAV file.
    Returns its path."""
    count = app.log().count("inFile: ") + 1
    app.click(*(RECORD_POINT if clicks_before == 0 else RECORD_AGAIN_POINT))
    log = app.wait_log("outFile: ", count=count)
    wav = logged_path(log, "inFile")
    # Sound is being written once the file grows past its header (the stream buffer holds
    # about 0.13 s): only then does the microphone hear what is fed.
    wait_until(lambda: file_size(wav) > HEADER_BYTES, 5,
               lambda: f"{wav} to grow past its header (size {file_size(wav)}).\n{app.state()}")
    return wav


def stop_recording(app, wav):
    """Clicks stop and waits for the finished file; returns the log."""
    count = app.log().count("sizeBytes: ") + 1
    app.click(*STOP_POINT)
    return app.wait_log("sizeBytes: ", count=count)


def record_clip(app, pulse, clip, tail_seconds=0.4, again=False):
    """One whole recording of the clip fed into the microphone. Returns the WAV's path."""
    wav = start_recording(app, clicks_before=1 if again else 0)
    if clip is not None:
        pulse.feed(clip)
    # What was fed last still has to pass the sound server and the capture buffer.
    time.sleep(tail_seconds)
    stop_recording(app, wav)
    return wav


def keep_copy(path, folder):
    """A copy of a file the program will delete later."""
    target = os.path.join(folder, os.path.basename(path) + ".copy")
    shutil.copyfile(path, target)
    return target
