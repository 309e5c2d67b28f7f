"""Clips the benchmark feeds the microphone, and checks of what came out of it."""

import array
import math
import os
import struct
import sys

from desktop import RATE, SYSTEM_PATH, tool

SPEECH_TEXT = ("This is a voice message recorded to measure the program. It goes on for a while, "
               "with pauses, numbers like one hundred and twenty three, and some longer words, so "
               "that the encoder has real speech to work on. Thank you for listening to it.")

# A tone this quiet stays clear of overflow after the program's gain of ten.
TONE_VOLUME = 0.05
TONE_FREQUENCY = 440


def _env(workdir):
    return {"PATH": SYSTEM_PATH, "HOME": workdir, "LANG": "C.UTF-8"}


def make_speech(path, seconds, workdir):
    """Speech as a 16 kHz mono 16-bit WAV, the text repeated up to `seconds`."""
    raw = path + ".espeak.wav"
    once = path + ".once.wav"
    tool(["espeak-ng", "-w", raw, SPEECH_TEXT], _env(workdir))
    tool(["sox", raw, "-r", str(RATE), "-c", "1", "-b", "16", once], _env(workdir))
    length = float(tool(["soxi", "-D", once], _env(workdir)).stdout)
    repeats = max(0, math.ceil(seconds / length) - 1)
    tool(["sox", once, path, "repeat", str(repeats), "trim", "0", str(seconds)], _env(workdir))
    os.remove(raw)
    os.remove(once)
    return path


def make_tone(path, seconds, workdir):
    tool(["sox", "-n", "-r", str(RATE), "-c", "1", "-b", "16", path, "synth", str(seconds),
          "sine", str(TONE_FREQUENCY), "vol", str(TONE_VOLUME)], _env(workdir))
    return path


def read_program_wav(path):
    """(samples, header data length in samples) of a WAV the program wrote: 44-byte header,
    16 kHz mono s16. The sample count is what the file holds."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 44 or data[0:4] != b"RIFF" or data[8:16] != b"WAVEfmt " \
            or data[36:40] != b"data":
        raise ValueError(f"{path} is not the program's kind of WAV")
    channels, rate = struct.unpack_from("<HI", data, 22)
    bits = struct.unpack_from("<H", data, 34)[0]
    if (channels, rate, bits) != (1, RATE, 16):
        raise ValueError(f"{path}: {channels} ch, {rate} Hz, {bits} bit")
    declared = struct.unpack_from("<I", data, 40)[0] // 2
    return raw_samples(data[44:]), declared


def raw_samples(data):
    samples = array.array("h")
    samples.frombytes(data[:len(data) // 2 * 2])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


def tone_breaks(samples, frequency=TONE_FREQUENCY, rate=RATE):
    """Where a steady sine is broken: a sample that the two before it do not predict (a lost,
    repeated or inserted piece shifts the phase), or a silent stretch of a millisecond or more.
    Returns {'amplitude', 'jumps', 'silences', 'longest_silence_ms', 'first': [seconds...]}."""
    if len(samples) < 3:
        return {"amplitude": 0, "jumps": 0, "silences": 0, "longest_silence_ms": 0.0,
                "first": []}
    peak = max(max(samples), -min(samples))
    # A sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2]; rounding leaves a few units of error.
    factor = 2.0 * math.cos(2.0 * math.pi * frequency / rate)
    limit = max(0.1 * peak, 8)
    quiet = 0.02 * peak
    jumps = silences = run = longest = 0
    first = []
    for n in range(2, len(samples)):
        if abs(samples[n] - factor * samples[n - 1] + samples[n - 2]) > limit:
            jumps += 1
            if len(first) < 5:
                first.append(round(n / rate, 3))
        if abs(samples[n]) <= quiet:
            run += 1
        else:
            if run >= rate // 1000:
                silences += 1
                longest = max(longest, run)
                if len(first) < 5:
                    first.append(round((n - run) / rate, 3))
            run = 0
    if run >= rate // 1000:
        silences += 1
        longest = max(longest, run)
    return {"amplitude": peak, "jumps": jumps, "silences": silences,
            "longest_silence_ms": 1000.0 * longest / rate, "first": first}
