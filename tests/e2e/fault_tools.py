"""Shared helpers of the fault and bad-input tests: where the buttons stand, what each screen
looks like, the recording's WAV header, the process's resources, and a check that the log
tells a story the program's modes allow."""

import os
import re
import shlex
import struct
import subprocess
import sys
import time

from harness import (App, HarnessError, MurmeloTestCase, SYSTEM_PATH, media_picture, run_tool,
                     spawn, tail, wait_until)

from audio_checks import (CLOSE_POINT, PLAY_POINT, RECORD_AGAIN_POINT, RECORD_POINT,  # noqa: F401
                          SEND_POINT, STOP_POINT)

# Inside the stop button but between the recorded screen's play and send buttons: a click
# here stops a playback and hits nothing if the playback has just ended by itself.
STOP_ONLY_POINT = (210, 135)

# Top-left corners of the pictures on each screen.
PICTURES = {
    "brec.png": (150, 101),
    "bstop.png": (153, 104),
    "brecagain.png": (43, 101),
    "bplay.png": (137, 103),
    "bmail.png": (228, 102),
}
SCREENS = {
    "ready": ("brec.png",),
    "stop": ("bstop.png",),
    "recorded": ("brecagain.png", "bplay.png", "bmail.png"),
}

BYTES_PER_SECOND = 32000
HEADER_BYTES = 44
CAPTURE_CHUNK_BYTES = 2048

TEXT_SAVE_FAILED = "There was a problem while saving the recording."
TEXT_ENGINE = "The sound engine could not be created."
TEXT_RECORDER = "The sound recorder could not be created."
TEXT_PICTURES = "The program's pictures could not be loaded (media.zip)."
TEXT_COMPRESS = "Failed to compress the message."
TEXT_NO_XDG_EMAIL = ("Murmelo cannot find xdg-email (package xdg-utils), which it needs to hand "
                     "messages to your mail program.")
TEXT_NO_DATA_FOLDER = "Could not locate Application Data directory.\nError code {}."
TEXT_DISK_ACCESS = "The recording could not be started, disk access failed."

STAMP = (r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun)_(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
         r"_\d\d_\d{6}_\d{4}")
WAV_NAME = re.compile(rf"Temp_{STAMP}\.wav")


# ----------------------------------------------------------------------------------------------
# Screens


class _OpaquePixels:
    """The fully opaque pixels of a media picture, which show unchanged on any background."""

    cache = {}

    @classmethod
    def of(cls, name, run_dir):
        key = (name, run_dir)
        if key not in cls.cache:
            picture = media_picture(name, run_dir)
            pixels = []
            for y in range(picture.height):
                for x in range(picture.width):
                    r, g, b, a = picture.get(x, y)
                    if a == 255:
                        pixels.append((x, y, (r, g, b)))
            cls.cache[key] = pixels
        return cls.cache[key]


def picture_shown(shot, name, run_dir, tolerance=3):
    """True when the picture stands at its place, plain or brightened by the mouse over it."""
    x0, y0 = PICTURES[name]
    pixels = _OpaquePixels.of(name, run_dir)
    for brighten in (0, 30):
        ok = True
        for x, y, colour in pixels:
            seen = shot.get(x0 + x, y0 + y)
            if any(abs(s - min(255, c + brighten)) > tolerance for s, c in zip(seen, colour)):
                ok = False
                break
        if ok:
            return True
    return False


def screen_of(shot, run_dir):
    """'ready', 'stop' (recording or playing), 'recorded', or None for anything else."""
    found = [kind for kind, names in SCREENS.items()
             if all(picture_shown(shot, n, run_dir) for n in names)]
    return found[0] if len(found) == 1 else None


def wait_screen(app, kind, timeout=5.0):
    """Waits until the window shows that screen; returns the screenshot."""
    seen = []

    def check(shot):
        seen[:] = [screen_of(shot, app.run_dir)]
        return seen[0] == kind

    return app.wait_picture(check, timeout, lambda: f"the {kind!r} screen (it shows "
                            f"{seen[0] if seen else '?'!r}).\n{app.state()}")


