"""Python side of pixelprobe: launch a program and time its first frame, time the answer to a
pointer move or click, and follow the launched program until it ends."""

import os
import signal
import subprocess
import threading
import time

from desktop import BenchError, spawn, stop


def _colours(colours):
    return "/".join(",".join(str(c) for c in colour[:3]) for colour in colours)


def _parse(lines):
    fields = {}
    for line in lines:
        key, _, value = line.strip().partition(" ")
        if key:
            fields[key] = value
    return fields


class Launched:
    """A program started by `pixelprobe launch`, which stays its parent until it ends and
    then reports its exit status and peak memory."""

    def __init__(self, proc, name):
        self.proc = proc
        self.name = name
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.fields = {}
        self.pid = None
        self.startup_ms = None

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.lines.append(line.decode(errors="replace"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)
            self.changed.notify_all()

    def _wait_for(self, keys, timeout):
        """Waits until one of the keys (or the end of the report) has come; returns the
        fields so far."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                self.fields = _parse(line for line in self.lines if line is not None)
                if any(key in self.fields for key in keys) or None in self.lines:
                    return self.fields
                left = deadline - time.monotonic()
                if left <= 0:
                    return self.fields
                self.changed.wait(left)

    def wait_first_frame(self, timeout):
        fields = self._wait_for(("colour", "exit"), timeout)
        if "pid" in fields:
            self.pid = int(fields["pid"])
        if "startup_ms" not in fields:
            self.terminate()
            self.reader.join(5)
            raise BenchError(f"{self.name} showed no first frame: "
                             f"{''.join(line for line in self.lines if line)}".strip())
        self.startup_ms = float(fields["startup_ms"])

    def wait(self, timeout=30.0):
        """Waits for the end; returns (exit status, peak resident set in kB from wait4)."""
        fields = self._wait_for(("maxrss_kb",), timeout)
        if "maxrss_kb" not in fields:
            raise BenchError(f"{self.name} (pid {self.pid}) still runs after {timeout:g} s")
        self.proc.wait(10)
        return int(fields["exit"]), int(fields["maxrss_kb"])

    def terminate(self, timeout=10.0):
        """Ends the program if it still runs: SIGTERM, then SIGKILL, both passed on by the
        probe, which also ends what the program left in its process group."""
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            if self.proc.poll() is not None:
                break
            self.proc.send_signal(signal_number)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        stop(self.proc)


class Probe:
    def __init__(self, executable, env):
        self.executable = executable
        self.env = env

    def launch(self, program, window, pixel, expect, env, cwd, output, timeout_ms=15000):
        args = [self.executable, "launch", "--window", window, "--pixel", f"{pixel[0]},{pixel[1]}",
                "--expect", _colours(expect), "--timeout", str(timeout_ms), "--cwd", cwd,
                "--output", output, "--", program]
        with open(output + ".probe", "wb") as errors:
            proc = spawn(args, env, stdout=subprocess.PIPE, stderr=errors)
        launched = Launched(proc, os.path.basename(program))
        launched.wait_first_frame(timeout_ms / 1000 + 10)
        return launched

    def act(self, window, move=None, click=None, pixel=None, expect=(), timeout_ms=5000):
        """Moves or clicks at client coordinates and, given a pixel, waits for its colour.
        Returns {'latency_ms': ..., 'action_at': ...} (empty without a pixel)."""
        args = [self.executable, "act", "--window", window, "--timeout", str(timeout_ms)]
        if move:
            args += ["--move", f"{move[0]},{move[1]}"]
        if click:
            args += ["--click", f"{click[0]},{click[1]}"]
        if pixel:
            args += ["--pixel", f"{pixel[0]},{pixel[1]}", "--expect", _colours(expect)]
        result = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=timeout_ms / 1000 + 10)
        fields = _parse(result.stdout.splitlines())
        if result.returncode != 0:
            what = "move" if move else "click" if click else "wait"
            raise BenchError(f"pixelprobe {what} at {move or click} watching {pixel} for "
                             f"{_colours(expect)} failed ({result.returncode}): "
                             f"{result.stdout.strip()} {result.stderr.strip()}")
        return {key: float(value) for key, value in fields.items()
                if key in ("latency_ms", "action_at")}
