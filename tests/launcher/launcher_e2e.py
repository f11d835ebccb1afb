#!/usr/bin/python3
"""End-to-end tests of launcher.exe under wine64: what its children
(childprobe.exe) recorded, their output logs, the diagnostic log and the
debugger output, compared byte for byte with what the launcher must produce.
Usage: launcher_e2e.py <launcher.exe> <childprobe.exe> [test name...]"""
import os
import re
import subprocess
import sys
import time
import unittest

import launcher_rig as rig
from launcher_rig import LauncherCase, PASSED, win

class Children(LauncherCase):
    def test_both_jobs_get_the_exact_command_line_environment_directory_and_logs(self):
        exe = self.install(config=self.config(jar2="two.jar"))
        with open(os.path.join(self.logs, "out_launcher.log"), "w") as f:
            f.write("an earlier run's output\n" * 10)
        env = {"LAUNCHER_SENTINEL": "must-not-pass", "TEMPDIR": "x", "OSTYPE": "x"}
        # Wine quotes an argument with a blank when it forms the command line.
        run = self.run_launcher(exe, ["one", "two three", "four"], env=env, children=2)
        self.assertEqual(run.rc, 0)
        app = win(self.app)
        system = "C:\\windows\\system32"
        path_entry = f"PATH={app}\\bin;{app}\\lib;E:\\tools;{system}"
        for jar, suffix in (("app.jar", ""), ("two.jar", "2")):
            rec = self.record(jar)
            self.assertEqual(rec["commandLine"],
                             f'"{win(rig.CHILD)}" -Xmx512m  -jar "{app}\\{jar}" one "two three" four')
            self.assertEqual(rec["currentDirectory"], win(self.data))
            env_entries = rec["environment"]
            self.assertEqual(env_entries[0], path_entry)
            others = [e for e in env_entries[1:] if not e.startswith("WINE")]
            for entry in others:
                self.assertTrue(any(entry.startswith(p) for p in PASSED), entry)
            names = [e.split("=", 1)[0] for e in others]
            self.assertEqual(len(names), len(set(names)), "each variable once")
            self.assertNotIn("LAUNCHER_SENTINEL", "".join(env_entries))
            self.assertEqual(self.read(os.path.join(self.logs, f"out_launcher{suffix}.log")),
                             f"stdout of {jar}\n".encode())
            self.assertEqual(self.read(os.path.join(self.logs, f"err_launcher{suffix}.log")),
                             f"stderr of {jar}\n".encode())

        # The block the launcher passed, as logged: PATH, then the passed
        # variables in the launcher's own order, nothing else.
        lines = run.lines()
        own = self.own_environment(env)
        expected_block = [path_entry] + [e for e in own if any(e.startswith(p) for p in PASSED)]
        prefix = f"loadconfig:\\d+:prepareJob "
        self.assertRegex(lines[0], prefix + re.escape(f"systemDir={system}") + "$")
        self.assertRegex(lines[1], prefix + re.escape(f"moduleDir={app}") + "$")
        self.assertRegex(lines[2], prefix + "moduleName=launcher$")
        self.assertRegex(lines[3], prefix + re.escape("programData=C:\\ProgramData") + "$")
        self.assertRegex(lines[4], prefix + re.escape(f"configPath={path_entry}") + "$")
        at = 5
        for jar, suffix in (("app.jar", ""), ("two.jar", "2")):
            body = [re.sub(r"^startProcess:\d+:startProcess ", "", l) for l in lines[at:at + len(expected_block) + 7]]
            self.assertEqual(body, ["----"] + expected_block + ["----",
                             f"outLog={win(self.logs)}\\out_launcher{suffix}.log",
                             f"errLog={win(self.logs)}\\err_launcher{suffix}.log",
                             f"application={win(rig.CHILD)}",
                             f'commandLine="{win(rig.CHILD)}" -Xmx512m  -jar "{app}\\{jar}" one "two three" four',
                             f"currentDirectory={win(self.data)}"])
            at += len(expected_block) + 7
        self.assertEqual(len(lines), at)
        self.assertEqual(run.debug, ["OK InitializeCriticalSectionAndSpinCount\n", "OK DeleteCriticalSection\n"])

    def own_environment(self, env):
        """The environment block a program of this prefix gets from Wine."""
        probe = self.mkdir("probe")
        environment = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=rig.PREFIX, **env)
        subprocess.run([rig.LOADER, rig.CHILD], cwd=probe, env=environment, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=120)
        with open(os.path.join(probe, "nojar.record"), encoding="utf-8") as f:
            return [l.split("\t", 1)[1] for l in f.read().split("\n") if l.startswith("environment\t")]

    def test_only_the_second_job_without_options_logs_or_arguments(self):
        exe = self.install(config=self.config(jar=None, jar2="two.jar", options=None, log_dir=False))
        run = self.run_launcher(exe, children=1)
        self.assertEqual(sorted(f for f in os.listdir(self.data)), ["two.jar.record"])
        rec = self.record("two.jar")
        self.assertEqual(rec["commandLine"], f'"{win(rig.CHILD)}"  -jar "{win(self.app)}\\two.jar" ')
        self.assertIn("startProcess:outLog=NUL", [re.sub(r":\d+:startProcess ", ":", l) for l in run.lines()])
        self.assertIn("startProcess:errLog=NUL", [re.sub(r":\d+:startProcess ", ":", l) for l in run.lines()])
        self.assertEqual(os.listdir(self.logs), [])

    def test_missing_log_directory_gives_one_error_line_and_no_child(self):
        missing = win(os.path.join(self.dir, "no-such-dir"))
        exe = self.install(config=self.config(log_dir=missing))
        run = self.run_launcher(exe)
        time.sleep(2)
        self.assertEqual(os.listdir(self.data), [])
        errors = [l for l in run.lines() if " err:" in l]
        self.assertEqual(len(errors), 1, run.log)
        self.assertRegex(errors[0], r"^startProcess:\d+:startProcess err:3  \S.*\r$")
        self.assertRegex(run.lines()[-1], r"^loadconfig:\d+:doJob error startProcess$")

    def test_missing_program_is_a_create_process_error(self):
        exe = self.install(config=self.config().replace(win(rig.CHILD), "C:\\\\no\\\\java.exe")
                           .replace("'C:\\\\no\\\\java.exe'", "'C:\\no\\java.exe'"))
        run = self.run_launcher(exe)
        lines = run.lines()
        self.assertRegex(lines[-2], r"^startProcess:\d+:startProcess err:\d+ CreateProcess \S.*\r$")
        self.assertRegex(lines[-1], r"^loadconfig:\d+:doJob error startProcess$")
        self.assertEqual(run.rc, 0)


