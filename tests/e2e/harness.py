"""Drives Murmelo end to end: a private X server with a window manager, a private
sound server, a private mail environment, and the program itself.

Standard library only. Every helper process is started here, stopped by its PID,
and dies with the test process if that is killed (parent-death signal).
Set MURMELO_E2E_KEEP=1 to keep the temporary folders for a look afterwards.
"""

import contextlib
import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import wave
import zipfile

RUN_DIR = os.environ.get("MURMELO_RUN_DIR") or "/work/main/build/run"
KEEP_FILES = os.environ.get("MURMELO_E2E_KEEP") == "1"

# A clean PATH: the program and xdg-email must not see shims or tools of the caller.
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
TOOL_TIMEOUT = 20.0

WINDOW_NAME = "Murmelo"
WINDOW_CLASS = ("murmelo", "Murmelo")
ERROR_BOX_NAME = "Murmelo Error"
CLIENT_SIZE = (368, 321)
BACKGROUND = (202, 255, 112)
HELP_FILL = (255, 255, 204)

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


class HarnessError(AssertionError):
    """A wait that timed out or a tool that failed: reported as a test failure."""


def _describe(what):
    return what() if callable(what) else what


def wait_until(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns something true and returns that.

    what: text (or a callable giving text, evaluated only on failure) naming
    what was awaited, for the failure message.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout:g} s waiting for {_describe(what)}")
        time.sleep(interval)


def make_temp_dir(label):
    safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", label)[-60:]
    path = tempfile.mkdtemp(prefix=f"murmelo-e2e-{safe}-")
    os.chmod(path, 0o755)
    return path


def remove_temp_dir(path):
    if KEEP_FILES:
        print(f"\n[kept {path}]", flush=True)
        return
    shutil.rmtree(path, ignore_errors=True)


def spawn(args, env, cwd=None, stdout=None, stderr=None, death_signal=signal.SIGTERM,
          new_session=False, pass_fds=()):
    """Starts a helper process that receives death_signal if the test process dies."""

    def child_setup():
        _libc.prctl(_PR_SET_PDEATHSIG, int(death_signal), 0, 0, 0)

    return subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=stderr, preexec_fn=child_setup, pass_fds=pass_fds,
                            start_new_session=new_session)


def stop_process(proc, term_timeout=5.0, whole_group=False):
    """Ends a process we started, by its PID: SIGTERM, then SIGKILL if it lingers.

    whole_group: also kill what is left of its process group (the process must
    have been started with new_session=True, so the group id is its PID).
    """
    if proc is None:
        return
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(term_timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)
    if whole_group:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


def run_tool(args, env, timeout=TOOL_TIMEOUT, check=True, binary=False):
    """Runs a short tool to completion; raises HarnessError with its output on failure."""
    try:
        result = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=timeout, text=not binary)
    except subprocess.TimeoutExpired:
        raise HarnessError(f"{args[0]} did not finish within {timeout:g} s: {args}") from None
    except FileNotFoundError:
        raise HarnessError(f"tool {args[0]!r} is not installed") from None
    if check and result.returncode != 0:
        err = result.stderr if not binary else result.stderr.decode(errors="replace")
        raise HarnessError(f"{args} exited {result.returncode}: {err.strip()}")
    return result


def tail(text, lines=15):
    return "\n".join(text.splitlines()[-lines:])


def read_text(path):
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


# ----------------------------------------------------------------------------------------------
# Pictures


