"""Checks Murmelo as users get it: `cmake --install` of the build folder into a temporary
prefix, started through the menu entry's command, and the Debian package made by CPack.

Standard library only. Every process started here is stopped by its PID and dies with the
test if that is killed. Set MURMELO_INSTALL_KEEP=1 to keep the temporary folders.

    MURMELO_BUILD_DIR   the configured and built build folder
    MURMELO_CMAKE, MURMELO_CPACK, MURMELO_VERSION   given by CTest
"""

import configparser
import ctypes
import os
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

BUILD_DIR = os.environ.get("MURMELO_BUILD_DIR") or "/work/main/build"
CMAKE = os.environ.get("MURMELO_CMAKE") or "cmake"
CPACK = os.environ.get("MURMELO_CPACK") or "cpack"
VERSION = os.environ.get("MURMELO_VERSION") or "1.0.0"
KEEP_FILES = os.environ.get("MURMELO_INSTALL_KEEP") == "1"

SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
HOMEPAGE = "https://murmelo.example.org/"
NO_DISPLAY_TEXT = "needs a graphical display"
# Library and tool packages the program cannot run without.
REQUIRED_DEPENDS = {"libc6", "libstdc++6", "libirrlicht1.8", "libsdl2-2.0-0", "libx11-6",
                    "twolame", "xdg-utils"}

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def spawn(args, env, cwd=None, log=None, pass_fds=()):
    """Starts a process that gets SIGTERM should this test die first."""

    def child_setup():
        _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
        os.umask(0o022)

    return subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=log, preexec_fn=child_setup, pass_fds=pass_fds)


def stop(proc, timeout=5.0):
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


def run(args, env=None, cwd=None, timeout=60, check=True, umask=0o022):
    """Runs a command to its end; the umask is fixed so that modes can be checked."""
    result = subprocess.run(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=timeout,
                            preexec_fn=lambda: os.umask(umask))
    if check and result.returncode != 0:
        raise AssertionError(f"{args} exited {result.returncode}:\n{result.stdout}{result.stderr}")
    return result


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(0.05)


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def new_temp_dir(label):
    return tempfile.mkdtemp(prefix=f"murmelo-{label}-")


def remove_temp_dir(path):
    if KEEP_FILES:
        print(f"\n[kept {path}]", flush=True)
    else:
        shutil.rmtree(path, ignore_errors=True)


def files_under(root):
    """Every entry below root, as relative paths."""
    found = set()
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG picture")
    return struct.unpack(">II", head[16:24])


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    parser.read_string(read(path))
    return dict(parser["Desktop Entry"])


def launcher_env(home, **extra):
    """A clean session: no XDG_* variables, no sound server, nothing of the caller's."""
    env = {"HOME": home, "PATH": SYSTEM_PATH, "LANG": "C.UTF-8"}
    env.update(extra)
    return env


def expected_tree(app_id):
    """Every file and folder `cmake --install` must write, relative to the prefix."""
    files = {
        "bin/murmelo",
        "lib/murmelo/murmelo",
        "lib/murmelo/encode.sh",
        "share/murmelo/media.zip",
        f"share/applications/{app_id}.desktop",
        f"share/metainfo/{app_id}.metainfo.xml",
        "share/doc/murmelo/copyright",
        f"share/icons/hicolor/scalable/apps/{app_id}.svg",
    }
    files |= {f"share/icons/hicolor/{n}x{n}/apps/{app_id}.png" for n in (16, 32, 48, 256)}
    folders = set()
    for path in files:
        parent = os.path.dirname(path)
        while parent:
            folders.add(parent)
            parent = os.path.dirname(parent)
    return files, folders


