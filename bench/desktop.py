"""The private world the benchmark runs in: an Xvfb display with openbox, a PulseAudio server
with a virtual microphone, and a mail environment whose mail program only takes notes.

Every process is started here with a parent-death signal and stopped by its PID.
"""

import ctypes
import os
import re
import select
import signal
import subprocess
import time

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


class Desktop:
    """Xvfb (1024x768x24) with openbox managing it."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "desktop")
        os.makedirs(os.path.join(self.dir, "home", ".config"), exist_ok=True)
        self.display = None
        self.xvfb = None
        self.openbox = None

    def env(self):
        env = {"PATH": SYSTEM_PATH, "HOME": os.path.join(self.dir, "home"), "LANG": "C.UTF-8"}
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def start(self, timeout=20.0):
        read_fd, write_fd = os.pipe()
        try:
            with open(os.path.join(self.dir, "xvfb.log"), "wb") as log:
                # -displayfd: the server picks a free display and says so once it listens.
                self.xvfb = spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp", "-noreset"],
                                  self.env(), stdout=log, stderr=log, pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = None
            text = b""
            deadline = time.monotonic() + timeout
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BenchError("Xvfb named no display in time (see desktop/xvfb.log)")
                if select.select([read_fd], [], [], min(left, 0.2))[0]:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        raise BenchError("Xvfb exited before naming its display")
                    text += chunk
                elif self.xvfb.poll() is not None:
                    raise BenchError("Xvfb exited (see desktop/xvfb.log)")
        finally:
            os.close(read_fd)
            if write_fd is not None:
                os.close(write_fd)
        self.display = ":" + text.decode().strip()
        env = dict(self.env(), XDG_CONFIG_HOME=os.path.join(self.dir, "home", ".config"),
                   XDG_CONFIG_DIRS="/etc/xdg")
        with open(os.path.join(self.dir, "openbox.log"), "wb") as log:
            self.openbox = spawn(["openbox", "--sm-disable"], env, stdout=log, stderr=log)

        def managed():
            if self.openbox.poll() is not None:
                raise BenchError("openbox exited (see desktop/openbox.log)")
            out = tool(["xprop", "-root", "-notype", "_NET_SUPPORTING_WM_CHECK"], self.env(),
                       check=False).stdout
            match = re.search(r"window id # (0x[0-9a-f]+)", out)
            return match and "Openbox" in tool(["xprop", "-id", match.group(1), "-notype",
                                                "_NET_WM_NAME"], self.env(), check=False).stdout

        wait_until(managed, timeout, "openbox to manage the display")
        return self

    def stop(self):
        stop(self.openbox)
        stop(self.xvfb)


class PulseServer:
    """Null sinks spk (what programs play) and micsink, whose monitor is the default source
    vmic (what programs record)."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "pulse")
        self.runtime = os.path.join(self.dir, "runtime")
        self.socket = os.path.join(self.runtime, "native")
        self.proc = None

    def _server_env(self):
        return {"PATH": SYSTEM_PATH, "HOME": self.dir, "XDG_RUNTIME_DIR": self.runtime,
                "PULSE_RUNTIME_PATH": self.runtime,
                "PULSE_STATE_PATH": os.path.join(self.dir, "state"), "LANG": "C.UTF-8"}

    def client_env(self):
        return {"PULSE_SERVER": f"unix:{self.socket}"}

    def tool_env(self):
        return dict(self._server_env(), **self.client_env())

    def answers(self):
        return tool(["pactl", "info"], self.tool_env(), check=False, timeout=5).returncode == 0

    def start(self, timeout=15.0):
        for sub in ("runtime", "state"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o700, exist_ok=True)
        os.chmod(self.runtime, 0o700)
        if os.path.exists(self.socket) and self.answers():
            raise BenchError(f"a sound server already answers on {self.socket}")
        script = os.path.join(self.dir, "server.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 "
                    f"socket={self.socket}\n"
                    # norewinds: otherwise idle null sinks work in 2-second blocks.
                    f"load-module module-null-sink sink_name=spk rate={RATE} channels=1 "
                    f"format=s16le norewinds=1\n"
                    f"load-module module-null-sink sink_name=micsink rate={RATE} channels=1 "
                    f"format=s16le norewinds=1\n"
                    "load-module module-remap-source source_name=vmic master=micsink.monitor\n"
                    "set-default-sink spk\nset-default-source vmic\n")
        self.proc = spawn(["pulseaudio", "--daemonize=no", "-n", "-F", script,
                           "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
                           "--realtime=no", "--high-priority=no",
                           f"--log-target=file:{os.path.join(self.dir, 'pulse.log')}"],
                          self._server_env())

        def ready():
            if self.proc.poll() is not None:
                raise BenchError("pulseaudio exited (see pulse/pulse.log)")
            return self.answers()

        wait_until(ready, timeout, "the sound server", interval=0.05)
        return self

    def feed(self, wav):
        """Plays a clip into the microphone; returns the running paplay."""
        return spawn(["paplay", "--device=micsink", wav], self.tool_env())

    def stop(self):
        stop(self.proc)


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