class Clicker:
    """Clicks into the window with one xdotool call a click (the window must not move)."""

    def __init__(self, app):
        self.app = app
        self.origin = app.client_origin()

    def click(self, x, y, repeat=1, delay_ms=0):
        args = ["xdotool", "mousemove", str(self.origin[0] + x), str(self.origin[1] + y),
                "click"]
        if repeat > 1:
            args += ["--repeat", str(repeat), "--delay", str(delay_ms)]
        self.app.desktop.tool(*args, "1")


def park_window(app, x, y, timeout=5.0):
    """Has the window manager move the program's window (its frame) to root (x, y), where a
    message box centred on the screen does not cover it; returns a fresh Clicker."""
    app.desktop.tool("xdotool", "windowmove", hex(app.client), str(x), str(y))

    def arrived():
        frame = app.frame_geometry()
        return (frame["x"], frame["y"]) == (x, y)

    wait_until(arrived, timeout, lambda: f"the window's frame to move to ({x},{y}); it is at "
                                         f"{app.frame_geometry()}")
    return Clicker(app)


def uncovered_points(app, box, points):
    """The points (client coordinates) that the message box does not cover."""
    frame = app.desktop.window_info(app.desktop.frame_of(box))
    ox, oy = app.client_origin()
    return [(x, y) for x, y in points
            if not (frame["x"] <= ox + x < frame["x"] + frame["width"]
                    and frame["y"] <= oy + y < frame["y"] + frame["height"])]


# ----------------------------------------------------------------------------------------------
# Recordings


def wav_header(path):
    """(RIFF length, data length, file size) of a recording, read from its first 44 bytes."""
    with open(path, "rb") as f:
        head = f.read(HEADER_BYTES)
        size = os.fstat(f.fileno()).st_size
    if len(head) < HEADER_BYTES:
        raise HarnessError(f"{path} has only {len(head)} bytes")
    if head[0:4] != b"RIFF" or head[8:16] != b"WAVEfmt " or head[36:40] != b"data":
        raise HarnessError(f"{path} does not start like a WAV file: {head!r}")
    total_len = struct.unpack_from("<I", head, 4)[0]
    data_len = struct.unpack_from("<I", head, 40)[0]
    return total_len, data_len, size


def sox_stat(path, *effects):
    """`sox path -n [effects] stat` as a dict of its numbers ('Length (seconds)', ...)."""
    env = {"PATH": SYSTEM_PATH, "HOME": os.path.dirname(path), "LANG": "C"}
    result = run_tool(["sox", path, "-n", *effects, "stat"], env)
    stats = {}
    for line in result.stderr.splitlines():
        key, sep, value = line.partition(":")
        if sep:
            try:
                stats[key.strip()] = float(value.split()[0])
            except (ValueError, IndexError):
                pass
    if "Length (seconds)" not in stats:
        raise HarnessError(f"sox stat of {path} gave no length:\n{result.stderr}")
    return stats


def recordings(app):
    return [n for n in app.messages() if n.startswith("Temp_")]


# ----------------------------------------------------------------------------------------------
# The process


