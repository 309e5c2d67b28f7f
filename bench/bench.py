#!/usr/bin/env python3
"""Murmelo's benchmark: CPU, latency, memory, capture and encoding figures of the built
program, each the median of several runs, beside a reference measured in the same run.

Run through bench/run, which installs and builds first. Needs the build folder's run/ (the
program, media.zip, encode.sh) and the benchmark's own pixelprobe and reference_window.
"""

import argparse
import glob
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile

from audio import make_speech, make_tone, raw_samples, read_program_wav, tone_breaks
from desktop import (RATE, SYSTEM_PATH, BenchError, Desktop, MailEnv, PulseServer, spawn, stop,
                     wait_until)
from probe import Probe
from procstat import PeakMemoryWatch, cpu_percent, peak_memory_kb
from report import Results, describe_machine, print_report

WINDOW = "Murmelo"
REFERENCE_WINDOW = "Murmelo reference"
RESTING = (202, 255, 112)
# Client coordinates. The pointer clicks the middle of the button row; the watched pixel lies
# 15 pixels to its left, clear of the pointer's own picture, on an opaque pixel of the record,
# stop and play buttons alike.
BUTTON_CENTRE = (184, 135)
WATCH = (169, 135)
REST_POINT = (30, 190)
SEND_CENTRE = (276, 135)
PARKED_POINTER = (1010, 755)
RECORD_AT, STOP_AT, PLAY_AT = (150, 101), (153, 104), (137, 103)
HOVER_GAIN = 30
REFERENCE_HOVER = (232, 255, 142)
REFERENCE_PRESSED = (66, 76, 90)


def media_colour(archive, name, origin, point=WATCH, brighten=0):
    """The screen colour of an opaque picture pixel under `point`, with the hover brightening."""
    from PIL import Image
    with zipfile.ZipFile(archive) as z:
        member = next(m for m in z.namelist() if os.path.basename(m).lower() == name)
        picture = Image.open(io.BytesIO(z.read(member))).convert("RGBA")
    r, g, b, a = picture.getpixel((point[0] - origin[0], point[1] - origin[1]))
    if a != 255:
        raise BenchError(f"{name} is not opaque under {point}: pick another watched pixel")
    return tuple(min(255, c + brighten) for c in (r, g, b))


class Settings:
    def __init__(self, quick, rounds, captures, capture_seconds, encodes):
        self.quick = quick
        self.rounds = rounds or (2 if quick else 5)
        self.cpu_seconds = 5.0 if quick else 10.0
        self.record_seconds = self.cpu_seconds + 2.0
        self.captures = captures or (1 if quick else 3)
        self.capture_seconds = capture_seconds or (20.0 if quick else 60.0)
        self.encodes = encodes or (2 if quick else 5)
        self.encode_seconds = 600