class Image:
    """An RGB picture with get(x, y) -> (r, g, b)."""

    def __init__(self, width, height, rgb):
        if len(rgb) != width * height * 3:
            raise HarnessError(f"picture data has {len(rgb)} bytes, expected {width}x{height}x3")
        self.width = width
        self.height = height
        self.rgb = rgb

    @classmethod
    def from_ppm(cls, data):
        # P6 header: magic, width, height, maxval, each separated by white space (no comments
        # from ImageMagick), then one white-space byte and the raster.
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        pos += 1
        if fields[0] != b"P6" or fields[3] != b"255":
            raise HarnessError(f"unexpected picture header {fields!r}")
        return cls(int(fields[1]), int(fields[2]), bytes(data[pos:]))

    def get(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise HarnessError(f"pixel ({x},{y}) outside the {self.width}x{self.height} picture")
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def region(self, x0, y0, x1, y1):
        """The raw RGB bytes of the rectangle [x0, x1) x [y0, y1)."""
        rows = []
        for y in range(y0, y1):
            i = (y * self.width + x0) * 3
            rows.append(self.rgb[i:i + (x1 - x0) * 3])
        return b"".join(rows)

    def count(self, colour, x0=0, y0=0, x1=None, y1=None):
        """How many pixels of the rectangle have exactly this colour."""
        x1 = self.width if x1 is None else x1
        y1 = self.height if y1 is None else y1
        target = bytes(colour)
        n = 0
        for y in range(y0, y1):
            row = self.rgb[(y * self.width + x0) * 3:(y * self.width + x1) * 3]
            n += sum(1 for i in range(0, len(row), 3) if row[i:i + 3] == target)
        return n

    def save(self, path):
        """Writes the picture as PNG (or PPM if the name ends in .ppm)."""
        header = f"P6\n{self.width} {self.height}\n255\n".encode()
        if path.endswith(".ppm"):
            with open(path, "wb") as f:
                f.write(header + self.rgb)
            return
        subprocess.run(["convert", "ppm:-", path], input=header + self.rgb, check=True,
                       timeout=TOOL_TIMEOUT)


def colour_close(a, b, tolerance=0):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


class Picture:
    """An RGBA picture from the program's media archive, get(x, y) -> (r, g, b, a)."""

    def __init__(self, name, width, height, rgba):
        self.name = name
        self.width = width
        self.height = height
        self.rgba = rgba

    def get(self, x, y):
        i = (y * self.width + x) * 4
        return tuple(self.rgba[i:i + 4])


def media_picture(name, run_dir=None):
    """Loads a picture out of media.zip (names compared without case, as the program does)."""
    archive = os.path.join(run_dir or RUN_DIR, "media.zip")
    with zipfile.ZipFile(archive) as z:
        members = [m for m in z.namelist() if os.path.basename(m).lower() == name.lower()]
        if not members:
            raise HarnessError(f"{name} is not in {archive}")
        data = z.read(members[0])
    result = subprocess.run(["convert", "-", "-depth", "8", "-alpha", "on", "pam:-"], input=data,
                            capture_output=True, timeout=TOOL_TIMEOUT)
    if result.returncode != 0:
        raise HarnessError(f"cannot decode {name}: {result.stderr.decode(errors='replace')}")
    header, _, raster = result.stdout.partition(b"ENDHDR\n")
    fields = dict(line.split(" ", 1) for line in header.decode().splitlines()[1:] if " " in line)
    if fields.get("DEPTH") != "4" or fields.get("MAXVAL") != "255":
        raise HarnessError(f"unexpected PAM header for {name}: {fields}")
    return Picture(name, int(fields["WIDTH"]), int(fields["HEIGHT"]), raster)


def blend(colour, background, alpha):
    """What a pixel of the given colour and alpha (0..1) looks like over the background."""
    return tuple(round(b + (c - b) * alpha) for c, b in zip(colour, background))


def picture_mismatches(shot, picture, x0, y0, background, alpha_scale=1.0, brighten=0,
                       tolerance=3):
    """Compares the screen at (x0, y0) with the picture drawn over a plain background.

    alpha_scale: the picture is drawn with its alpha multiplied by this (faded drawing).
    brighten: added to each colour channel of the picture (saturating) before blending.
    Returns [(x, y, expected, seen)] of every screen pixel off by more than tolerance.
    """
    wrong = []
    for y in range(picture.height):
        for x in range(picture.width):
            r, g, b, a = picture.get(x, y)
            colour = tuple(min(255, c + brighten) for c in (r, g, b))
            expected = blend(colour, background, a / 255.0 * alpha_scale)
            seen = shot.get(x0 + x, y0 + y)
            if not colour_close(seen, expected, tolerance):
                wrong.append((x0 + x, y0 + y, expected, seen))
    return wrong


# ----------------------------------------------------------------------------------------------
# X11 desktop


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_TREE_LINE = re.compile(
    r'^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+'
    r'\s+[+]?(-?\d+)[+]?(-?\d+)\s*$')


class WindowEntry:
    """One line of `xwininfo -root -tree`."""

    def __init__(self, wid, name, classes, width, height, x, y):
        self.id = wid
        self.name = name
        self.classes = classes
        self.width = width
        self.height = height
        self.x = x
        self.y = y

    def __repr__(self):
        return f"<window {self.id:#x} {self.name!r} {self.classes} {self.width}x{self.height}>"


class Desktop:
    """A private Xvfb display (1024x768x24) with openbox as the window manager."""

    PARKED_POINTER = (1010, 755)

    def __init__(self, workdir, screen="1024x768x24"):
        self.workdir = os.path.join(workdir, "desktop")
        os.makedirs(self.workdir, exist_ok=True)
        self.screen = screen
        self.display = None
        self.xvfb = None
        self.openbox = None
        self.root = None
        self._x11 = None

    # -- life cycle

    def start(self, timeout=20.0):
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self, timeout):
        read_fd, write_fd = os.pipe()
        try:
            with open(os.path.join(self.workdir, "xvfb.log"), "wb") as log:
                # -displayfd: the server picks a free display number itself (lock files and
                # sockets included) and tells us once it accepts connections.
                self.xvfb = spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.screen,
                                   "-nolisten", "tcp", "-noreset", "-br"],
                                  env=self._base_env(), stdout=log, stderr=log, pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = None
            number = self._read_display_number(read_fd, timeout)
        finally:
            os.close(read_fd)
            if write_fd is not None:
                os.close(write_fd)
        self.display = f":{number}"
        self.root = int(self._xwininfo_fields(["-root"])["Window id"].split()[0], 16)
        self._start_openbox(timeout)
        # The pointer starts in the middle of the screen, where new windows tend to land:
        # park it in a corner so that no window starts with the mouse over it.
        self.move_pointer(*self.PARKED_POINTER)

    def _read_display_number(self, fd, timeout):
        deadline = time.monotonic() + timeout
        text = b""
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError(f"Xvfb did not report a display within {timeout:g} s: "
                                   f"{self._log('xvfb.log')}")
            ready, _, _ = select.select([fd], [], [], min(left, 0.2))
            if ready:
                chunk = os.read(fd, 64)
                if not chunk:
                    raise HarnessError(f"Xvfb exited before reporting a display: {self._log('xvfb.log')}")
                text += chunk
        return int(text.strip())

    def _start_openbox(self, timeout):
        home = os.path.join(self.workdir, "home")
        config_dir = os.path.join(home, ".config", "openbox")
        os.makedirs(config_dir, exist_ok=True)
        system_rc = "/etc/xdg/openbox/rc.xml"
        if os.path.exists(system_rc):
            # The stock settings, less the iconify animation, whose frames screenshots could catch.
            with open(system_rc) as f:
                rc = f.read().replace("<animateIconify>yes</animateIconify>",
                                      "<animateIconify>no</animateIconify>")
            with open(os.path.join(config_dir, "rc.xml"), "w") as f:
                f.write(rc)
        env = dict(self.env(), HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CONFIG_DIRS="/etc/xdg")
        with open(os.path.join(self.workdir, "openbox.log"), "wb") as log:
            self.openbox = spawn(["openbox", "--sm-disable"], env=env, stdout=log, stderr=log)

        def managed():
            if self.openbox.poll() is not None:
                raise HarnessError(f"openbox exited with {self.openbox.returncode}: "
                                   f"{self._log('openbox.log')}")
            out = run_tool(["xprop", "-root", "-notype", "_NET_SUPPORTING_WM_CHECK"], self.env(),
                           check=False).stdout
            match = re.search(r"window id # (0x[0-9a-f]+)", out)
            if not match:
                return False
            # The check window carries the manager's name once it has fully taken over.
            name = run_tool(["xprop", "-id", match.group(1), "-notype", "_NET_WM_NAME"], self.env(),
                            check=False).stdout
            return "Openbox" in name

        wait_until(managed, timeout, "openbox to manage the display")

    @contextlib.contextmanager
    def window_manager_paused(self):
        """Freezes the window manager (SIGSTOP) for the block: stands in for one that lags,
        so requests to it queue up unanswered."""
        self.openbox.send_signal(signal.SIGSTOP)
        try:
            yield
        finally:
            self.openbox.send_signal(signal.SIGCONT)

    def stop(self):
        if self.openbox is not None and self.openbox.poll() is None:
            self.openbox.send_signal(signal.SIGCONT)
        stop_process(self.openbox)
        stop_process(self.xvfb)
        self.openbox = None
        self.xvfb = None

    def _base_env(self):
        return {"PATH": SYSTEM_PATH, "HOME": self.workdir, "LANG": "C.UTF-8"}

    def _log(self, name):
        return tail(read_text(os.path.join(self.workdir, name)), 10)

    def env(self):
        """What a client needs to reach this display."""
        return dict(self._base_env(), DISPLAY=self.display)

    def tool(self, *args, **kw):
        return run_tool(list(args), self.env(), **kw)

    # -- windows

    def windows(self):
        """Every window of the display, from `xwininfo -root -tree`."""
        for attempt in range(10):
            result = self.tool("xwininfo", "-root", "-tree", check=False)
            if result.returncode == 0:
                break
            # A window vanished while the tree was walked: walk it again.
            time.sleep(0.02)
        else:
            raise HarnessError(f"xwininfo -root -tree keeps failing: {result.stderr.strip()}")
        out = result.stdout
        found = []
        for line in out.splitlines():
            m = _TREE_LINE.match(line)
            if m:
                classes = tuple(re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(3)))
                found.append(WindowEntry(int(m.group(1), 16), m.group(2), classes, int(m.group(4)),
                                         int(m.group(5)), int(m.group(6)), int(m.group(7))))
        return found

    def named_windows(self):
        return [w for w in self.windows() if w.name]

    def find_windows(self, name=None, classes=None, viewable=True):
        result = []
        for w in self.windows():
            if name is not None and w.name != name:
                continue
            if classes is not None and w.classes != tuple(classes):
                continue
            if viewable and self.map_state(w.id) != "IsViewable":
                continue
            result.append(w.id)
        return result

    def _xwininfo_fields(self, args, check=True):
        result = self.tool("xwininfo", *args, check=check)
        fields = {}
        for line in result.stdout.splitlines():
            m = re.match(r"^\s*xwininfo: (Window id): (.*)$", line)
            if m:
                fields[m.group(1)] = m.group(2)
                continue
            m = re.match(r"^\s*([A-Za-z][A-Za-z -]*[A-Za-z]):\s+(.*)$", line)
            if m:
                fields[m.group(1)] = m.group(2).strip()
        if result.returncode != 0:
            fields["error"] = result.stderr.strip()
        return fields

    def window_info(self, wid):
        """xwininfo of one window: dict with x, y (absolute), width, height, map_state."""
        f = self._xwininfo_fields(["-id", hex(wid)], check=False)
        if "error" in f:
            return None
        return {"x": int(f["Absolute upper-left X"]), "y": int(f["Absolute upper-left Y"]),
                "width": int(f["Width"]), "height": int(f["Height"]), "map_state": f["Map State"]}

    def map_state(self, wid):
        info = self.window_info(wid)
        return info["map_state"] if info else None

    def parent(self, wid):
        out = self.tool("xwininfo", "-children", "-id", hex(wid)).stdout
        m = re.search(r"Parent window id: (0x[0-9a-f]+)", out)
        if not m:
            raise HarnessError(f"no parent in xwininfo output for {wid:#x}")
        return int(m.group(1), 16)

    def frame_of(self, wid):
        """The top-level ancestor (the window manager's frame) of a client window."""
        current = wid
        for _ in range(10):
            up = self.parent(current)
            if up == self.root:
                return current
            current = up
        raise HarnessError(f"window {wid:#x} is nested too deeply")

    def xprop(self, wid, *props):
        return self.tool("xprop", "-id", hex(wid), *props, check=False).stdout

    def wm_class(self, wid):
        m = re.search(r'WM_CLASS\(STRING\) = (.*)', self.xprop(wid, "WM_CLASS"))
        return tuple(re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(1))) if m else None

    def wm_name(self, wid):
        m = re.search(r'WM_NAME\([A-Z_]+\) = "(.*)"', self.xprop(wid, "WM_NAME"))
        return m.group(1) if m else None

    def net_wm_pid(self, wid):
        m = re.search(r"_NET_WM_PID\(CARDINAL\) = (\d+)", self.xprop(wid, "_NET_WM_PID"))
        return int(m.group(1)) if m else None

    def size_hints(self, wid):
        """WM_NORMAL_HINTS as {'minimum': (w, h), 'maximum': (w, h), ...} (absent keys: unset)."""
        out = self.xprop(wid, "WM_NORMAL_HINTS")
        hints = {}
        for kind, w, h in re.findall(r"specified (minimum|maximum|base) size: (\d+) by (\d+)", out):
            hints[kind] = (int(w), int(h))
        return hints

    def wm_state(self, wid):
        """'Normal', 'Iconic', 'Withdrawn', or None when WM_STATE is absent."""
        m = re.search(r"window state: (\w+)", self.xprop(wid, "WM_STATE"))
        return m.group(1) if m else None

    def screenshot(self, wid):
        """The window's current pixels as an Image (the window must be viewable)."""
        result = self.tool("import", "-silent", "-window", hex(wid), "-depth", "8", "ppm:-",
                           binary=True, check=False)
        if result.returncode != 0 or not result.stdout:
            raise HarnessError(f"screenshot of {wid:#x} failed ({result.returncode}): "
                               f"{result.stderr.decode(errors='replace').strip()}")
        return Image.from_ppm(result.stdout)

    # -- pointer and keyboard

    def pointer(self):
        out = self.tool("xdotool", "getmouselocation", "--shell").stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def move_pointer(self, x, y, timeout=5.0):
        """Moves the pointer to root coordinates and waits until the server has it there."""
        # Not `mousemove --sync`: that waits forever when the pointer is already there.
        self.tool("xdotool", "mousemove", str(x), str(y))
        wait_until(lambda: self.pointer() == (x, y), timeout,
                   lambda: f"the pointer to reach ({x},{y}); it is at {self.pointer()}")

    def button_down(self, button=1):
        self.tool("xdotool", "mousedown", str(button))

    def button_up(self, button=1):
        self.tool("xdotool", "mouseup", str(button))

    def click_button(self, button=1):
        self.tool("xdotool", "click", str(button))

    def key(self, keysym):
        self.tool("xdotool", "key", "--clearmodifiers", keysym)

    def focused(self):
        result = self.tool("xdotool", "getwindowfocus", check=False)
        return int(result.stdout.strip()) if result.returncode == 0 and result.stdout.strip() else None

    def focus(self, wid, timeout=5.0):
        """Asks the window manager to activate the window and waits until it has the focus."""
        self.tool("xdotool", "windowactivate", hex(wid), check=False, timeout=timeout)

        def has_focus():
            current = self.focused()
            if current == wid:
                return True
            # Some windows take the focus on an inner or outer window of their own.
            self.tool("xdotool", "windowfocus", hex(wid), check=False)
            return False

        wait_until(has_focus, timeout, lambda: f"window {wid:#x} to get the focus "
                                                f"(focus is on {self.focused()})", interval=0.05)

    # -- window manager requests

    def _client_message(self, wid, message, data):
        x11 = self._xlib()
        dpy = x11.XOpenDisplay(self.display.encode())
        if not dpy:
            raise HarnessError(f"cannot open display {self.display}")
        try:
            event = _XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.send_event = 1
            event.xclient.display = dpy
            event.xclient.window = wid
            event.xclient.message_type = x11.XInternAtom(dpy, message.encode(), 0)
            event.xclient.format = 32
            for i, value in enumerate(data):
                event.xclient.data[i] = value
            substructure_redirect_and_notify = (1 << 20) | (1 << 19)
            x11.XSendEvent(dpy, x11.XDefaultRootWindow(dpy), 0, substructure_redirect_and_notify,
                           ctypes.byref(event))
            x11.XSync(dpy, 0)
        finally:
            x11.XCloseDisplay(dpy)

    def request_close(self, wid):
        """Asks the window manager to close the window, as its close button would
        (_NET_CLOSE_WINDOW; openbox then sends WM_DELETE_WINDOW to the client)."""
        self._client_message(wid, "_NET_CLOSE_WINDOW", [0, 2])

    def _xlib(self):
        if self._x11 is None:
            x11 = ctypes.CDLL("libX11.so.6")
            x11.XOpenDisplay.restype = ctypes.c_void_p
            x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
            x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
            x11.XDefaultRootWindow.restype = ctypes.c_ulong
            x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
            x11.XInternAtom.restype = ctypes.c_ulong
            x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
            x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                       ctypes.POINTER(_XEvent)]
            x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
            self._x11 = x11
        return self._x11