def process_resources(pid):
    """(open descriptors, threads, resident kB) of a running process."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, threads, rss


# A wrapper that starts the program with a file size limit; SIGXFSZ ignored, so that a write
# past the limit fails with EFBIG as on a full disk instead of killing the program.
_LIMIT_WRAPPER = ("import os, resource, signal, sys; "
                  "signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
                  "limit = int(sys.argv[1]); "
                  "resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)); "
                  "os.execv(sys.argv[2], sys.argv[2:])")


class FileSizeLimitedApp(App):
    """The program started through a wrapper that limits the size of every file it writes
    (the log included). The wrapper execs the program: the PID stays the same."""

    limit_bytes = 200000

    @property
    def executable(self):
        return os.path.join(self.workdir, "limited-murmelo")

    def start(self):
        real = os.path.join(self.run_dir, "murmelo")
        with open(self.executable, "w") as f:
            f.write("#!/bin/sh\n"
                    f"exec {shlex.quote(sys.executable)} -c {shlex.quote(_LIMIT_WRAPPER)} "
                    f"{self.limit_bytes} {shlex.quote(real)}\n")
        os.chmod(self.executable, 0o755)
        return super().start()


# ----------------------------------------------------------------------------------------------
# The log as a sequence of mode changes


_EVENTS = [
    ("record", re.compile(r"^inFile: ")),
    ("stored", re.compile(r"^sizeBytes: ")),
    ("play", re.compile(r"^Started Playing$")),
    ("no-play", re.compile(r"^Playback could not be started\.$")),
    ("played", re.compile(r"^SoundStopReason: (\d+)$")),
    ("error", re.compile(r"^Error: ")),
    ("closing", re.compile(r"^Closing Device\.\.\.$")),
    ("fin", re.compile(r"^Fin\.$")),
]


def log_events(log):
    """The mode-changing lines of a log, as [(kind, line)]."""
    events = []
    for line in log.splitlines():
        for kind, pattern in _EVENTS:
            if pattern.match(line):
                events.append((kind, line))
                break
    return events


def replay_modes(events):
    """Walks the events through the modes the program allows (ready, recording, recorded,
    playing) and returns the final mode. Raises AssertionError at the first event that the
    mode at that point does not allow."""
    mode = "ready"
    allowed = {
        "record": ("ready", "recorded"),
        "stored": ("recording",),
        "play": ("recorded",),
        "no-play": ("recorded",),
        "played": ("playing",),
    }
    after = {"record": "recording", "stored": "recorded", "play": "playing",
             "no-play": "recorded", "played": "recorded"}
    closed = False
    for index, (kind, line) in enumerate(events):
        if kind in ("error", "closing", "fin"):
            closed = closed or kind != "error"
            continue
        if closed:
            raise AssertionError(f"event {index} {line!r} after the program began to close")
        if mode not in allowed[kind]:
            raise AssertionError(f"event {index} {line!r} in mode {mode!r}; events:\n"
                                 + "\n".join(l for _, l in events))
        mode = after[kind]
    return mode


class FaultTestCase(MurmeloTestCase):
    """Starts the program with a choice of App class and offers the common steps."""

    def launch(self, app_class=App, env=None, cwd=None, mail=None, pulse="default", **kw):
        self._apps += 1
        workdir = os.path.join(self.tmp, f"app-{self._apps}")
        os.makedirs(workdir)
        app = app_class(self.desktop, self.pulse if pulse == "default" else pulse, mail=mail,
                        workdir=workdir, cwd=cwd, env=env, **kw)
        self.addCleanup(app.stop)
        return app.start()

    def launch_ready(self, **kw):
        app = self.launch(**kw)
        app.wait_window()
        wait_screen(app, "ready", timeout=10)
        return app

    def record(self, app, clicker, point=RECORD_POINT):
        """Starts a recording; returns the recording's path."""
        count = app.log().count("inFile: ") + 1
        clicker.click(*point)
        log = app.wait_log("inFile: ", count=count)
        return re.findall(r"^inFile: (.*)$", log, re.M)[count - 1]

    def stop_recording(self, app, clicker):
        count = app.log().count("sizeBytes: ") + 1
        clicker.click(*STOP_POINT)
        app.wait_log("sizeBytes: ", count=count)
        return wait_screen(app, "recorded")

    def wait_error_box_text(self, app, text, count=1, timeout=10.0):
        """Waits for the one message box and its line in the log."""
        boxes = app.wait_error_boxes(1, timeout=timeout)
        log = app.wait_log(f"Error: {text}\n", count=count)
        return boxes[0], log

    def assert_single_box_then_orderly_end(self, app, text):
        """One message box with this text, Return, and an orderly end."""
        box, _ = self.wait_error_box_text(app, text)
        app.dismiss_box(box)
        self.assertEqual(app.wait_exit(15), 0, app.state())
        log = app.log()
        self.assertEqual(log.count("Error: "), 1, f"log:\n{tail(log, 30)}")
        self.assert_orderly_end(log)
        self.assertEqual(app.find_error_boxes(), [])
        return log


def no_error_boxes_for(app, seconds):
    """True when no message box shows up within the time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if app.find_error_boxes():
            return False
        time.sleep(0.1)
    return True


def feed_microphone(pulse, wav):
    """Plays a clip into the microphone in the background; the sound server's cleanup ends it."""
    proc = spawn(["paplay", "--device=micsink", wav], env=pulse.tool_env(),
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pulse.captures.append(proc)
    return proc