class Bench:
    def __init__(self, build, probe_path, reference_path, settings, workdir):
        self.run_dir = os.path.join(build, "run")
        self.program = os.path.join(self.run_dir, "murmelo")
        self.encoder = os.path.join(self.run_dir, "encode.sh")
        self.archive = os.path.join(self.run_dir, "media.zip")
        self.reference_program = reference_path
        self.settings = settings
        self.work = workdir
        self.results = Results()
        self.desktop = Desktop(workdir)
        self.pulse = PulseServer(workdir)
        self.probe = None
        self.runs = 0
        self.recorded = os.path.join(workdir, "recorded.wav")
        self.probe_path = probe_path
        self.colours = {
            "record": media_colour(self.archive, "brec.png", RECORD_AT),
            "record_hover": media_colour(self.archive, "brec.png", RECORD_AT,
                                         brighten=HOVER_GAIN),
            "stop": media_colour(self.archive, "bstop.png", STOP_AT),
            "stop_hover": media_colour(self.archive, "bstop.png", STOP_AT, brighten=HOVER_GAIN),
            "play": media_colour(self.archive, "bplay.png", PLAY_AT),
            "play_hover": media_colour(self.archive, "bplay.png", PLAY_AT, brighten=HOVER_GAIN),
        }

    # -- set-up

    def start(self):
        self.desktop.start()
        self.pulse.start()
        self.probe = Probe(self.probe_path, self.desktop.env())
        clips = os.path.join(self.work, "clips")
        os.makedirs(clips)
        self.speech = make_speech(os.path.join(clips, "speech.wav"),
                                  self.settings.record_seconds + 3, clips)
        self.tone = make_tone(os.path.join(clips, "tone.wav"),
                              self.settings.capture_seconds + 15, clips)
        self.recorder_ref, self.player_ref = self._reference_sound_tools()

    def stop(self):
        self.pulse.stop()
        self.desktop.stop()

    def _sound_env(self):
        return dict(self.pulse.tool_env(), HOME=os.path.join(self.work, "alsa-home"))

    def _reference_sound_tools(self):
        """arecord / aplay through ALSA's pulse plugin when they reach the server, else the
        server's own parec / paplay."""
        os.makedirs(os.path.join(self.work, "alsa-home"), exist_ok=True)
        env = self._sound_env()
        fmt = ["-f", "S16_LE", "-r", str(RATE), "-c", "1"]
        recorder = ["parec", "--device=vmic", "--format=s16le", f"--rate={RATE}", "--channels=1"]
        player = ["paplay"]
        if shutil.which("arecord"):
            probe = subprocess.run(["arecord", "-D", "pulse", *fmt, "-t", "raw", "-d", "1", "-q",
                                    "/dev/null"], env=env, capture_output=True, timeout=20)
            if probe.returncode == 0:
                recorder = ["arecord", "-D", "pulse", *fmt, "-t", "raw", "-q"]
                player = ["aplay", "-D", "pulse", "-q"]
            else:
                print(f"arecord cannot reach the sound server ({probe.stderr.decode().strip()}): "
                      "parec and paplay serve as references", file=sys.stderr)
        else:
            print("arecord is not installed (package alsa-utils): parec and paplay serve as "
                  "references", file=sys.stderr)
        return recorder, player

    def _new_run_dir(self, label):
        self.runs += 1
        path = os.path.join(self.work, f"{self.runs:02d}-{label}")
        os.makedirs(path)
        return path

    def _park_pointer(self):
        subprocess.run([self.probe_path, "park", "--root", "%d,%d" % PARKED_POINTER],
                       env=self.desktop.env(), check=True, timeout=10)

    def _start_program(self, label):
        """Starts the program in a fresh folder with its own mail environment; returns
        (launched program, mail environment, working folder)."""
        work = self._new_run_dir(label)
        mail = MailEnv(work)
        cwd = os.path.join(work, "cwd")
        os.makedirs(cwd)
        os.symlink(self.archive, os.path.join(cwd, "media.zip"))
        env = dict(mail.env(), DISPLAY=self.desktop.display, **self.pulse.client_env())
        self._park_pointer()
        app = self.probe.launch(self.program, WINDOW, WATCH, [self.colours["record"]], env, cwd,
                                os.path.join(work, "output.txt"))
        app.log = os.path.join(cwd, "log1.txt")
        return app, mail, work

    @staticmethod
    def _wait_log(app, text, timeout):
        def seen():
            try:
                with open(app.log, errors="replace") as f:
                    return text in f.read()
            except FileNotFoundError:
                return False

        wait_until(seen, timeout, f"{text!r} in {app.log}")

    def _act(self, window=WINDOW, **kw):
        return self.probe.act(window, **kw)

    # -- one session of the program: idle, hover, record, play, send

    def program_round(self):
        s = self.settings
        r = self.results
        app, mail, work = self._start_program("session")
        memory = PeakMemoryWatch(app.pid)
        feeder = None
        try:
            r.add("startup", app.startup_ms)
            time.sleep(1.0)
            self._act(move=REST_POINT)
            time.sleep(0.5)
            r.add_cpu("idle", cpu_percent(app.pid, s.cpu_seconds))

            hover = self._act(move=BUTTON_CENTRE, pixel=WATCH,
                              expect=[self.colours["record_hover"]])
            r.add("hover", hover["latency_ms"])
            time.sleep(0.3)
            feeder = self.pulse.feed(self.speech, wait=False)
            time.sleep(0.5)
            stop_button = [self.colours["stop"], self.colours["stop_hover"]]
            recorded_screen = [self.colours["play"], self.colours["play_hover"]]
            click = self._act(click=BUTTON_CENTRE, pixel=WATCH, expect=stop_button)
            r.add("click", click["latency_ms"])
            r.add_cpu("record_cpu", cpu_percent(app.pid, s.cpu_seconds,
                                                start_at=click["action_at"] + 0.5))
            time.sleep(max(0.0, click["action_at"] + s.record_seconds - time.monotonic()))
            self._act(click=BUTTON_CENTRE, pixel=WATCH, expect=recorded_screen)
            stop(feeder)
            self._wait_log(app, "sizeBytes", 10)
            wavs = glob.glob(os.path.join(mail.messages_dir(), "Temp_*.wav"))
            if len(wavs) != 1:
                raise BenchError(f"expected one recording, found {wavs}")
            shutil.copyfile(wavs[0], self.recorded)

            play = self._act(click=BUTTON_CENTRE, pixel=WATCH, expect=stop_button)
            r.add_cpu("play_cpu", cpu_percent(app.pid, s.cpu_seconds,
                                              start_at=play["action_at"] + 0.5))
            self._wait_log(app, "SoundStopReason: 0", s.record_seconds + 10)
            self._act(pixel=WATCH, expect=recorded_screen)

            self._act(click=SEND_CENTRE)
            status, maxrss_kb = app.wait(60)
            peak_kb = memory.stop()
            if status != 0 or not mail.handed_over():
                raise BenchError(f"the session did not end in a mail hand-off (exit {status}, "
                                 f"see {work})")
            r.add("memory", peak_kb / 1024.0)
            r.add("maxrss", maxrss_kb / 1024.0)
        finally:
            stop(feeder)
            memory.stop()
            app.terminate()

    # -- the same measurements of the reference window and the reference sound tools

    def reference_round(self):
        s = self.settings
        r = self.results
        work = self._new_run_dir("reference")
        self._park_pointer()
        ref = self.probe.launch(self.reference_program, REFERENCE_WINDOW, WATCH, [RESTING],
                                self.desktop.env(), work, os.path.join(work, "output.txt"))
        try:
            r.add_reference("startup", ref.startup_ms)
            time.sleep(1.0)
            self._act(REFERENCE_WINDOW, move=REST_POINT)
            time.sleep(0.5)
            r.add_reference("idle", cpu_percent(ref.pid, s.cpu_seconds)[0])
            hover = self._act(REFERENCE_WINDOW, move=BUTTON_CENTRE, pixel=WATCH,
                              expect=[REFERENCE_HOVER])
            r.add_reference("hover", hover["latency_ms"])
            time.sleep(0.3)
            click = self._act(REFERENCE_WINDOW, click=BUTTON_CENTRE, pixel=WATCH,
                              expect=[REFERENCE_PRESSED])
            r.add_reference("click", click["latency_ms"])
            r.add_reference("memory", peak_memory_kb(ref.pid) / 1024.0)
        finally:
            ref.terminate()

        feeder = self.pulse.feed(self.speech, wait=False)
        time.sleep(0.5)
        recorder = spawn(self.recorder_ref, self._sound_env())
        try:
            r.add_reference("record_cpu", cpu_percent(recorder.pid, s.cpu_seconds,
                                                      start_at=time.monotonic() + 0.5)[0],
                            os.path.basename(self.recorder_ref[0]))
        finally:
            stop(recorder)
            stop(feeder)
        if os.path.exists(self.recorded):
            player = spawn(self.player_ref + [self.recorded], self._sound_env())
            try:
                r.add_reference("play_cpu", cpu_percent(player.pid, s.cpu_seconds,
                                                        start_at=time.monotonic() + 0.5)[0],
                                os.path.basename(self.player_ref[0]))
            finally:
                stop(player)

    # -- capture completeness over a long recording of a steady tone

    def capture_run(self, seconds):
        r = self.results
        app, mail, work = self._start_program("capture")
        feeder = reference = None
        try:
            time.sleep(1.0)
            self._act(move=BUTTON_CENTRE)
            time.sleep(0.3)
            feeder = self.pulse.feed(self.tone, wait=False)
            time.sleep(0.5)
            reference_path = os.path.join(work, "reference.raw")
            with open(reference_path, "wb") as out:
                reference_started = time.monotonic()
                reference = spawn(self.recorder_ref, self._sound_env(), stdout=out)
            time.sleep(0.5)
            start = self._act(click=BUTTON_CENTRE, pixel=WATCH,
                              expect=[self.colours["stop"], self.colours["stop_hover"]])
            time.sleep(max(0.0, start["action_at"] + seconds - time.monotonic()))
            end = self._act(click=BUTTON_CENTRE, pixel=WATCH,
                            expect=[self.colours["play"], self.colours["play_hover"]])
            reference_ended = time.monotonic()
            stop(reference)
            stop(feeder)
            self._wait_log(app, "sizeBytes", 10)
            wavs = glob.glob(os.path.join(mail.messages_dir(), "Temp_*.wav"))
            if len(wavs) != 1:
                raise BenchError(f"expected one recording, found {wavs}")
            samples, declared = read_program_wav(wavs[0])
            if declared != len(samples):
                raise BenchError(f"the WAV header says {declared} samples, the file holds "
                                 f"{len(samples)}")
            elapsed = end["action_at"] - start["action_at"]
            r.add("capture", 100.0 * len(samples) / (elapsed * RATE))
            breaks = tone_breaks(samples)
            r.add("gaps", breaks["jumps"] + breaks["silences"])
            missing_ms = elapsed * 1000.0 - len(samples) * 1000.0 / RATE
            r.notes.setdefault("capture_detail", []).append(
                f"Murmelo {len(samples)} samples ({len(samples) / 1024:g} chunks of 1024) in "
                f"{elapsed:.3f} s between the clicks: {missing_ms:.1f} ms short; breaks {breaks}")

            with open(reference_path, "rb") as f:
                theirs = raw_samples(f.read())
            their_elapsed = reference_ended - reference_started
            r.add_reference("capture", 100.0 * len(theirs) / (their_elapsed * RATE),
                            os.path.basename(self.recorder_ref[0]))
            their_breaks = tone_breaks(theirs)
            r.add_reference("gaps", their_breaks["jumps"] + their_breaks["silences"],
                            os.path.basename(self.recorder_ref[0]))
            r.notes.setdefault("capture_detail", []).append(
                f"reference {len(theirs)} samples in {their_elapsed:.3f} s, breaks "
                f"{their_breaks}")
        finally:
            stop(reference)
            stop(feeder)
            app.terminate()

    # -- encoding ten minutes of speech

    def encoding(self):
        s = self.settings
        r = self.results
        work = self._new_run_dir("encoding")
        speech = make_speech(os.path.join(work, "ten-minutes.wav"), s.encode_seconds, work)
        env = {"PATH": SYSTEM_PATH, "HOME": work, "LANG": "C.UTF-8"}
        out = os.path.join(work, "message.mp2")

        def timed(args, output):
            if os.path.exists(output):
                os.remove(output)
            began = time.monotonic()
            result = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                    timeout=120)
            took = time.monotonic() - began
            # 48 kbit/s for ten minutes is 3.6 MB: much less means it did not encode it all.
            size = os.path.getsize(output) if os.path.exists(output) else 0
            if result.returncode != 0 or size < s.encode_seconds * 6000 * 0.9:
                raise BenchError(f"{args} failed ({result.returncode}, {size} bytes): "
                                 f"{result.stderr.decode(errors='replace').strip()}")
            return took

        for _ in range(s.encodes):
            r.add("encode", timed([self.encoder, speech, out], out))
        if shutil.which("ffmpeg"):
            reference = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", speech, "-c:a",
                         "mp2", "-b:a", "48k", "-f", "mp2", out]
            what = "ffmpeg mp2"
        else:
            reference = ["twolame", "--quiet", "-m", "m", "-b", "48", "--", speech, out]
            what = "twolame alone"
        for _ in range(s.encodes):
            r.add_reference("encode", timed(reference, out), what)

    # -- all of it

    def run(self, log):
        s = self.settings
        steps = []
        for i in range(s.rounds):
            steps.append((f"session {i + 1}/{s.rounds}", self.program_round))
            steps.append((f"reference {i + 1}/{s.rounds}", self.reference_round))
        for i in range(s.captures):
            # The program captures in chunks of 64 ms: lengths a third of a chunk apart show
            # what an unfinished last chunk costs.
            seconds = s.capture_seconds + i * 0.021
            steps.append((f"capture {i + 1}/{s.captures} ({seconds:g} s)",
                          lambda seconds=seconds: self.capture_run(seconds)))
        steps.append(("encoding", self.encoding))
        for label, step in steps:
            # A failed run is told and tried once more: on a shared machine a run can be upset
            # by things that have nothing to do with the program.
            for attempt in (1, 2):
                began = time.monotonic()
                print(f"[bench] {label} ...", file=log, flush=True)
                try:
                    step()
                    failed = None
                except Exception as error:  # one failed run must not lose the others
                    failed = error
                    self.results.failures.append(f"{label} (attempt {attempt}): {error}")
                    print(f"[bench] {label} FAILED: {error}", file=log, flush=True)
                    traceback.print_exc(file=log)
                print(f"[bench] {label} took {time.monotonic() - began:.1f} s", file=log,
                      flush=True)
                if failed is None:
                    break
            if failed is not None:
                self.results.lost.append(label)
        return self.results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder (holds run/)")
    parser.add_argument("--probe", required=True, help="pixelprobe executable")
    parser.add_argument("--reference", required=True, help="reference_window executable")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter runs")
    parser.add_argument("--rounds", type=int, default=0, help="sessions (default 5, quick 2)")
    parser.add_argument("--captures", type=int, default=0,
                        help="long capture runs (default 3, quick 1)")
    parser.add_argument("--capture-seconds", type=float, default=0,
                        help="length of a capture run (default 60, quick 20)")
    parser.add_argument("--encodes", type=int, default=0, help="encoder runs (default 5)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()

    settings = Settings(args.quick, args.rounds, args.captures, args.capture_seconds,
                        args.encodes)
    workdir = tempfile.mkdtemp(prefix="murmelo-bench-")
    began = time.monotonic()
    # Other work on the machine shows in every figure: say how busy it was.
    print(f"[bench] machine at the start: {describe_machine()}", file=sys.stderr)
    bench = Bench(args.build, args.probe, args.reference, settings, workdir)
    try:
        bench.start()
        results = bench.run(sys.stderr)
    finally:
        bench.stop()
        if args.keep:
            print(f"[bench] work folder kept: {workdir}", file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    return print_report(results, settings, time.monotonic() - began)

if __name__ == "__main__":
    sys.exit(main())
