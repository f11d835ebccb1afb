#!/usr/bin/python3
"""launcher.exe under wine64 with configurations that push Windows' limits:
an environment far beyond 32767 characters, command lines at and beyond
CreateProcessW's limit, paths beyond MAX_PATH, names above U+00FF, and a
child that outlives the launcher. Each case checks the exact log lines.
Usage: launcher_limits.py <launcher.exe> <childprobe.exe> [test name...]"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

import launcher_rig as rig
from launcher_rig import FAILED, LauncherCase, win

COMMAND_LINE_UNITS = 32767  # CreateProcessW's limit, the NUL included
SYSTEM = "C:\\windows\\system32"


def at(name):
    """A log line's start: source file, any line number, function."""
    return "^" + name.replace(".", r":\d+:") + " "


class LimitCase(LauncherCase):
    def assertTail(self, run, *patterns):
        lines = run.lines()
        self.assertEqual(len(lines) >= len(patterns), True, run.log)
        for line, pattern in zip(lines[-len(patterns):], patterns):
            self.assertRegex(line, pattern)

    def assertRefused(self, run, code, text):
        """One error line for the refused start, then doJob's; no child."""
        self.assertEqual(run.rc, FAILED)
        self.assertTail(run, at("startProcess.startProcess") + re.escape(f"err:{code} CreateProcess {text}\r") + "$",
                        at("loadconfig.doJob") + "error startProcess$")
        self.assertEqual([l for l in run.lines() if " err:" in l].__len__(), 1, run.log)
        time.sleep(2)
        self.assertEqual(os.listdir(self.data), [])

    def deep(self, root, units):
        """A folder below `root` whose Windows path is longer than `units`."""
        path = root
        while len(win(path)) <= units:
            path = os.path.join(path, "d" * 60)
        os.makedirs(path, exist_ok=True)
        return path