# ----------------------------------------------------------------------------------------------
# Sound


class PulseServer:
    """A private PulseAudio: null sinks spk (what the program plays) and micsink, whose
    monitor is remapped to the source vmic (what the program records)."""

    RATE = 16000

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "pulse")
        self.runtime = os.path.join(self.dir, "runtime")
        self.socket = os.path.join(self.runtime, "native")
        self.proc = None
        self.captures = []

    def _env(self):
        return {"PATH": SYSTEM_PATH, "HOME": self.dir, "XDG_RUNTIME_DIR": self.runtime,
                "PULSE_RUNTIME_PATH": self.runtime, "PULSE_STATE_PATH": os.path.join(self.dir, "state"),
                "LANG": "C.UTF-8"}

    def client_env(self):
        return {"PULSE_SERVER": f"unix:{self.socket}"}

    def tool_env(self):
        return dict(self._env(), **self.client_env())

    def answers(self):
        return run_tool(["pactl", "info"], self.tool_env(), check=False, timeout=5).returncode == 0

    def start(self, timeout=15.0):
        for sub in ("runtime", "state"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o700, exist_ok=True)
        os.chmod(self.runtime, 0o700)
        if os.path.exists(self.socket) and self.answers():
            raise HarnessError(f"a sound server already answers on {self.socket}")
        script = os.path.join(self.dir, "server.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n"
                    # norewinds: otherwise idle null sinks work in 2-second blocks and lose samples.
                    f"load-module module-null-sink sink_name=spk rate={self.RATE} channels=1 format=s16le norewinds=1\n"
                    f"load-module module-null-sink sink_name=micsink rate={self.RATE} channels=1 format=s16le norewinds=1\n"
                    "load-module module-remap-source source_name=vmic master=micsink.monitor\n"
                    "set-default-sink spk\n"
                    "set-default-source vmic\n")
        log = os.path.join(self.dir, "pulse.log")
        self.proc = spawn(["pulseaudio", "--daemonize=no", "-n", "-F", script, "--exit-idle-time=-1",
                           "--use-pid-file=no", "--disable-shm=yes", "--realtime=no",
                           "--high-priority=no", f"--log-target=file:{log}"],
                          env=self._env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def ready():
            if self.proc.poll() is not None:
                raise HarnessError(f"pulseaudio exited with {self.proc.returncode}: "
                                   f"{tail(read_text(log), 10)}")
            return self.answers()

        try:
            wait_until(ready, timeout, "the sound server to answer `pactl info`", interval=0.05)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        for capture in self.captures:
            stop_process(capture)
        self.captures = []
        stop_process(self.proc)
        self.proc = None

    def kill(self):
        """Takes the server away abruptly (SIGKILL), as a crashed sound service would."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def pactl(self, *args):
        return run_tool(["pactl", *args], self.tool_env()).stdout

    def feed(self, wav, wait=True):
        """Plays a clip into the microphone. wait=False returns the running paplay."""
        # A clip left playing has nobody to read a pipe: its errors go nowhere.
        proc = spawn(["paplay", "--device=micsink", wav], env=self.tool_env(),
                     stdout=subprocess.DEVNULL,
                     stderr=subprocess.PIPE if wait else subprocess.DEVNULL)
        if not wait:
            self.captures.append(proc)
            return proc
        limit = wav_duration(wav) + 20.0
        try:
            _, err = proc.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            raise HarnessError(f"paplay of {wav} did not finish within {limit:g} s") from None
        if proc.returncode != 0:
            raise HarnessError(f"paplay {wav} exited {proc.returncode}: {err.decode(errors='replace')}")
        return proc

    def start_speaker_capture(self, path=None):
        """Records what the program plays (spk.monitor) as raw s16le mono 16 kHz into path."""
        path = path or os.path.join(self.dir, f"speaker-{len(self.captures)}.raw")
        with open(path, "wb") as out:
            proc = spawn(["parec", "--device=spk.monitor", "--format=s16le", f"--rate={self.RATE}",
                          "--channels=1", "--latency-msec=20"],
                         env=self.tool_env(), stdout=out, stderr=subprocess.DEVNULL)
        proc.output_path = path
        self.captures.append(proc)
        return proc

    def stop_speaker_capture(self, capture):
        """Ends a capture and returns its raw samples (bytes, s16le)."""
        stop_process(capture)
        if capture in self.captures:
            self.captures.remove(capture)
        with open(capture.output_path, "rb") as f:
            return f.read()


def wav_duration(path):
    with wave.open(path, "rb") as w:
        return w.getnframes() / float(w.getframerate())


def wav_frames(path):
    """(raw sample bytes, rate, channels, sample width) of a WAV file."""
    with wave.open(path, "rb") as w:
        return w.readframes(w.getnframes()), w.getframerate(), w.getnchannels(), w.getsampwidth()


def make_speech(text, path):
    """Speaks text into a 16 kHz mono 16-bit WAV at path."""
    raw = path + ".espeak.wav"
    env = {"PATH": SYSTEM_PATH, "HOME": os.path.dirname(path) or ".", "LANG": "C.UTF-8"}
    run_tool(["espeak-ng", "-w", raw, text], env)
    run_tool(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", path], env)
    os.remove(raw)
    return path


def make_tone(path, seconds, frequency=440, volume=0.5):
    """A sine tone as a 16 kHz mono 16-bit WAV."""
    env = {"PATH": SYSTEM_PATH, "HOME": os.path.dirname(path) or ".", "LANG": "C.UTF-8"}
    run_tool(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", path, "synth", str(seconds), "sine",
              str(frequency), "vol", str(volume)], env)
    return path


# ----------------------------------------------------------------------------------------------
# Mail


class MailEnv:
    """A private XDG environment in which xdg-email hands mail to a recording fake mail program.

    handler=False leaves no mail program at all (xdg-email then exits 3).
    handler_name 'thunderbird' makes xdg-email use its -compose form.
    handler_exit / handler_delay: what the fake program returns and how long it stays.
    """

    def __init__(self, workdir, handler=True, handler_name="fake-mail", handler_exit=0,
                 handler_delay=0.0):
        self.root = os.path.join(workdir, "xdg")
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.config_dirs = os.path.join(self.root, "etc-xdg")
        self.data_dirs = os.path.join(self.root, "share")
        self.calls_dir = os.path.join(self.root, "mail-calls")
        for d in (self.config_home, self.data_home, self.config_dirs, self.data_dirs, self.calls_dir):
            os.makedirs(d, exist_ok=True)
        self.handler = None
        if handler:
            self._install_handler(handler_name, handler_exit, handler_delay)

    def _install_handler(self, name, exit_code, delay):
        bin_dir = os.path.join(self.root, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        # A real file (not a link): xdg-email looks at the handler's binary name.
        self.handler = os.path.join(bin_dir, name)
        with open(self.handler, "w") as f:
            f.write("#!/bin/sh\n"
                    "# Records each call: one file per call, the arguments NUL-separated.\n"
                    f"calls='{self.calls_dir}'\n"
                    "n=0\n"
                    "while [ -e \"$calls/call-$n\" ] || [ -e \"$calls/call-$n.part\" ]; do n=$((n+1)); done\n"
                    "printf '%s\\0' \"$@\" > \"$calls/call-$n.part\"\n"
                    "mv \"$calls/call-$n.part\" \"$calls/call-$n\"\n"
                    f"sleep {float(delay):g}\n"
                    f"exit {int(exit_code)}\n")
        os.chmod(self.handler, 0o755)
        apps = os.path.join(self.data_home, "applications")
        os.makedirs(apps, exist_ok=True)
        with open(os.path.join(apps, "fake-mail.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Fake Mail\n"
                    f"Exec={self.handler} %u\nMimeType=x-scheme-handler/mailto;\n")
        with open(os.path.join(self.config_home, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/mailto=fake-mail.desktop\n")

    def env(self):
        """The whole environment xdg-email may see (as after `env -i`), less DISPLAY."""
        return {"PATH": SYSTEM_PATH, "HOME": self.home, "XDG_CONFIG_HOME": self.config_home,
                "XDG_CONFIG_DIRS": self.config_dirs, "XDG_DATA_HOME": self.data_home,
                "XDG_DATA_DIRS": self.data_dirs, "LANG": "C.UTF-8"}

    def calls(self):
        """The argument lists of every call of the fake mail program so far, in order."""
        found = []
        for name in os.listdir(self.calls_dir):
            m = re.fullmatch(r"call-(\d+)", name)
            if m:
                with open(os.path.join(self.calls_dir, name), "rb") as f:
                    args = f.read().decode("utf-8", errors="replace").split("\0")[:-1]
                found.append((int(m.group(1)), args))
        return [args for _, args in sorted(found)]

    def wait_calls(self, count=1, timeout=10.0):
        return wait_until(lambda: len(self.calls()) >= count and self.calls(), timeout,
                          lambda: f"{count} call(s) of the mail program (got {len(self.calls())})")


def parse_mailto(uri):
    """{'to': ..., 'subject': [...], 'body': [...], 'attach': [...]} of a mailto: URI."""
    if not uri.startswith("mailto:"):
        raise HarnessError(f"not a mailto URI: {uri!r}")
    address, _, query = uri[len("mailto:"):].partition("?")
    fields = {}
    # Not parse_qs: a '+' in a mailto URI is a plus, not a space.
    for pair in query.split("&") if query else []:
        key, _, value = pair.partition("=")
        fields.setdefault(urllib.parse.unquote(key), []).append(urllib.parse.unquote(value))
    fields["to"] = urllib.parse.unquote(address)
    return fields


# ----------------------------------------------------------------------------------------------
# The program


class App:
    """One run of murmelo in its own working folder.

    cwd: reuse a working folder (to run twice over the same log); otherwise a fresh one.
    env: extra environment; a value of None removes the variable.
    private_run_dir: run a copy of the program, media.zip and encode.sh from a folder of this
    run's own, so that a test may change or remove encode.sh (self.encode_script).
    with_media: put media.zip into the working folder (as a link).
    """

    def __init__(self, desktop, pulse=None, mail=None, workdir=None, cwd=None, env=None,
                 run_dir=None, with_media=True, private_run_dir=False):
        self.desktop = desktop
        self.pulse = pulse
        self.workdir = workdir or make_temp_dir("app")
        self._own_workdir = workdir is None
        self.source_run_dir = run_dir or RUN_DIR
        self.run_dir = self.source_run_dir
        if private_run_dir:
            self.run_dir = os.path.join(self.workdir, "run")
            os.makedirs(self.run_dir, exist_ok=True)
            for name in ("murmelo", "media.zip", "encode.sh"):
                source = os.path.join(self.source_run_dir, name)
                if not os.path.exists(source):
                    raise HarnessError(f"{name} is missing from {self.source_run_dir} (build first, "
                                       f"or set MURMELO_RUN_DIR)")
                # A copy, not a link: the program finds encode.sh beside its resolved path.
                shutil.copy2(source, self.run_dir)
        self.mail = mail or MailEnv(self.workdir)
        self.cwd = cwd or os.path.join(self.workdir, "cwd")
        os.makedirs(self.cwd, exist_ok=True)
        self.data_home = self.mail.data_home
        self.messages_dir = os.path.join(self.data_home, "Murmelo", "Messages")
        self.extra_env = dict(env or {})
        self.with_media = with_media
        self.proc = None
        self.client = None
        self.frame = None
        self.stdout_path = None
        self.stderr_path = None
        self.started_at = None

    @property
    def executable(self):
        return os.path.join(self.run_dir, "murmelo")

    @property
    def encode_script(self):
        return os.path.join(self.run_dir, "encode.sh")

    @property
    def log_path(self):
        return os.path.join(self.cwd, "log1.txt")

    @property
    def pid(self):
        return self.proc.pid

    def environment(self):
        env = self.mail.env()
        if self.desktop is not None:
            env["DISPLAY"] = self.desktop.display
        if self.pulse is not None:
            env.update(self.pulse.client_env())
        for key, value in self.extra_env.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def start(self):
        needed = ["murmelo"] + (["media.zip"] if self.with_media else [])
        for name in needed:
            if not os.path.exists(os.path.join(self.run_dir, name)):
                raise HarnessError(f"{name} is missing from {self.run_dir} (build first, or set "
                                   f"MURMELO_RUN_DIR)")
        media = os.path.join(self.cwd, "media.zip")
        if self.with_media and not os.path.lexists(media):
            os.symlink(os.path.join(self.run_dir, "media.zip"), media)
        run_no = len([n for n in os.listdir(self.workdir) if n.startswith("stdout")])
        self.stdout_path = os.path.join(self.workdir, f"stdout-{run_no}.txt")
        self.stderr_path = os.path.join(self.workdir, f"stderr-{run_no}.txt")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            # Own session: its helpers (encoder, mail hand-off) can be cleaned up as a group.
            self.proc = spawn([self.executable], env=self.environment(), cwd=self.cwd, stdout=out,
                              stderr=err, death_signal=signal.SIGKILL, new_session=True)
        self.started_at = time.monotonic()
        return self

    def stop(self):
        """Ends the program if it still runs (SIGTERM, then SIGKILL) and whatever it left."""
        if self.proc is not None:
            stop_process(self.proc, whole_group=True)
        if self._own_workdir:
            remove_temp_dir(self.workdir)
            self._own_workdir = False

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    # -- output

    def log(self):
        return read_text(self.log_path)

    def messages(self):
        """Names of the files in the program's message folder, sorted."""
        try:
            return sorted(os.listdir(self.messages_dir))
        except FileNotFoundError:
            return []

    def stderr(self):
        return read_text(self.stderr_path) if self.stderr_path else ""

    def stdout(self):
        return read_text(self.stdout_path) if self.stdout_path else ""

    def state(self):
        """A short account of the run, for failure messages."""
        status = "running" if self.running() else f"exited with {self.proc.returncode}"
        return (f"murmelo {status}; log1.txt ends:\n{tail(self.log())}\n--- stderr:\n"
                f"{tail(self.stderr(), 8)}")

    def wait_log(self, text, timeout=10.0, count=1):
        """Waits until text occurs (count times) in log1.txt; returns the log."""

        def seen():
            log = self.log()
            if log.count(text) >= count:
                return log
            if not self.running():
                # One last read: the program may have written it just before ending.
                log = self.log()
                if log.count(text) >= count:
                    return log
                raise HarnessError(f"murmelo ended without logging {text!r} x{count}.\n{self.state()}")
            return None

        return wait_until(seen, timeout, lambda: f"{text!r} x{count} in log1.txt.\n{self.state()}")

    def wait_exit(self, timeout=10.0):
        """Waits for the program to end and returns its exit status."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"murmelo still runs after {timeout:g} s.\n{self.state()}") from None

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    # -- window

    def wait_window(self, timeout=15.0, require_class=True):
        """Waits for the viewable main window; returns (client id, frame id)."""

        def found():
            if not self.running():
                raise HarnessError(f"murmelo ended before showing its window.\n{self.state()}")
            ids = self.desktop.find_windows(WINDOW_NAME, WINDOW_CLASS if require_class else None)
            return ids[0] if len(ids) == 1 else None

        self.client = wait_until(found, timeout, lambda: f"the {WINDOW_NAME!r} window "
                                 f"{WINDOW_CLASS if require_class else ''} on {self.desktop.display}.\n"
                                 f"named windows: {self.desktop.named_windows()}\n{self.state()}", interval=0.05)
        self.frame = self.desktop.frame_of(self.client)
        return self.client, self.frame

    def client_origin(self):
        info = self.desktop.window_info(self.client)
        if info is None:
            raise HarnessError(f"the window {self.client:#x} is gone.\n{self.state()}")
        return info["x"], info["y"]

    def client_geometry(self):
        return self.desktop.window_info(self.client)

    def frame_geometry(self):
        info = self.desktop.window_info(self.frame)
        if info is None:
            raise HarnessError(f"the frame {self.frame:#x} is gone.\n{self.state()}")
        return info

    def screenshot(self):
        shot = self.desktop.screenshot(self.client)
        # A window in the middle of being mapped or moved can come out cut short.
        if (shot.width, shot.height) != CLIENT_SIZE:
            raise HarnessError(f"screenshot of the window is {shot.width}x{shot.height}, "
                               f"not {CLIENT_SIZE[0]}x{CLIENT_SIZE[1]}")
        return shot

    def wait_picture(self, predicate, timeout=5.0, what="the window to show the expected picture"):
        """Takes screenshots until predicate(image) is true; returns that image.
        A screenshot that fails (window in transition) counts as not yet."""
        failure = []

        def check():
            try:
                image = self.screenshot()
            except HarnessError as error:
                failure[:] = [str(error)]
                return None
            failure[:] = []
            return image if predicate(image) else None

        return wait_until(check, timeout, lambda: f"{_describe(what)}"
                          f"{' (last screenshot failed: ' + failure[0] + ')' if failure else ''}"
                          f".\n{self.state()}", interval=0.05)

    def wait_pixel(self, x, y, colour, timeout=5.0, tolerance=0):
        """Waits until client pixel (x, y) has the colour; returns the screenshot."""
        seen = []

        def check(image):
            seen[:] = [image.get(x, y)]
            return colour_close(seen[0], colour, tolerance)

        return self.wait_picture(check, timeout, lambda: f"pixel ({x},{y}) to become {colour} "
                                 f"(it is {seen[0] if seen else '?'})")

    def wait_picture_at(self, name, x, y, background=None, alpha_scale=1.0, brighten=0,
                        timeout=5.0, tolerance=3):
        """Waits until the media picture name shows at client (x, y); returns the screenshot.

        background: the colour under the picture; None compares only its opaque pixels
        (for a background that changes, as while recording).
        """
        picture = media_picture(name, self.run_dir)
        wrong = []

        def shown(shot):
            if background is None:
                wrong[:] = [w for w in picture_mismatches(shot, picture, x, y, (0, 0, 0),
                                                          alpha_scale, brighten, tolerance)
                            if picture.get(w[0] - x, w[1] - y)[3] == 255]
            else:
                wrong[:] = picture_mismatches(shot, picture, x, y, background, alpha_scale,
                                              brighten, tolerance)
            return not wrong

        return self.wait_picture(shown, timeout, lambda: f"{name} at ({x},{y}): {len(wrong)} "
                                 f"pixels differ, first {wrong[:3]}")

    # -- input, in client coordinates

    def to_root(self, x, y):
        ox, oy = self.client_origin()
        return ox + x, oy + y

    def move_mouse(self, x, y):
        self.desktop.move_pointer(*self.to_root(x, y))

    def click(self, x, y, button=1):
        self.move_mouse(x, y)
        self.desktop.click_button(button)

    def press(self, x=None, y=None, button=1):
        if x is not None:
            self.move_mouse(x, y)
        self.desktop.button_down(button)

    def release(self, x=None, y=None, button=1):
        if x is not None:
            self.move_mouse(x, y)
        self.desktop.button_up(button)

    def drag(self, x, y, dx, dy, steps=5, pause=0.03):
        """Presses at client (x, y), moves the pointer by (dx, dy) in steps, releases.
        Returns the root pointer position before and after.

        The program reads the cursor position when it handles a move, so a move to (x, y)
        handled only after the drag has begun shifts the drag's start. To be exact, bring the
        mouse to (x, y) first and wait for the program to show that it saw it there."""
        if self.desktop.pointer() != self.to_root(x, y):
            self.move_mouse(x, y)
        start = self.desktop.pointer()
        self.desktop.button_down()
        try:
            for i in range(1, steps + 1):
                self.desktop.move_pointer(start[0] + dx * i // steps, start[1] + dy * i // steps)
                time.sleep(pause)
        finally:
            self.desktop.button_up()
        return start, self.desktop.pointer()

    def request_close(self):
        """Closes the window the way the window manager's close button does."""
        self.desktop.request_close(self.client)

    # -- error message boxes

    def find_error_boxes(self):
        return self.desktop.find_windows(ERROR_BOX_NAME)

    def wait_error_boxes(self, count=1, timeout=10.0):
        """Waits until exactly count error boxes are shown; returns their ids."""
        return wait_until(lambda: len(self.find_error_boxes()) == count and self.find_error_boxes(),
                          timeout, lambda: f"{count} {ERROR_BOX_NAME!r} box(es) (see "
                          f"{self.find_error_boxes()}).\n{self.state()}", interval=0.05)

    def press_return_on(self, box):
        self.desktop.focus(box)
        self.desktop.key("Return")

    def dismiss_box(self, box, timeout=5.0):
        """Presses Return on the box and waits until it is gone."""
        # A later box may get the same window id (a new connection reuses the freed id
        # range), so a box is told apart by its window manager frame as well.
        frame = self.desktop.frame_of(box)
        self.press_return_on(box)

        def gone():
            if box not in self.find_error_boxes():
                return True
            try:
                return self.desktop.frame_of(box) != frame
            except HarnessError:
                return True

        wait_until(gone, timeout, lambda: f"error box {box:#x} to close after Return.\n{self.state()}")


# ----------------------------------------------------------------------------------------------
# Test base


class MurmeloTestCase(unittest.TestCase):
    """Each test gets its own display, window manager, sound server and folders."""

    with_pulse = True

    def setUp(self):
        self.tmp = make_temp_dir(self.id().split(".", 1)[-1])
        self.addCleanup(remove_temp_dir, self.tmp)
        self.desktop = Desktop(self.tmp)
        self.addCleanup(self.desktop.stop)
        self.desktop.start()
        self.pulse = None
        if self.with_pulse:
            self.pulse = PulseServer(self.tmp)
            self.addCleanup(self.pulse.stop)
            self.pulse.start()
        self._apps = 0

    def start_app(self, env=None, cwd=None, mail=None, pulse="default", **kw):
        """Starts murmelo (own working folder unless cwd is given)."""
        self._apps += 1
        workdir = os.path.join(self.tmp, f"app-{self._apps}")
        os.makedirs(workdir)
        app = App(self.desktop, self.pulse if pulse == "default" else pulse, mail=mail,
                  workdir=workdir, cwd=cwd, env=env, **kw)
        self.addCleanup(app.stop)
        return app.start()

    def start_ready_app(self, **kw):
        """Starts murmelo and waits for its window and its first frame."""
        app = self.start_app(**kw)
        app.wait_window()
        app.wait_pixel(5, 80, BACKGROUND, timeout=10)
        return app

    def assert_orderly_end(self, log, with_close_path=True):
        """The log of one run ends with 'Fin.' and has 'Closing Device...' exactly once before it."""
        self.assertTrue(log.endswith("Fin.\n"), f"log does not end with 'Fin.\\n':\n{tail(log)}")
        if with_close_path:
            self.assertEqual(log.count("Closing Device...\n"), 1, f"log:\n{tail(log)}")
            self.assertLess(log.index("Closing Device...\n"), log.rindex("Fin.\n"))

