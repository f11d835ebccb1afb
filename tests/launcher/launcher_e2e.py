#!/usr/bin/python3
"""End-to-end tests of launcher.exe under wine64: what its children
(childprobe.exe) recorded, their output logs, the diagnostic log and the
debugger output, compared byte for byte with what the launcher must produce.
Usage: launcher_e2e.py <launcher.exe> <childprobe.exe> [test name...]"""
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
import zipfile

import launcher_rig as rig
from launcher_rig import FAILED, LauncherCase, win

JAVA_HOME = "/usr/lib/jvm/java-17-openjdk-amd64"

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
                             f'"{win(rig.CHILD)}" {self.crash_file()}-Xmx512m  -jar "{app}\\{jar}" one "two three" four')
            self.assertEqual(rec["currentDirectory"], win(self.data))
            # A console program, as java.exe is: its console shows no window.
            self.assertEqual(rec["consoleWindow"], "no")
            self.assertIn(" --headless", rec["consoleHost"])
            env_entries = rec["environment"]
            self.assertEqual(env_entries[0], path_entry)
            others = [e for e in env_entries[1:] if not e.startswith("WINE")]
            for entry in others:
                self.assertTrue(rig.passed(entry), entry)
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
        expected_block = [path_entry] + [e for e in own if rig.passed(e)]
        prefix = f"loadconfig:\\d+:prepareJob "
        # Whose start this is, then every line with this start's process id.
        self.assertRegex(lines[0], prefix + r"user=\S+\\\S+ session=\d+$")
        self.assertEqual(len(run.pids()), 1, run.log)
        self.assertRegex(lines[1], prefix + re.escape(f"systemDir={system}") + "$")
        self.assertRegex(lines[2], prefix + re.escape(f"moduleDir={app}") + "$")
        self.assertRegex(lines[3], prefix + "moduleName=launcher$")
        self.assertRegex(lines[4], prefix + re.escape("programData=C:\\ProgramData") + "$")
        self.assertRegex(lines[5], prefix + re.escape(f"configPath={path_entry}") + "$")
        at = 6
        for jar, suffix in (("app.jar", ""), ("two.jar", "2")):
            body = [re.sub(r"^startProcess:\d+:startProcess ", "", l) for l in lines[at:at + len(expected_block) + 7]]
            self.assertEqual(body, ["----"] + expected_block + ["----",
                             f"outLog={win(self.logs)}\\out_launcher{suffix}.log",
                             f"errLog={win(self.logs)}\\err_launcher{suffix}.log",
                             f"application={win(rig.CHILD)}",
                             f'commandLine="{win(rig.CHILD)}" {self.crash_file()}-Xmx512m  -jar "{app}\\{jar}" '
                             'one "two three" four',
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
        self.assertEqual(run.rc, FAILED)
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
        self.assertEqual(run.rc, FAILED)

    def test_a_runtime_beside_the_launcher_starts_from_any_folder(self):
        """exec names runtime\\bin\\java, a link to this machine's Java, below
        the launcher's folder; started from another folder that holds a
        runtime\\bin\\java of its own, the launcher starts the one beside it."""
        os.symlink(JAVA_HOME, os.path.join(self.app, "runtime"))
        elsewhere = self.mkdir("elsewhere")
        os.makedirs(os.path.join(elsewhere, "runtime", "bin"))
        shutil.copy(rig.CHILD, os.path.join(elsewhere, "runtime", "bin", "java"))
        config = self.config(options=["-version"]).replace(rig.toml_str(win(rig.CHILD)), "'runtime\\bin\\java'")
        # A jar Java can open (it reads the manifest before -version): a Linux
        # Java takes the Windows path as a file name in its current folder.
        with zipfile.ZipFile(os.path.join(self.app, "app.jar"), "w") as jar:
            jar.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n\r\n")
        os.symlink(os.path.join(self.app, "app.jar"), os.path.join(self.data, win(self.app) + "\\app.jar"))
        run = self.run_launcher(self.install(config=config), cwd=elsewhere)
        self.assertEqual(run.rc, 0, run.log)
        self.assertIn(f"startProcess application={win(self.app)}\\runtime\\bin\\java",
                      [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
        # A Linux Java under Wine writes to the launcher's own standard error.
        self.assertRegex(run.trace, r'openjdk version "17\.')
        self.assertEqual([f for f in os.listdir(self.data) if f.endswith(".record")], [],
                         "no program of the current folder ran")

    def test_output_logs_this_user_may_not_open_are_written_beside_under_the_users_name(self):
        """Another user's logs (here: logs nobody may write) are left alone:
        the child writes to the name with this user's account, and when that
        one is not open to it either, to the name with the launcher's process
        id as well."""
        taken = ("out_launcher.log", "err_launcher.log")
        run = self.run_launcher(self.install(config=self.config()), children=1)  # learns the user's name
        user = re.search(r"user=\S*\\(\S+) ", run.log).group(1)
        os.remove(os.path.join(self.data, "app.jar.record"))
        for name in taken + (f"out_launcher.{user}.log",):
            self.unwritable(os.path.join(self.logs, name))
        run = self.run_launcher(self.install(config=self.config()), children=1)
        pid = run.pids().pop()
        self.assertEqual(run.rc, 0, run.log)
        logs = win(self.logs)
        self.assertIn(f"startProcess outLog={logs}\\out_launcher.{user}.{pid}.log",
                      [re.sub(r"^startProcess:\d+:", "", l) for l in run.lines()])
        self.assertEqual(self.read(os.path.join(self.logs, f"out_launcher.{user}.{pid}.log")), b"stdout of app.jar\n")
        self.assertEqual(self.read(os.path.join(self.logs, f"err_launcher.{user}.log")), b"stderr of app.jar\n")
        denied = [l for l in run.lines() if " err:5 " in l]
        self.assertEqual(len(denied), 3, run.log)

    def unwritable(self, path):
        """A file nobody may write, root included: immutable where the file
        system allows it, else a folder of that name (which no file open
        gets either)."""
        open(path, "wb").close()
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", path])
        else:
            os.remove(path)
            os.mkdir(path)


class Configuration(LauncherCase):
    def test_missing_configuration_logs_fopen_and_starts_nothing(self):
        exe = self.install()
        run = self.run_launcher(exe)
        lines = run.lines()
        self.assertEqual(run.rc, FAILED)
        self.assertRegex(lines[5], r"^loadconfig:\d+:loadConfig fopen No such file or directory$")
        self.assertRegex(lines[6], r"^loadconfig:\d+:prepareJob error loadConfig$")
        self.assertRegex(lines[7], r"^loadconfig:\d+:prepareJob configPath=PATH=C:\\windows\\system32$")
        self.assertEqual(len(lines), 8)

    def test_non_ascii_folders_and_names_work_end_to_end(self):
        folder = self.mkdir("Zürich é")
        open(os.path.join(folder, "app.jar"), "wb").close()
        exe = self.install(name="läuncher.exe", folder=folder, config=self.config())
        run = self.run_launcher(exe, ["ünï"], children=1)
        rec = self.record("app.jar")
        self.assertEqual(rec["commandLine"],
                         f'"{win(rig.CHILD)}" {self.crash_file(module="läuncher")}-Xmx512m  -jar "{win(folder)}\\app.jar" ünï')
        self.assertIn(f"moduleName=läuncher", "\n".join(run.lines()))
        self.assertEqual(self.read(os.path.join(self.logs, "out_läuncher.log")), b"stdout of app.jar\n")

    def test_names_in_any_case_and_the_domain_variables_reach_java(self):
        """Started by a tool that spells names its own way, Java still gets
        them, and Kerberos its realm. (Wine puts SystemRoot back into every
        program's environment as it spells it: a TEMP in other letters stands
        in for SYSTEMROOT here.)"""
        exe = self.install(config=self.config())
        env = {"USERDNSDOMAIN": "CONTOSO.EXAMPLE", "Temp2": "not passed"}
        # cmd keeps a name as the set command spells it.
        run = self.finish_launcher(self.start_launcher(
            exe, env=env, parent=("cmd", "/c"), windows_path="set TEMP=&&set tEmP=C:\\upper&&" + win(exe)), 1)
        entries = self.record("app.jar")["environment"][1:]
        got = {e.split("=", 1)[0].lower(): e.split("=", 1)[1] for e in entries}
        self.assertIn("tEmP=C:\\upper", entries, run.log)
        self.assertEqual(got.get("userdnsdomain"), "CONTOSO.EXAMPLE")
        self.assertTrue({"logonserver", "windir", "pathext", "comspec", "systemroot"} <= set(got), got)
        self.assertNotIn("temp2", got)

    def test_a_user_name_beyond_the_code_page_gives_a_valid_crash_file_and_a_full_log(self):
        exe = self.install(config=self.config())
        run = self.run_launcher(exe, env={"USER": "\u0141ukasz", "LOGNAME": "\u0141ukasz"}, children=1)
        self.assertIn("\u0141ukasz", run.lines()[0])  # the log's first line names the user in full
        self.assertIn(f'"-XX:ErrorFile={win(self.logs)}\\hs_err_launcher.~0141ukasz.%p.log" ',
                      self.record("app.jar")["commandLine"])

    def test_executable_at_a_drive_root(self):
        drive = os.path.join(rig.PREFIX, "dosdevices", "x:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(self.app, drive)
        try:
            exe = self.install(name="a.exe", config="[env]\nLOCALPATH = [\"bin\"]\n")
            run = self.run_launcher(exe, windows_path="X:\\a.exe")
            lines = run.lines()
            self.assertRegex(lines[2], r"^loadconfig:\d+:prepareJob moduleDir=X:$")
            self.assertRegex(lines[3], r"^loadconfig:\d+:prepareJob moduleName=a$")
            # LOCALPATH came from X:\a.toml
            self.assertRegex(lines[5], r"^loadconfig:\d+:prepareJob configPath=PATH=X:\\bin;C:\\windows\\system32$")
        finally:
            os.remove(drive)


class Names(LauncherCase):
    def test_executable_names(self):
        for name in ("launcher.exe", "LAUNCHER.EXE", "Launcher.eXe"):
            folder = self.mkdir(name + ".d")
            run = self.run_launcher(self.install(name=name, folder=folder))
            stem = os.path.splitext(name)[0]
            self.assertIn(f"moduleName={stem}", "\n".join(run.lines()), name)
            self.assertEqual(run.rc, FAILED)  # no configuration beside it
        for name, text in (("launcher.com", "not E\n"), ("launcher.exx", "not E\n"), ("launcher.eke", "not X\n"),
                           ("launcherexe", "not .\n")):
            folder = self.mkdir(name + ".d")
            run = self.run_launcher(self.install(name=name, folder=folder))
            self.assertIn(text, run.debug, f"{name}: {run.debug}")
            self.assertEqual(run.log, "", name)
            self.assertEqual(run.rc, FAILED, name)


if __name__ == "__main__":
    rig.configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
