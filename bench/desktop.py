"""The private world the benchmark runs in: the end-to-end tests' Xvfb display with openbox
and PulseAudio server with a virtual microphone, and a mail environment whose mail program
only takes notes.

Every process is started here with a parent-death signal and stopped by its PID.
"""

import ctypes
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Desktop, PulseServer  # noqa: E402,F401  (the benchmark's display and sound)

SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
RATE = 16000

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


class BenchError(RuntimeError):
    pass


def spawn(args, env, cwd=None, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
          pass_fds=(), new_group=False):
    """Starts a process that gets SIGTERM if the benchmark dies."""

    def child_setup():
        _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
        if new_group:
            os.setpgid(0, 0)

    return subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=stderr, preexec_fn=child_setup, pass_fds=pass_fds)


def stop(proc, timeout=5.0):
    """SIGTERM, then SIGKILL if it lingers; by PID only."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


def wait_until(predicate, timeout, what, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise BenchError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def tool(args, env, timeout=30, check=True):
    result = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise BenchError(f"{args} exited {result.returncode}: {result.stderr.strip()}")
    return result


class MailEnv:
    """A private XDG environment whose mailto: handler only notes that it was called."""

    def __init__(self, workdir):
        self.root = os.path.join(workdir, "xdg")
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.config_dirs = os.path.join(self.root, "etc-xdg")
        self.data_dirs = os.path.join(self.root, "share")
        self.calls = os.path.join(self.root, "mail-calls")
        apps = os.path.join(self.data_home, "applications")
        bin_dir = os.path.join(self.root, "bin")
        for d in (self.config_home, apps, self.config_dirs, self.data_dirs, bin_dir):
            os.makedirs(d, exist_ok=True)
        handler = os.path.join(bin_dir, "fake-mail")
        with open(handler, "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{self.calls}'\n")
        os.chmod(handler, 0o755)
        with open(os.path.join(apps, "fake-mail.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Fake Mail\n"
                    f"Exec={handler} %u\nMimeType=x-scheme-handler/mailto;\n")
        with open(os.path.join(self.config_home, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/mailto=fake-mail.desktop\n")

    def env(self):
        return {"PATH": SYSTEM_PATH, "HOME": self.home, "XDG_CONFIG_HOME": self.config_home,
                "XDG_CONFIG_DIRS": self.config_dirs, "XDG_DATA_HOME": self.data_home,
                "XDG_DATA_DIRS": self.data_dirs, "LANG": "C.UTF-8"}

    def messages_dir(self):
        return os.path.join(self.data_home, "Murmelo", "Messages")

    def handed_over(self):
        try:
            with open(self.calls) as f:
                return f.read()
        except FileNotFoundError:
            return ""