class Desktop:
    """A private Xvfb display with openbox managing it."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.xvfb = None
        self.openbox = None
        self.display = None

    def start(self):
        read_fd, write_fd = os.pipe()
        try:
            with open(os.path.join(self.workdir, "xvfb.log"), "wb") as log:
                # The server picks a free display number and reports it once it accepts clients.
                self.xvfb = spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp"],
                                  env={"PATH": SYSTEM_PATH}, log=log, pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = None
            text = b""
            deadline = time.monotonic() + 20
            while not text.endswith(b"\n"):
                if time.monotonic() > deadline or self.xvfb.poll() is not None:
                    raise AssertionError("Xvfb did not start: " +
                                         read(os.path.join(self.workdir, "xvfb.log")))
                if select.select([read_fd], [], [], 0.2)[0]:
                    text += os.read(read_fd, 64)
        finally:
            os.close(read_fd)
            if write_fd is not None:
                os.close(write_fd)
        self.display = ":" + text.decode().strip()

        home = os.path.join(self.workdir, "wm-home")
        os.makedirs(home)
        with open(os.path.join(self.workdir, "openbox.log"), "wb") as log:
            self.openbox = spawn(["openbox", "--sm-disable"],
                                 env=dict(self.env(), HOME=home), log=log)

        def managed():
            if self.openbox.poll() is not None:
                raise AssertionError("openbox exited: " +
                                     read(os.path.join(self.workdir, "openbox.log")))
            out = self.tool("xprop", "-root", "_NET_SUPPORTING_WM_CHECK").stdout
            return "window id #" in out

        wait_until(managed, 20, "openbox to manage the display")

    def stop(self):
        stop(self.openbox)
        stop(self.xvfb)

    def env(self):
        return {"PATH": SYSTEM_PATH, "DISPLAY": self.display}

    def tool(self, *args):
        return run(list(args), env=self.env(), timeout=20, check=False)

    def has_window_titled(self, name):
        return f'"{name}"' in self.tool("xwininfo", "-root", "-tree").stdout

    def window_named(self, name):
        """(id, instance, class) of the top-level client window with that title, or None."""
        tree = self.tool("xwininfo", "-root", "-tree").stdout
        pattern = re.compile(r'^\s*(0x[0-9a-f]+) "' + re.escape(name) +
                             r'": \("([^"]*)" "([^"]*)"\)', re.M)
        match = pattern.search(tree)
        return match.groups() if match else None


class InstalledTreeTest(unittest.TestCase):
    """`cmake --install` into a prefix with a space in its name, run through a symbolic link
    to the launcher, as a user's ~/bin might hold it."""

    @classmethod
    def setUpClass(cls):
        cls.work = new_temp_dir("install")
        cls.prefix = os.path.join(cls.work, "the prefix")
        # A restrictive umask must still give a tree everyone can read.
        run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix], timeout=120, umask=0o077)
        desktops = os.listdir(os.path.join(cls.prefix, "share/applications"))
        if len(desktops) != 1 or not desktops[0].endswith(".desktop"):
            raise AssertionError(f"expected one menu entry, found {desktops}")
        cls.desktop_file = desktops[0]
        cls.app_id = desktops[0][:-len(".desktop")]
        cls.entry = desktop_entry(os.path.join(cls.prefix, "share/applications", desktops[0]))

    @classmethod
    def tearDownClass(cls):
        remove_temp_dir(cls.work)

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def fresh_home(self, label):
        home = os.path.join(self.work, label)
        os.makedirs(home)
        os.chmod(home, 0o755)
        return home

    def test_layout_and_modes(self):
        files, folders = expected_tree(self.app_id)
        self.assertEqual(files_under(self.prefix), files | folders)
        for path in ("bin/murmelo", "lib/murmelo/murmelo", "lib/murmelo/encode.sh"):
            self.assertEqual(mode_of(self.path(path)), 0o755, path)
        for path in files - {"bin/murmelo", "lib/murmelo/murmelo", "lib/murmelo/encode.sh"}:
            self.assertEqual(mode_of(self.path(path)), 0o644, path)
        for path in folders:
            self.assertEqual(mode_of(self.path(path)), 0o755, path)
        with open(self.path("lib/murmelo/murmelo"), "rb") as f:
            self.assertEqual(f.read(4), b"\x7fELF")
        with open(self.path("bin/murmelo"), "rb") as f:
            self.assertEqual(f.readline(), b"#!/bin/sh\n")
        for installed, built in (("share/murmelo/media.zip", "run/media.zip"),
                                 ("lib/murmelo/encode.sh", "run/encode.sh")):
            with open(self.path(installed), "rb") as a, \
                    open(os.path.join(BUILD_DIR, built), "rb") as b:
                self.assertEqual(a.read(), b.read(), f"{installed} differs from the build's")

    def test_menu_entry(self):
        result = run(["desktop-file-validate", self.path(f"share/applications/{self.desktop_file}")],
                     check=False)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        entry = self.entry
        self.assertEqual(entry["Type"], "Application")
        self.assertEqual(entry["Name"], "Murmelo")
        self.assertEqual(entry["GenericName"], "Voice Message Recorder")
        self.assertTrue(entry["Comment"])
        self.assertTrue(entry["Keywords"])
        self.assertEqual(entry["Exec"], "murmelo")
        self.assertEqual(entry["Terminal"], "false")
        self.assertEqual(entry["Categories"].split(";")[:3], ["AudioVideo", "Audio", "Recorder"])
        self.assertEqual(entry["StartupWMClass"], "Murmelo")
        # reverse-DNS: at least three parts, none empty
        self.assertRegex(self.app_id, r"^[a-z][a-z0-9]*(\.[A-Za-z][A-Za-z0-9_]*){2,}$")

    def test_icons(self):
        icon = self.entry["Icon"]
        self.assertFalse(os.path.isabs(icon), "the icon must come from the theme")
        for size in (16, 32, 48, 256):
            self.assertEqual(png_size(self.path(f"share/icons/hicolor/{size}x{size}/apps/{icon}.png")),
                             (size, size))
        svg = ElementTree.parse(self.path(f"share/icons/hicolor/scalable/apps/{icon}.svg"))
        self.assertEqual(svg.getroot().tag, "{http://www.w3.org/2000/svg}svg")

    def test_software_centre_data(self):
        metainfo = self.path(f"share/metainfo/{self.app_id}.metainfo.xml")
        for args in (["appstreamcli", "validate", "--no-net", metainfo],
                     ["appstreamcli", "validate-tree", "--no-net", self.prefix]):
            result = run(args, check=False)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertNotRegex(result.stdout, r"(?m)^[EW]:", "errors or warnings")
        root = ElementTree.parse(metainfo).getroot()
        self.assertEqual(root.get("type"), "desktop-application")
        self.assertEqual(root.findtext("id"), self.app_id)
        self.assertEqual(root.findtext("launchable[@type='desktop-id']"), self.desktop_file)
        self.assertEqual(root.findtext("provides/binary"), "murmelo")
        self.assertEqual(root.findtext("url[@type='homepage']"), HOMEPAGE)
        self.assertEqual(root.findtext("metadata_license"), "CC0-1.0")
        self.assertEqual(root.findtext("project_license"), "MIT")
        self.assertIsNotNone(root.find("content_rating"))
        self.assertTrue(root.findtext("screenshots/screenshot/image").startswith(HOMEPAGE))
        self.assertIn(VERSION, [r.get("version") for r in root.findall("releases/release")])

    def test_state_folder_follows_xdg_state_home(self):
        # Without a display the program stops at once, after writing its log.
        home = self.fresh_home("home-xdg")
        state = os.path.join(self.work, "state home")
        result = run([self.path("bin/murmelo")], check=False,
                     env=launcher_env(home, XDG_STATE_HOME=state))
        self.assertEqual(result.returncode, 1)
        self.assertIn(NO_DISPLAY_TEXT, read(os.path.join(state, "Murmelo/log1.txt")))
        self.assertEqual(mode_of(os.path.join(state, "Murmelo")), 0o700)
        self.assertEqual(mode_of(state), 0o700, "a created parent is private too")
        self.assertEqual(os.listdir(home), [])

    def test_relative_xdg_state_home_is_ignored(self):
        home = self.fresh_home("home-relative")
        cwd = os.path.join(self.work, "cwd-relative")
        os.makedirs(cwd)
        result = run([self.path("bin/murmelo")], check=False, cwd=cwd,
                     env=launcher_env(home, XDG_STATE_HOME="relative/state"))
        self.assertEqual(result.returncode, 1)
        self.assertIn(NO_DISPLAY_TEXT, read(os.path.join(home, ".local/state/Murmelo/log1.txt")))
        self.assertEqual(os.listdir(cwd), [])

    def test_started_from_the_menu_command(self):
        links = os.path.join(self.work, "links")
        os.makedirs(links)
        os.symlink(self.path("bin/murmelo"), os.path.join(links, "murmelo"))
        home = self.fresh_home("home-menu")
        sound = os.path.join(self.work, "sound")
        os.makedirs(sound)
        silence = os.path.join(sound, "microphone.raw")
        open(silence, "wb").close()

        desktop = Desktop(self.work)
        program = None
        try:
            desktop.start()
            env = launcher_env(home, PATH=links + ":" + SYSTEM_PATH, DISPLAY=desktop.display,
                               SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILEIN=silence,
                               SDL_DISKAUDIOFILE=os.path.join(sound, "speaker.raw"))
            # The menu runs Exec through PATH, from wherever it happens to be.
            program = spawn(self.entry["Exec"].split(), env=env, cwd=self.work)
            state = os.path.join(home, ".local/state/Murmelo")

            def program_window():
                if desktop.has_window_titled("Murmelo Error"):
                    raise AssertionError("Murmelo showed an error box; its log ends:\n" +
                                         read(os.path.join(state, "log1.txt"))[-600:])
                return desktop.window_named("Murmelo")

            window = wait_until(program_window, 20, "the Murmelo window")
            self.assertEqual(window[2], self.entry["StartupWMClass"],
                             "desktops match the window to its menu entry by WM_CLASS")

            # The launcher replaced itself with the program, in the state folder.
            self.assertEqual(os.readlink(f"/proc/{program.pid}/exe"),
                             os.path.realpath(self.path("lib/murmelo/murmelo")))
            self.assertEqual(os.readlink(f"/proc/{program.pid}/cwd"), state)
            wait_until(lambda: f"= {program.pid}\n" in
                       desktop.tool("xprop", "-id", window[0], "_NET_WM_PID").stdout,
                       10, "the window to name the program's PID")

            self.assertEqual(files_under(home), {".local", ".local/state", ".local/state/Murmelo",
                                                 ".local/state/Murmelo/log1.txt"})
            for folder in (".local", ".local/state", ".local/state/Murmelo"):
                self.assertEqual(mode_of(os.path.join(home, folder)), 0o700, folder)

            program.send_signal(signal.SIGTERM)
            self.assertEqual(program.wait(20), 0)
            program = None
            log = read(os.path.join(state, "log1.txt"))
            self.assertTrue(log.endswith("\nFin.\n"), log[-300:])
            # Media came from <prefix>/share/murmelo: the state folder holds none.
            self.assertNotIn("Could not create archive", log)
            self.assertIn("Loaded texture", log)
            self.assertEqual(files_under(home), {".local", ".local/state", ".local/state/Murmelo",
                                                 ".local/state/Murmelo/log1.txt"})
        finally:
            stop(program)
            desktop.stop()