class Configuration(LauncherCase):
    def test_missing_configuration_logs_fopen_and_starts_nothing(self):
        exe = self.install()
        run = self.run_launcher(exe)
        lines = run.lines()
        self.assertEqual(run.rc, 0)
        self.assertRegex(lines[4], r"^loadconfig:\d+:loadConfig fopen No such file or directory$")
        self.assertRegex(lines[5], r"^loadconfig:\d+:prepareJob error loadConfig$")
        self.assertRegex(lines[6], r"^loadconfig:\d+:prepareJob configPath=PATH=C:\\windows\\system32$")
        self.assertEqual(len(lines), 7)

    def test_non_ascii_folders_and_names_work_end_to_end(self):
        folder = self.mkdir("Zürich é")
        exe = self.install(name="läuncher.exe", folder=folder, config=self.config())
        run = self.run_launcher(exe, ["ünï"], children=1)
        rec = self.record("app.jar")
        self.assertEqual(rec["commandLine"], f'"{win(rig.CHILD)}" -Xmx512m  -jar "{win(folder)}\\app.jar" ünï')
        self.assertIn(f"moduleName=läuncher", "\n".join(run.lines()))
        self.assertEqual(self.read(os.path.join(self.logs, "out_läuncher.log")), b"stdout of app.jar\n")

    def test_executable_at_a_drive_root(self):
        drive = os.path.join(rig.PREFIX, "dosdevices", "x:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(self.app, drive)
        try:
            exe = self.install(name="a.exe", config="[env]\nLOCALPATH = [\"bin\"]\n")
            run = self.run_launcher(exe, windows_path="X:\\a.exe")
            lines = run.lines()
            self.assertRegex(lines[1], r"^loadconfig:\d+:prepareJob moduleDir=X:$")
            self.assertRegex(lines[2], r"^loadconfig:\d+:prepareJob moduleName=a$")
            # LOCALPATH came from X:\a.toml
            self.assertRegex(lines[4], r"^loadconfig:\d+:prepareJob configPath=PATH=X:\\bin;C:\\windows\\system32$")
        finally:
            os.remove(drive)


class Names(LauncherCase):
    def test_executable_names(self):
        for name in ("launcher.exe", "LAUNCHER.EXE", "Launcher.eXe"):
            folder = self.mkdir(name + ".d")
            run = self.run_launcher(self.install(name=name, folder=folder))
            stem = os.path.splitext(name)[0]
            self.assertIn(f"moduleName={stem}", "\n".join(run.lines()), name)
            self.assertEqual(run.rc, 0)
        for name, text in (("launcher.com", "not E\n"), ("launcher.exx", "not E\n"), ("launcher.eke", "not X\n"),
                           ("launcherexe", "not .\n")):
            folder = self.mkdir(name + ".d")
            run = self.run_launcher(self.install(name=name, folder=folder))
            self.assertIn(text, run.debug, f"{name}: {run.debug}")
            self.assertEqual(run.log, "", name)


if __name__ == "__main__":
    rig.configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
