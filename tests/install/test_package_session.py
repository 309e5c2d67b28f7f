"""A whole session with Murmelo as its Debian package ships it: the .deb made by CPack is
unpacked (not installed), started through its menu entry's command, and drives record, stop
and send on a private display, sound server and mail environment (tests/e2e/harness.py).

Standard library only. Every process started here is stopped by its PID.

    MURMELO_BUILD_DIR, MURMELO_CPACK, MURMELO_VERSION   given by CTest (see test_install.py)
    MURMELO_INSTALL_KEEP=1                              keeps the temporary folder
"""

import os
import re
import shlex
import shutil
import signal
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

import test_install as install  # noqa: E402  (beside this file)
from audio_checks import (RECORDED_SCREEN, SEND_POINT, logged_path, read_wav_samples,  # noqa: E402
                          record_clip, tool_env)
from harness import (BACKGROUND, SYSTEM_PATH, App, Desktop, MailEnv, PulseServer,  # noqa: E402
                     make_speech, parse_mailto, run_tool, spawn, tail)

SUBJECT = "Voice Message"
SPEECH = "This message was sent by the packaged program."
# The programs a session runs from outside the package: the encoder script's and the mail
# hand-off.
SESSION_TOOLS = ("twolame", "xdg-email")
# A desktop entry's field codes (%f, %U, ...) stand for files or URLs; the menu gives none.
FIELD_CODE = re.compile(r"%[a-zA-Z]")


def build_package(folder):
    """The .deb of the build folder, packed as DebianPackageTest packs it; returns its path."""
    install.run([install.CPACK, "-G", "DEB", "-B", folder, "--config",
                 os.path.join(install.BUILD_DIR, "CPackConfig.cmake")],
                cwd=install.BUILD_DIR, timeout=120, umask=0o077)
    arch = install.run(["dpkg", "--print-architecture"]).stdout.strip()
    deb = os.path.join(folder, f"murmelo_{install.VERSION}_{arch}.deb")
    if not os.path.isfile(deb):
        raise AssertionError(f"no {os.path.basename(deb)} in {os.listdir(folder)}")
    return deb


def menu_command(entry):
    """The argument list the menu runs for the entry's Exec line, given no files."""
    return [arg for arg in shlex.split(entry["Exec"]) if not FIELD_CODE.fullmatch(arg)]


def package_depends(deb):
    """Package names of the Depends field (first of each set of alternatives)."""
    depends = install.run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    return {re.sub(r"\s*\(.*\)", "", alternative.split("|")[0]).strip()
            for alternative in depends.split(",")}


def owning_package(path):
    """The installed package that holds path (with or without the merged /usr prefix)."""
    candidates = [path]
    if path.startswith("/usr/"):
        candidates.append(path[len("/usr"):])
    else:
        candidates.append("/usr" + path)
    for candidate in candidates:
        result = install.run(["dpkg-query", "-S", candidate], check=False)
        if result.returncode == 0:
            return result.stdout.split(":", 1)[0].strip()
    raise AssertionError(f"no installed package holds {path}")


class PackagedApp(App):
    """The program started the way its menu entry starts it: the command runs through PATH,
    from an unrelated folder, and the launcher moves it into HOME's state folder."""

    def __init__(self, desktop, pulse, mail, workdir, command, path, media_dir, state_dir):
        # run_dir: where the pictures compared with the screen come from.
        super().__init__(desktop, pulse, mail=mail, workdir=workdir, env={"PATH": path},
                         run_dir=media_dir, with_media=False)
        self.command = command
        self.state_dir = state_dir

    @property
    def log_path(self):
        return os.path.join(self.state_dir, "log1.txt")

    def start(self):
        self.stdout_path = os.path.join(self.workdir, "stdout.txt")
        self.stderr_path = os.path.join(self.workdir, "stderr.txt")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = spawn(self.command, env=self.environment(), cwd=self.cwd, stdout=out,
                              stderr=err, death_signal=signal.SIGKILL, new_session=True)
        self.started_at = time.monotonic()
        return self


class PackageSessionTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.work = install.new_temp_dir("deb-session")
        try:
            cls.deb = build_package(os.path.join(cls.work, "package"))
            cls.root = os.path.join(cls.work, "root")
            install.run(["dpkg-deb", "-x", cls.deb, cls.root])
        except BaseException:
            install.remove_temp_dir(cls.work)
            raise

    @classmethod
    def tearDownClass(cls):
        install.remove_temp_dir(cls.work)

    def unpacked(self, relative):
        return os.path.join(self.root, "usr", relative)

    def menu_entry(self):
        folder = self.unpacked("share/applications")
        entries = [name for name in os.listdir(folder) if name.endswith(".desktop")]
        self.assertEqual(len(entries), 1, f"menu entries in the package: {entries}")
        return install.desktop_entry(os.path.join(folder, entries[0]))

    def test_unpacked_package_records_and_sends_a_message(self):
        for relative in ("bin/murmelo", "lib/murmelo/murmelo", "lib/murmelo/encode.sh",
                         "share/murmelo/media.zip"):
            self.assertTrue(os.path.isfile(self.unpacked(relative)), f"usr/{relative} missing")
        launcher = self.unpacked("bin/murmelo")
        program = self.unpacked("lib/murmelo/murmelo")

        # The menu looks the command up on PATH: the package's bin first, the system's tools
        # (xdg-email, twolame) after it.
        path = self.unpacked("bin") + ":" + SYSTEM_PATH
        command = menu_command(self.menu_entry())
        self.assertEqual(shutil.which(command[0], path=path), launcher,
                         f"the menu command {command} does not run the package's launcher")

        tmp = os.path.join(self.work, "session")
        os.makedirs(tmp)
        desktop = Desktop(tmp)
        self.addCleanup(desktop.stop)
        desktop.start()
        pulse = PulseServer(tmp)
        self.addCleanup(pulse.stop)
        pulse.start()
        mail = MailEnv(tmp)
        home = mail.home
        state = os.path.join(home, ".local", "state", "Murmelo")
        app_dir = os.path.join(tmp, "app")
        os.makedirs(app_dir)
        app = PackagedApp(desktop, pulse, mail, app_dir, command, path,
                          self.unpacked("share/murmelo"), state)
        self.addCleanup(app.stop)
        env = app.environment()
        self.assertNotIn("XDG_STATE_HOME", env)
        data_home = env.get("XDG_DATA_HOME") or os.path.join(home, ".local", "share")
        messages = os.path.join(data_home, "Murmelo", "Messages")
        clip = make_speech(SPEECH, os.path.join(tmp, "speech.wav"))

        app.start()
        app.wait_window()
        # The launcher replaced itself with the packaged program, in HOME's state folder.
        self.assertEqual(os.readlink(f"/proc/{app.pid}/exe"), os.path.realpath(program))
        self.assertEqual(os.readlink(f"/proc/{app.pid}/cwd"), state)
        app.wait_pixel(5, 80, BACKGROUND, timeout=10)
        self.assertEqual(app.find_error_boxes(), [], app.state())

        wav = record_clip(app, pulse, clip)
        log = app.log()
        mp2 = logged_path(log, "outFile")
        self.assertEqual(os.path.dirname(wav), messages)
        # The buttons are drawn from the package's own media.zip.
        for name, x, y in RECORDED_SCREEN:
            app.wait_picture_at(name, x, y, background=BACKGROUND)

        app.click(*SEND_POINT)
        calls = mail.wait_calls(1, timeout=15)
        self.assertEqual(app.wait_exit(timeout=15), 0, app.state())
        log = app.log()

        self.assertEqual(len(calls), 1, calls)
        self.assertEqual(len(calls[0]), 1, f"the mail program got {calls[0]}")
        fields = parse_mailto(calls[0][0])
        self.assertEqual(fields.get("subject"), [SUBJECT])
        self.assertEqual(fields.get("attach"), [mp2])
        self.assertTrue(os.path.isabs(mp2), mp2)
        self.assertEqual(os.path.dirname(mp2), messages)
        self.assertRegex(os.path.basename(mp2), r"^Message_.*\.mp2$")
        self.assertTrue(os.path.isfile(mp2), f"{mp2} is missing")
        self.assertGreater(os.path.getsize(mp2), 0)
        tools = tool_env(tmp)
        self.assertIn("layer II", run_tool(["file", "-b", mp2], tools).stdout)
        # The packaged program heard the microphone: the message holds the speech, not silence.
        decoded = os.path.join(tmp, "decoded.wav")
        run_tool(["mpg123", "-q", "-w", decoded, mp2], tools)
        samples, _ = read_wav_samples(decoded)
        self.assertGreater(max(abs(s) for s in samples), 5000, "the message is nearly silent")

        self.assertIn("Encoding...\n", log)
        self.assertIn("Mail client closed.\n", log)
        self.assertLess(log.index("Encoding...\n"), log.index("Mail client closed.\n"))
        self.assertTrue(log.endswith("Fin.\n"), tail(log))
        self.assertNotIn("Error:", log)
        self.assertFalse(os.path.exists(wav), f"the recording {wav} was left behind")
        self.assertEqual(os.listdir(messages), [os.path.basename(mp2)])
        self.assertEqual(os.listdir(state), ["log1.txt"])
        self.assertEqual(os.listdir(app.cwd), [], "the program wrote where it was started from")
        self.assertEqual(app.stderr(), "")

    def test_package_depends_on_what_the_session_uses(self):
        # Derived from the packaged binary and this system, not from a list of our own: a
        # library linked in later, or a package built without dpkg-shlibdeps, shows up here.
        depends = package_depends(self.deb)
        program = self.unpacked("lib/murmelo/murmelo")
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]",
                            install.run(["readelf", "-d", program]).stdout)
        self.assertTrue(needed, "readelf found no libraries")
        found = dict(re.findall(r"^\s*(\S+) => (/\S+)", install.run(["ldd", program]).stdout,
                                re.M))
        missing = {}
        for library in needed:
            self.assertIn(library, found, f"ldd does not resolve {library}")
            owner = owning_package(found[library])
            if owner not in depends:
                missing[library] = owner
        for tool in SESSION_TOOLS:
            location = shutil.which(tool, path=SYSTEM_PATH)
            self.assertIsNotNone(location, f"{tool} is not installed")
            owner = owning_package(location)
            if owner not in depends:
                missing[tool] = owner
        self.assertEqual(missing, {}, f"Depends: {sorted(depends)}")


if __name__ == "__main__":
    unittest.main()
