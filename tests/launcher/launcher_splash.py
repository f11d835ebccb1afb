#!/usr/bin/python3
"""The splash window of launcher.exe under wine64 and Xvfb (1024 by 768):
its place and size, the picture or the application-workspace fill, how long
it stays, the bounded timer, and an early close. windowprobe.exe watches the
window from the same Wine prefix. The splash also keeps the launcher running
while captureparent.exe, which started it, looks at its standard handles,
and while a second launcher starts beside it.
Usage: launcher_splash.py <launcher.exe> <childprobe.exe> <windowprobe.exe> <captureparent.exe> [test name...]"""
import os
import re
import struct
import subprocess
import sys
import time
import unittest
import zlib

import launcher_rig as rig
from launcher_rig import FAILED, LauncherCase, win

PROBE = PARENT = STATION = None
DESKTOP = (1024, 768)
QUADRANTS = ((0xD0, 0x20, 0x20), (0x20, 0xB0, 0x30), (0x20, 0x40, 0xD0), (0xF0, 0xE0, 0x10))


def png(width, height):
    """A PNG in four coloured quadrants (top left, top right, bottom left, bottom right)."""
    rows = b""
    for y in range(height):
        row = b"\0"
        for x in range(width):
            row += bytes(QUADRANTS[(2 if y >= height // 2 else 0) + (1 if x >= width // 2 else 0)]) + b"\xff"
        rows += row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def hexcolour(rgb):
    return "%02X%02X%02X" % rgb


class Splash(LauncherCase):
    def splash(self, millisec, image=None, image_bytes=None, close=None, points=()):
        config = f"[splash]\nmillisec = {millisec}\n"
        if image:
            config += f'image = "{image}"\n'
        if image_bytes is not None:
            with open(os.path.join(self.app, image), "wb") as f:
                f.write(image_bytes)
        exe = self.install(config=config + self.config())
        return self.once_more_on_wine_glitch(lambda: self.show(exe, close, points))

    def show(self, exe, close, points):
        """One start of the launcher, watched by the window probe."""
        proc = self.start_launcher(exe, debug="-all,warn+debugstr,trace+msg")
        args = [rig.LOADER, PROBE, "30000"] + ([close] if close else [])
        for x, y in points:
            args += [str(x), str(y)]
        probe = subprocess.run(args, env=dict(os.environ, WINEDEBUG="-all", WINEPREFIX=rig.PREFIX),
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        run = self.finish_launcher(proc, children=1)
        seen = {}
        for line in probe.stdout.splitlines():
            key, _, value = line.partition(" ")
            seen.setdefault(key, []).append(value)
        self.assertIn("found", seen, probe.stdout)
        run.rect = tuple(int(v) for v in seen["rect"][0].split())
        run.style = int(seen["style"][0], 16)
        run.workspace = seen["workspace"][0]
        run.pixels = [v.split()[2] for v in seen.get("pixel", [])]
        run.shown, run.hidden = int(seen["shownTick"][0]), int(seen["hiddenTick"][0])
        timers = re.findall(r"NtUserSetTimer Added \S+ (\w+) \(nil\) timeout (\d+)", run.trace)
        run.timers = [(int(t, 16), int(ms)) for t, ms in timers]
        self.assertEqual(run.rc, 0)
        return run

    def assert_centred(self, run, width, height):
        left, top = (DESKTOP[0] - width) // 2, (DESKTOP[1] - height) // 2
        if DESKTOP[0] < width:  # the launcher's division truncates toward zero
            left = -((width - DESKTOP[0]) // 2)
        if DESKTOP[1] < height:
            top = -((height - DESKTOP[1]) // 2)
        self.assertEqual(run.rect, (left, top, left + width, top + height))

    def test_png_gives_a_popup_of_its_size_showing_the_picture_for_millisec(self):
        run = self.splash(1500, "splash.png", png(300, 150), points=((75, 37), (225, 37), (75, 112), (225, 112)))
        self.assert_centred(run, 300, 150)
        self.assertEqual(run.style & 0xFFFF0000, 0x90000000 | 0x04000000)  # WS_POPUP | WS_VISIBLE (| clip siblings)
        self.assertEqual(run.pixels, [hexcolour(c) for c in QUADRANTS])
        self.assertEqual(run.timers, [(15, 1500)])
        stayed = run.hidden - run.shown
        # The probe sees the window shown a scheduling delay late; on a busy
        # machine that has reached 400 ms.
        self.assertGreaterEqual(stayed, 1500 - 500, "the timer starts just after the window is shown")
        self.assertLessEqual(stayed, 1500 + 500)
        started = int(self.record("app.jar")["startTick"])
        self.assertLess(started, run.hidden, "the job was started while the splash was up")

    def test_without_a_usable_picture_the_window_is_400_by_200_and_filled(self):
        ico = struct.pack("<HHHBBBBHHII", 0, 1, 1, 32, 32, 0, 0, 1, 32, 0, 22) + png(32, 32)
        # name: (image, its bytes or None for no file, the one error line)
        cases = {"none": (None, None, None), "empty": ("splash.empty", b"", "CreateIconFromResourceEx "),
                 "ico": ("splash.ico", ico, "CreateIconFromResourceEx "),
                 "device": ("NUL", None, "err:1 GetFileType "),
                 "too large": ("big.png", png(32, 32) + bytes(16 << 20), "err:223 GetFileSizeEx ")}
        for name, (image, data, error) in cases.items():
            with self.subTest(name):
                for f in os.listdir(self.data):
                    os.remove(os.path.join(self.data, f))
                run = self.splash(600, image, data, points=((5, 5), (200, 100), (395, 195)))
                self.assert_centred(run, 400, 200)
                self.assertEqual(run.pixels, [run.workspace] * 3)
                errors = [l for l in run.lines() if " err:" in l]
                self.assertEqual(len(errors), 0 if error is None else 1, run.log)
                if error:
                    self.assertIn(error, errors[0])

    def test_at_150_percent_the_picture_keeps_its_size_scaled_smoothly(self):
        """Wine takes the screen's scale from the desktop's LogPixels."""
        desktop = ["reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/f"]
        wine = dict(env=dict(os.environ, WINEDEBUG="-all", WINEPREFIX=rig.PREFIX), capture_output=True, check=True)
        subprocess.run([rig.LOADER, *desktop, "/t", "REG_DWORD", "/d", "144"], **wine)
        self.addCleanup(subprocess.run, [rig.LOADER, *desktop, "/t", "REG_DWORD", "/d", "96"], **wine)
        run = self.splash(1000, "splash.png", png(300, 150),
                          points=((112, 56), (337, 56), (112, 168), (337, 168), (225, 112)))
        self.assert_centred(run, 450, 225)
        self.assertEqual(run.pixels[:4], [hexcolour(c) for c in QUADRANTS])
        self.assertNotIn(run.pixels[4], [hexcolour(c) for c in QUADRANTS], "blended where two quadrants meet")

    def test_picture_larger_than_the_desktop_has_negative_origin(self):
        run = self.splash(500, "big.png", png(1200, 901))
        self.assert_centred(run, 1200, 901)
        self.assertEqual(run.rect[:2], (-88, -66))

    def test_long_splash_is_held_to_a_minute_and_closes_early_on_wm_close(self):
        """The probe posts WM_CLOSE the moment the window exists, mostly
        before the launcher has posted its start message: the job still
        starts, and the launcher ends at once."""
        run = self.splash(120000, close="closefirst")
        self.assertEqual(run.timers, [(15, 60000)])
        self.assertLess(run.seconds, 20, "WM_CLOSE ended the launcher at once")
        self.assertEqual(self.record("app.jar")["commandLine"],
                         f'"{win(rig.CHILD)}" {self.crash_file()}-Xmx512m  -jar "{win(self.app)}\\app.jar" ',
                         "the job had been started")

    def test_a_parent_capturing_the_output_keeps_its_handles_from_the_child(self):
        """Started as a script that captures its output starts it (an
        inheritable file as standard output and error, one more inheritable
        handle, inheritance on), the launcher hands Java only the child's own
        standard handles, while its own stay the parent's file."""
        exe = self.install(config="[splash]\nmillisec = 1000\n" + self.config())
        capture = os.path.join(self.dir, "capture.txt")
        run = self.once_more_on_wine_glitch(lambda: self.finish_launcher(
            self.start_launcher(exe, windows_path=win(exe), parent=(PARENT, win(capture))), children=1))
        self.assertEqual(run.output.split(), ["stdout", "capture", "stderr", "capture", "exit", "0"])
        held = self.record("app.jar")["handle"]
        self.assertEqual([h for h in held if h.endswith((".log", ".txt"))],
                         [f"\\\\?\\{win(self.logs)}\\{n}_launcher.log" for n in ("out", "err")])
        self.assertEqual(self.read(os.path.join(self.logs, "out_launcher.log")), b"stdout of app.jar\n")
        self.assertEqual(self.read(capture), b"")

    def test_a_second_launcher_logs_its_whole_start_and_leaves_the_first_ones_output_logs(self):
        """The first launcher still shows its splash and its child still
        writes its output logs when a second launcher of the same name starts
        with the same log folder: both log every line of their start, whole,
        to the one diagnostic log, and the second child writes beside the
        first one's output logs."""
        first = self.install(config="[splash]\nmillisec = 8000\n" + self.config(jar="a.jar"))
        second_data = self.mkdir("data2")
        second_app = self.mkdir("app2")
        open(os.path.join(second_app, "b.jar"), "wb").close()
        second = self.install(folder=second_app, config=self.config(jar="b.jar").replace(
            rig.toml_str(win(self.data)), rig.toml_str(win(second_data))))
        log_path = self.log_path(first)
        before = os.path.getsize(log_path) if os.path.exists(log_path) else 0
        running = self.start_launcher(first, ["--sleep=10000"])
        self.wait_for_children(1)
        self.finish_launcher(self.start_launcher(second, ["--sleep=1"]))
        self.finish_launcher(running)
        with open(log_path, "rb") as f:
            f.seek(before)
            lines = f.read().decode("latin-1").split("\n")[:-1]
        for line in lines:
            self.assertRegex(line, "^" + rig.HEADER + r"\w+:\d+:\w+ [^\n]*$")
        starts = [l for l in lines if "application=" in l or "moduleDir=" in l or "currentDirectory=" in l]
        self.assertEqual(len(starts), 6, "\n".join(lines))
        user = re.search(r"user=\S*\\(\S+) ", "\n".join(lines)).group(1)
        self.assertIn(f"outLog={win(self.logs)}\\out_launcher.{user}.log", "\n".join(lines))
        # Both children done, the first one's sleep over: nothing of theirs
        # runs on into the next test.
        deadline = time.monotonic() + 60
        while not (os.path.exists(os.path.join(second_data, "b.jar.awake"))
                   and os.path.exists(os.path.join(self.data, "a.jar.awake"))) and time.monotonic() < deadline:
            time.sleep(0.2)
        for kind in ("out", "err"):
            self.assertEqual(self.read(os.path.join(self.logs, f"{kind}_launcher.log")), f"std{kind} of a.jar\n".encode())
            self.assertEqual(self.read(os.path.join(self.logs, f"{kind}_launcher.{user}.log")),
                             f"std{kind} of b.jar\n".encode())


class FailureBox(LauncherCase):
    """A start that can start no Java ends its splash at once, shows one box
    saying what failed and where the diagnostic log is, and exits with 7."""

    def failing(self, exe):
        proc = self.start_launcher(exe)
        probe = subprocess.run([rig.LOADER, PROBE, "60000", "box"], env=dict(os.environ, WINEDEBUG="-all",
                               WINEPREFIX=rig.PREFIX), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=120)
        run = self.finish_launcher(proc)  # a second box would keep it waiting
        run.box = {}
        for line in probe.stdout.splitlines():
            key, _, value = line.partition(" ")
            run.box[key] = run.box[key] + "\n" + value if key in run.box else value
        self.assertEqual(run.rc, FAILED, run.log)
        self.assertEqual(run.box.get("title"), "Penwick", probe.stdout)
        return run

    def assertSays(self, run, what):
        log = "C:\\ProgramData\\Orvane\\Penwick\\launcherlauncher.log"
        self.assertEqual(run.box["text"],
                         f"Penwick could not start.\n\n{what}\n\nDetails are in the diagnostic log:\n{log}")

    def test_java_not_found_ends_the_splash_at_once_with_one_box_for_both_jobs(self):
        config = "[splash]\nmillisec = 60000\n" + self.config(jar2="two.jar")
        run = self.failing(self.install(config=config.replace(rig.toml_str(win(rig.CHILD)), "'C:\\no\\java.exe'")))
        self.assertSays(run, "Java was not found at the place the configuration names:\nC:\\no\\java.exe")
        self.assertEqual(run.box["splash"], "absent")
        self.assertLess(run.seconds, 30, "the splash did not stay its minute")

    def test_missing_jar_and_unreadable_configurations_say_what_and_where(self):
        app = win(self.app)
        cases = {"no jar": ("gone.jar", None, f"The application file is missing:\n{app}\\gone.jar"),
                 "malformed": (None, "[app]\nexec = 'x'\n[splash\n",
                               f"The configuration file has an error at line 3:\n{app}\\launcher.toml"),
                 "missing": (None, None, f"The configuration file was not found:\n{app}\\launcher.toml")}
        for name, (jar, text, what) in cases.items():
            with self.subTest(name):
                config = self.config(jar=jar) if jar else text
                if jar:
                    os.remove(os.path.join(self.app, jar))
                elif os.path.exists(os.path.join(self.app, "launcher.toml")):
                    os.remove(os.path.join(self.app, "launcher.toml"))
                self.assertSays(self.failing(self.install(config=config)), what)
        self.assertEqual(os.listdir(self.data), [])

    def test_on_a_window_station_nobody_sees_there_is_no_box_only_the_log(self):
        """Run by a task whether the user is logged on or not: no box would
        ever be answered, so the launcher logs the failure and exits."""
        exe = self.install(config="[jre]\nmain_jar = \"app.jar\"\n")
        run = self.finish_launcher(self.start_launcher(exe, windows_path=win(exe), parent=(STATION,)))
        self.assertEqual(run.output.split(), ["visible", "0", "exit", str(FAILED)], run.log)
        self.assertRegex(run.log, r"notice:\d+:showFailure no message box on a window station nobody sees: "
                                  r"Penwick could not start\.  The application file is missing: ")


if __name__ == "__main__":
    rig.configure(sys.argv[1], sys.argv[2])
    PROBE, PARENT, STATION = (os.path.abspath(path) for path in sys.argv[3:6])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[6:]])