class Environment(LimitCase):
    def test_thousands_of_path_entries_reach_the_child_whole(self):
        entries = [f"C:\\tools\\dir{i:04d}" for i in range(3000)]
        config = self.config().replace("PATH = ['E:\\tools']", "PATH = [" + ", ".join(f"'{e}'" for e in entries) + "]")
        run = self.run_launcher(self.install(config=config), children=1)
        app = win(self.app)
        path_entry = f"PATH={app}\\bin;{app}\\lib;" + "".join(e + ";" for e in entries) + SYSTEM
        self.assertGreater(len(path_entry), 50000)
        self.assertEqual(run.rc, 0)
        self.assertIn("prepareJob configPath=" + path_entry, [re.sub(r"^loadconfig:\d+:", "", l) for l in run.lines()])
        self.assertIn("startProcess " + path_entry, [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
        rec = self.record("app.jar")
        self.assertEqual(rec["environment"][0], path_entry)
        self.assertGreater(sum(len(e) + 1 for e in rec["environment"]) + 1, COMMAND_LINE_UNITS)


class CommandLine(LimitCase):
    def options_for(self, units):
        """Options that make the child's command line exactly `units` long."""
        fixed = len(self.command_line([]))
        options, left = [], units - fixed
        while left > 24:
            options.append(f"-Dopt{len(options):05d}=v")  # 13 with its blank
            left -= 13
        options.append("-Dlast=" + "x" * (left - 8))
        return options

    def command_line(self, options):
        return (f'"{win(rig.CHILD)}" {self.crash_file()}' + "".join(o + " " for o in options) +
                f' -jar "{win(self.app)}\\app.jar" ')

    def test_the_longest_command_line_reaches_the_child_whole(self):
        options = self.options_for(COMMAND_LINE_UNITS - 1)
        run = self.run_launcher(self.install(config=self.config(options=options)), children=1)
        expected = self.command_line(options)
        self.assertEqual(len(expected), COMMAND_LINE_UNITS - 1)
        self.assertEqual(run.rc, 0)
        self.assertEqual(self.record("app.jar")["commandLine"], expected)
        self.assertTail(run, at("startProcess.startProcess") + re.escape("commandLine=" + expected) + "$",
                        at("startProcess.startProcess") + re.escape(f"currentDirectory={win(self.data)}") + "$")

    def test_longer_command_lines_are_refused_with_one_error_line(self):
        # Wine would start the child with the command line cut short.
        for options in (self.options_for(COMMAND_LINE_UNITS), [f"-Dopt{i:04d}=value" for i in range(5000)]):
            with self.subTest(options=len(options)):
                run = self.run_launcher(self.install(config=self.config(options=options)))
                expected = self.command_line(options)
                self.assertIn("startProcess commandLine=" + expected,
                              [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
                self.assertRefused(run, 206, "File name is too long.")


class Paths(LimitCase):
    def test_jar_and_log_paths_beyond_max_path_work(self):
        logs = self.deep(self.logs, 300)
        folder = os.path.relpath(self.deep(self.app, 300), self.app).replace("/", "\\")
        jar = folder + "\\app.jar"
        run = self.run_launcher(self.install(config=self.config(jar=jar.replace("\\", "\\\\"), log_dir=win(logs))), children=1)
        self.assertEqual(run.rc, 0, run.log[-2000:])
        self.assertEqual(os.listdir(self.data), ["app.jar.record"], run.log[-2000:])
        self.assertGreater(len(f"{win(self.app)}\\{jar}"), 300)
        self.assertEqual(self.record("app.jar")["commandLine"],
                         f'"{win(rig.CHILD)}" {self.crash_file(logs)}-Xmx512m  -jar "{win(self.app)}\\{jar}" ')
        self.assertEqual(self.read(os.path.join(logs, "out_launcher.log")), b"stdout of app.jar\n")
        self.assertEqual(self.read(os.path.join(logs, "err_launcher.log")), b"stderr of app.jar\n")
        self.assertIn(f"startProcess outLog={win(logs)}\\out_launcher.log",
                      [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])

    def test_data_dir_beyond_258_characters_is_refused_with_one_error_line(self):
        # Wine's heap broke on such a directory and the launcher died silently.
        for length, refused in ((258, False), (259, True), (290, True)):
            with self.subTest(length=length):
                data = self.deep(self.mkdir(f"d{length}"), length - 61)
                data = os.path.join(data, "x" * (length - len(win(data)) - 1))
                os.makedirs(data)
                self.assertEqual(len(win(data)), length)
                config = self.config().replace(win(self.data), win(data))
                run = self.run_launcher(self.install(config=config))
                self.assertIn(f"startProcess currentDirectory={win(data)}",
                              [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
                if refused:
                    self.data = data
                    self.assertRefused(run, 206, "File name is too long.")
                else:
                    self.data = data
                    self.wait_for_children(1)
                    self.assertEqual(self.record("app.jar")["currentDirectory"], win(data))

    def test_exec_beyond_max_path_is_refused_with_one_error_line(self):
        folder = self.deep(self.dir, 300)
        child = os.path.join(folder, "java.exe")
        shutil.copy(rig.CHILD, child)
        run = self.run_launcher(self.install(config=self.config().replace(win(rig.CHILD), win(child))))
        self.assertIn(f"startProcess application={win(child)}",
                      [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
        self.assertRefused(run, 2, "File not found.")

    def test_launcher_beyond_max_path_stops_before_its_log(self):
        # Its path cut to 260 characters would name another file.
        folder = self.deep(self.app, 270)
        run = self.run_launcher(self.install(folder=folder, config=self.config()))
        self.assertEqual(run.rc, FAILED)
        self.assertEqual(run.debug, ["OK InitializeCriticalSectionAndSpinCount\n", "GetModuleFileName\n",
                                     "OK DeleteCriticalSection\n"])
        self.assertEqual(run.log, "")
        time.sleep(2)
        self.assertEqual(os.listdir(self.data), [])


class Names(LimitCase):
    # The log is UTF-8: names above U+00FF (and beyond the 16-bit range) are
    # written in full, and nothing is reported on the debugger output.
    def test_jar_data_and_log_names_above_u00ff_reach_the_child(self):
        data, logs = self.mkdir("数据🔑"), self.mkdir("ログ")
        config = self.config(jar="签名🔑.jar", log_dir=win(logs)).replace(win(self.data), win(data))
        self.data = data
        run = self.run_launcher(self.install(config=config), ["引数", "ünï"], children=1)
        self.assertEqual(run.rc, 0)
        rec = self.record("签名🔑.jar")
        self.assertEqual(rec["commandLine"], f'"{win(rig.CHILD)}" {self.crash_file(logs)}-Xmx512m  -jar '
                                             f'"{win(self.app)}\\签名🔑.jar" 引数 ünï')
        self.assertEqual(rec["currentDirectory"], win(data))
        self.assertEqual(self.read(os.path.join(logs, "out_launcher.log")), "stdout of 签名🔑.jar\n".encode())
        self.assertEqual(self.read(os.path.join(logs, "err_launcher.log")), "stderr of 签名🔑.jar\n".encode())
        start = [re.sub(r"^startProcess:\d+:startProcess ", "", l) for l in run.lines()[-5:]]
        self.assertEqual(start, [f"outLog={win(logs)}\\out_launcher.log", f"errLog={win(logs)}\\err_launcher.log",
                                 f"application={win(rig.CHILD)}", "commandLine=" + rec["commandLine"],
                                 f"currentDirectory={win(data)}"])
        self.assertEqual(run.debug, ["OK InitializeCriticalSectionAndSpinCount\n", "OK DeleteCriticalSection\n"])

    def test_launcher_folder_outside_the_ansi_code_page_reads_its_configuration(self):
        folder = self.mkdir("应用🚀")
        open(os.path.join(folder, "app.jar"), "wb").close()
        run = self.run_launcher(self.install(folder=folder, config=self.config()), children=1)
        self.assertEqual(run.rc, 0)
        lines = run.lines()
        self.assertRegex(lines[2], at("loadconfig.prepareJob") + re.escape("moduleDir=" + win(folder)) + "$")
        self.assertNotIn("loadConfig", run.log)  # neither "fopen ..." nor "error loadConfig"
        rec = self.record("app.jar")
        self.assertEqual(rec["commandLine"], f'"{win(rig.CHILD)}" {self.crash_file()}-Xmx512m  -jar "{win(folder)}\\app.jar" ')
        self.assertEqual(rec["environment"][0], f"PATH={win(folder)}\\bin;{win(folder)}\\lib;E:\\tools;{SYSTEM}")


class Detached(LimitCase):
    def test_the_launcher_ends_while_its_child_sleeps_on(self):
        sleep = 20
        exe = self.install(config=self.config())
        # Files, not pipes: Wine hands its own output on to the child, and a
        # pipe would stay open for as long as the child lives.
        with open(os.path.join(self.dir, "wine.out"), "wb") as out:
            started = time.monotonic()
            proc = subprocess.Popen([rig.LOADER, exe, f"--sleep={sleep * 1000}"], cwd=self.app,
                                    env=dict(os.environ, WINEDEBUG="-all", WINEPREFIX=rig.PREFIX),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out)
            rc = proc.wait(timeout=120)
            seconds = time.monotonic() - started
        self.assertEqual(rc, 0)
        self.assertLess(seconds, sleep - 5, "the launcher waited for its child")
        self.wait_for_children(1)
        awake = os.path.join(self.data, "app.jar.awake")
        self.assertFalse(os.path.exists(awake))
        self.assertIn("--sleep=", self.record("app.jar")["commandLine"])
        deadline = time.monotonic() + sleep + 60
        while not os.path.exists(awake) and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertTrue(os.path.exists(awake), "the child did not live on after the launcher")
        print(f"launcher ended after {seconds:.1f} s, its child after {time.monotonic() - started:.1f} s",
              file=sys.stderr)


if __name__ == "__main__":
    rig.configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
