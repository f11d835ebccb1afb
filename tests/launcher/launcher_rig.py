"""Shared rig of the launcher's end-to-end tests under wine64: a scratch
folder per test with a copy of launcher.exe and its configuration, a start of
the launcher with captured debugger output, the new lines of its diagnostic
log, and the records that childprobe.exe leaves for each job."""
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
LAUNCHER = CHILD = None


def configure(launcher, child):
    global LAUNCHER, CHILD
    LAUNCHER, CHILD = os.path.abspath(launcher), os.path.abspath(child)
PASSED = ["ALLUSERSPROFILE=", "APPDATA=", "COMPUTERNAME=", "LOCALAPPDATA=", "OS=", "ProgramData=", "ProgramFiles=",
          "ProgramFiles(x86)=", "ProgramW6432=", "PUBLIC=", "SystemDrive=", "SystemRoot=", "TEMP=", "TMP=",
          "USERDOMAIN=", "USERNAME=", "USERPROFILE=", "USERDNSDOMAIN=", "LOGONSERVER=", "windir=", "PATHEXT=",
          "ComSpec="]


def passed(entry):
    """An entry the launcher hands on: its name, in any letter case."""
    return any(entry.lower().startswith(prefix.lower()) for prefix in PASSED)
HEADER = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\] "  # date, time, process id
# The launcher's exit code when it could start no Java.
FAILED = 7
# ERROR_INTERNAL_ERROR from Wine's CreateProcessW, in the launcher's log.
WINE_START_GLITCH = "err:1359 CreateProcess Internal error."


def wine_env():
    out = subprocess.run(["bash", "-c", f"source {ROOT}/scripts/wine-env 64; echo $WINEPREFIX; echo $WINE_LOADER"],
                         capture_output=True, text=True, check=True).stdout.split("\n")
    return out[0], out[1]


PREFIX, LOADER = wine_env()
PENWICK = os.path.join(PREFIX, "drive_c", "ProgramData", "Orvane", "Penwick")


def win(path):
    return "Z:" + path.replace("/", "\\")


def toml_str(text):
    return "'" + text + "'"


class LauncherRun:
    """One start of a launcher copy, with what it left behind."""

    def __init__(self, rc, debug, log, seconds):
        self.rc, self.debug, self.log, self.seconds = rc, debug, log, seconds

    def lines(self):
        """The diagnostic log's new lines without their date, time and process id."""
        return [re.sub("^" + HEADER, "", line) for line in self.log.split("\n") if line]

    def pids(self):
        return {re.match(r"^\S+ \S+ \[(\d+)\]", line).group(1) for line in self.log.split("\n") if line}


class LauncherCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.app = self.mkdir("app")
        self.data = self.mkdir("data")
        self.logs = self.mkdir("logs")
        os.makedirs(PENWICK, exist_ok=True)
        # A cleanup, not tearDown: it runs after the tests' own cleanups.
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def mkdir(self, name):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def install(self, name="launcher.exe", folder=None, config=None, config_name=None):
        folder = folder or self.app
        exe = os.path.join(folder, name)
        shutil.copy(LAUNCHER, exe)
        if config is not None:
            stem = config_name or os.path.splitext(name)[0]
            with open(os.path.join(folder, stem + ".toml"), "w", encoding="utf-8") as f:
                f.write(config)
        return exe

    def config(self, jar="app.jar", jar2=None, options=("-Xmx512m",), log_dir=True, extra=""):
        """A configuration of childprobe.exe as Java, with its jars beside the launcher."""
        for name in (jar, jar2):
            if name:
                path = os.path.join(self.app, name.replace("\\\\", "/").replace("\\", "/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "wb").close()
        text = "[env]\nLOCALPATH = [\"bin\", \"lib\"]\nPATH = ['E:\\tools']\n[jre]\n"
        if jar:
            text += f'main_jar = "{jar}"\n'
        if jar2:
            text += f'main_jar2 = "{jar2}"\n'
        if options is not None:
            text += "options = [" + ", ".join(f'"{o}"' for o in options) + "]\n"
        text += f"[app]\nexec = {toml_str(win(CHILD))}\ndata_dir = {toml_str(win(self.data))}\n"
        if log_dir is True:
            text += f"log_dir = {toml_str(win(self.logs))}\n"
        elif log_dir:
            text += f"log_dir = {toml_str(log_dir)}\n"
        return text + extra

    def crash_file(self, logs=None, module="launcher"):
        """The option that sends Java's crash file to the log folder under the
        user's name (Wine's user is the Unix one)."""
        user = pwd.getpwuid(os.getuid()).pw_name
        return f'"-XX:ErrorFile={win(logs or self.logs)}\\hs_err_{module}.{user}.%p.log" '

    def log_path(self, exe):
        # Wine, like Windows, matches file names in any letter case.
        stem = os.path.splitext(os.path.basename(exe))[0]
        wanted = ("launcher" + stem + ".log").lower()
        return os.path.join(PENWICK, next((f for f in os.listdir(PENWICK) if f.lower() == wanted), wanted))

    def start_launcher(self, exe, args=(), env=None, windows_path=None, debug="-all,warn+debugstr", parent=(),
                       cwd=None):
        """Starts the launcher without waiting; finish_launcher collects it.
        `parent`: a program and its first arguments that start the launcher;
        `cwd`: the folder it is started from (its own by default)."""
        log_path = self.log_path(exe)
        self._log_start = (exe, os.path.getsize(log_path) if os.path.exists(log_path) else 0)
        environment = dict(os.environ, WINEDEBUG=debug, WINEPREFIX=PREFIX)
        environment.update(env or {})
        self._started = time.monotonic()
        return subprocess.Popen([LOADER, *parent, windows_path or exe, *args], cwd=cwd or os.path.dirname(exe),
                                env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def finish_launcher(self, proc, children=0):
        stdout, stderr = proc.communicate(timeout=180)
        seconds = time.monotonic() - self._started
        stderr = stderr.decode("utf-8", "replace")
        debug = re.findall(r'OutputDebugStringA "(.*)"', stderr)
        self.wait_for_children(children)
        exe, before = self._log_start
        log_path = self.log_path(exe)  # created by this run, in the launcher's letter case
        log = ""
        if os.path.exists(log_path):
            with open(log_path, "rb") as f:
                f.seek(before)
                log = f.read().decode("utf-8", "replace")
        run = LauncherRun(proc.returncode, [d.replace("\\n", "\n") for d in debug], log, seconds)
        run.trace, run.output = stderr, stdout.decode("utf-8", "replace")
        return run

    def run_launcher(self, exe, args=(), env=None, children=0, windows_path=None, cwd=None):
        return self.once_more_on_wine_glitch(
            lambda: self.finish_launcher(self.start_launcher(exe, args, env, windows_path, cwd=cwd), children))

    def once_more_on_wine_glitch(self, attempt):
        """Runs attempt(), and once more when Wine refused the child's start
        with its internal error, which it does now and then under load. The
        launcher itself never reports that code: it comes from Wine's
        CreateProcessW, and the launcher logged it and went on as it should."""
        run = attempt()
        if WINE_START_GLITCH in run.log:
            sys.stderr.write(f"{self.id()}: Wine refused a child's start ({WINE_START_GLITCH}); once more\n")
            run = attempt()
        return run

    def wait_for_children(self, count):
        """Children are detached: wait until each has written its last line."""
        deadline = time.monotonic() + 60
        while count and time.monotonic() < deadline:
            done = [f for f in os.listdir(self.data) if f.endswith(".record")]
            if len(done) >= count:
                time.sleep(1)
                return
            time.sleep(0.2)

    def record(self, jar):
        fields = {"environment": [], "handle": []}
        with open(os.path.join(self.data, jar + ".record"), encoding="utf-8") as f:
            for line in f.read().split("\n"):
                if line:
                    key, value = line.split("\t", 1)
                    if key in fields:
                        fields[key].append(value)
                    else:
                        fields[key] = value
        return fields

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()