class DebianPackageTest(unittest.TestCase):
    """`cpack -G DEB` of the build folder into a temporary folder."""

    @classmethod
    def setUpClass(cls):
        cls.work = new_temp_dir("deb")
        run([CPACK, "-G", "DEB", "-B", cls.work, "--config",
             os.path.join(BUILD_DIR, "CPackConfig.cmake")], cwd=BUILD_DIR, timeout=120,
            umask=0o077)
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        cls.deb = os.path.join(cls.work, f"murmelo_{VERSION}_{arch}.deb")
        if not os.path.isfile(cls.deb):
            raise AssertionError(f"no {os.path.basename(cls.deb)} in {os.listdir(cls.work)}")

    @classmethod
    def tearDownClass(cls):
        remove_temp_dir(cls.work)

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "murmelo")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Section"), "sound")
        self.assertEqual(self.field("Maintainer"), "Murmelo developers <murmelo@example.org>")
        self.assertEqual(self.field("Homepage"), HOMEPAGE)
        depends = self.field("Depends")
        names = {re.sub(r"\s*\(.*\)", "", alternative.split("|")[0]).strip()
                 for alternative in depends.split(",")}
        self.assertLessEqual(REQUIRED_DEPENDS, names, depends)

    def test_contents(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout
        entries = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", path)
            entries[path.rstrip("/")] = mode
        app_id = next(p for p in entries if p.startswith("./usr/share/applications/"))
        app_id = os.path.basename(app_id)[:-len(".desktop")]
        files, folders = expected_tree(app_id)
        expected = {"./usr"} | {"./usr/" + p for p in files | folders}
        self.assertEqual(set(entries), expected)
        for path in ("bin/murmelo", "lib/murmelo/murmelo", "lib/murmelo/encode.sh"):
            self.assertEqual(entries["./usr/" + path], "-rwxr-xr-x", path)
        self.assertEqual(entries["./usr/share/murmelo/media.zip"], "-rw-r--r--")
        # Packed under umask 077: folders must still open to everyone.
        for path in ["./usr"] + ["./usr/" + p for p in folders]:
            self.assertEqual(entries[path], "drwxr-xr-x", path)

    def test_unpacked_package_runs(self):
        # The packaged (stripped) program starts from the packaged launcher and finds no
        # display: proof that the pieces fit together below /usr.
        root = os.path.join(self.work, "unpacked")
        run(["dpkg-deb", "-x", self.deb, root])
        home = os.path.join(self.work, "home")
        os.makedirs(home)
        result = run([os.path.join(root, "usr/bin/murmelo")], env=launcher_env(home), check=False)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(NO_DISPLAY_TEXT, read(os.path.join(home, ".local/state/Murmelo/log1.txt")))


if __name__ == "__main__":
    unittest.main()
