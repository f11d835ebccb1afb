#!/usr/bin/python3
"""The x64 installer package's life cycle under wine64, in a prefix of its
own copied from the untouched one that scripts/wine-setup saves: quiet
install, files and version blocks where they belong, the installed launcher
starting a recording child and logging below ProgramData, an upgrade to a
higher version that keeps the user's launcher.toml, and removals that leave
nothing of the package but the logs and a changed launcher.toml.
Usage: installer_lifecycle.py BUILD_DIR"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(sys.argv[1])
LOADER = "/usr/lib/wine/wine64"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)
        print("FAIL:", text, file=sys.stderr)


def win(path):
    return "Z:" + path.replace("/", "\\")


def fresh_prefix(scratch):
    pristine = os.path.join(os.environ.get("TOKENHUB_WINEPREFIX", os.path.join(ROOT, "build", "wine", "prefix")),
                            os.pardir, "pristine")
    if not os.path.isdir(pristine):
        # A prefix made before wine-setup kept an untouched copy: make one.
        print("installer_lifecycle: creating an untouched Wine prefix (minutes, once)", file=sys.stderr)
        subprocess.run([LOADER, "wineboot", "-i"], env=dict(os.environ, WINEPREFIX=pristine + ".partial"),
                       stdin=subprocess.DEVNULL, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=pristine + ".partial"))
        os.replace(pristine + ".partial", pristine)
    prefix = os.path.join(scratch, "prefix")
    subprocess.run(["cp", "-a", pristine, prefix], check=True)
    return prefix


def wine(*args, check_rc=True):
    # No menu entries on the Linux desktop for the Start-menu shortcut.
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="winemenubuilder.exe=d")
    result = subprocess.run([LOADER, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    if check_rc:
        check(result.returncode == 0, f"{' '.join(args)} exits 0, got {result.returncode}")
    return result.stdout.decode("utf-8", "replace")


def msiexec(action, package, log):
    wine("msiexec", action, win(package), "/qn", "/l*v", win(log))
    with open(log, "rb") as f:
        return f.read().decode("utf-8", "replace")


def installed_products():
    out = wine("reg", "query", UNINSTALL_KEY, check_rc=False)
    return set(re.findall(r"\{[0-9A-F-]{36}\}", out))


def file_version(path):
    info = pefile.PE(path, fast_load=True)
    info.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = info.VS_FIXEDFILEINFO[0]
    ms, ls = fixed.FileVersionMS, fixed.FileVersionLS
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def read(path):
    with open(path, "rb") as f:
        return f.read()


scratch = tempfile.mkdtemp(prefix="installer-lifecycle-", dir=BUILD)
PREFIX = fresh_prefix(scratch)
drive = os.path.join(PREFIX, "drive_c")
program = os.path.join(drive, "Program Files", "Orvane", "Penwick")
data = os.path.join(drive, "ProgramData", "Orvane", "Penwick")
dll = os.path.join(drive, "windows", "system32", "tokenhub.dll")
launcher_built = os.path.join(BUILD, "launcher", "launcher.exe")
tokenhub_built = os.path.join(BUILD, "tokenhub", "tokenhub.dll")
example = read(os.path.join(ROOT, "installer", "launcher.toml"))
first = os.path.join(BUILD, "installer", "penwick.msi")
second = os.path.join(scratch, "upgrade", "penwick.msi")
os.makedirs(os.path.dirname(second))
subprocess.run([sys.executable, os.path.join(ROOT, "installer", "build_msi.py"), "x64", "2.1.4", launcher_built,
                tokenhub_built, os.path.join(ROOT, "installer", "launcher.toml"), second],
               check=True, stderr=subprocess.DEVNULL)


def leftovers():
    """What of the package is still in the prefix."""
    found = [os.path.relpath(os.path.join(top, name), drive)
             for base in (os.path.dirname(program), os.path.dirname(data)) if os.path.exists(base)
             for top, dirs, files in os.walk(base) for name in dirs + files]
    found += [p for p in (dll, shortcut) if shortcut and os.path.exists(p)]
    return sorted(found)


# 1. Quiet install: every file where the package puts it, as built.
log = msiexec("/i", first, os.path.join(scratch, "install.log"))
# Wine 8's msi resolves ProgramMenuFolder to the installing user's Start
# menu even for a per-machine package; Windows gives the all-users one.
menu = re.search(r"Property\(S\): ProgramMenuFolder = (.*?)\\?\r?\n", log)
shortcut = None
if menu:
    shortcut = os.path.join(drive, *menu.group(1)[3:].split("\\"), "Penwick.lnk")
check(shortcut and os.path.isfile(shortcut), f"Start-menu shortcut at {shortcut}")
if shortcut and os.path.isfile(shortcut):
    target = "C:\\Program Files\\Orvane\\Penwick\\launcher.exe"
    check(target.encode() in read(shortcut) or target.encode("utf-16-le") in read(shortcut), "shortcut targets launcher.exe")
check(sorted(os.listdir(program)) == ["launcher.example.toml", "launcher.exe", "launcher.toml"],
      f"install folder holds launcher.exe and its configuration, got {sorted(os.listdir(program))}")
check(read(os.path.join(program, "launcher.exe")) == read(launcher_built), "installed launcher.exe is the built one")
check(read(dll) == read(tokenhub_built), "64-bit tokenhub.dll in the 64-bit system folder")
check(read(os.path.join(program, "launcher.toml")) == example, "launcher.toml is the example")
check(file_version(os.path.join(program, "launcher.exe")) == "2.1.3.0", "launcher.exe version 2.1.3.0")
check(file_version(dll) == "2.0.0.11", "tokenhub.dll version 2.0.0.11")
check(os.path.isdir(data) and not os.listdir(data), "empty log folder below ProgramData")

# 2. Removal right after: nothing is left, the unchanged example neither.
msiexec("/x", first, os.path.join(scratch, "remove-unchanged.log"))
check(leftovers() == [], f"removal leaves nothing, left {leftovers()}")
check(installed_products() == set(), "no product registered after removal")

# 3. Installed again; the user's configuration starts a recording child.
msiexec("/i", first, os.path.join(scratch, "install-again.log"))
products = installed_products()
child_dir = os.path.join(scratch, "child")
os.makedirs(child_dir)
user_config = (f"[jre]\nmain_jar = \"penwick.jar\"\n[app]\n"
               f"exec = '{win(os.path.join(BUILD, 'testbin', 'childprobe.exe'))}'\n"
               f"data_dir = '{win(child_dir)}'\nlog_dir = '{win(child_dir)}'\n").encode()
with open(os.path.join(program, "launcher.toml"), "wb") as f:
    f.write(user_config)
wine("C:\\Program Files\\Orvane\\Penwick\\launcher.exe", "from-the-start-menu")
record = os.path.join(child_dir, "penwick.jar.record")
check(os.path.isfile(record), "the installed launcher started the child")
if os.path.isfile(record):
    check('-jar "C:\\Program Files\\Orvane\\Penwick\\penwick.jar" from-the-start-menu'
          in read(record).decode("utf-8"), "child's command line names the installed jar path")
diagnostic = os.path.join(data, "launcherlauncher.log")
check(os.path.isfile(diagnostic) and b"moduleDir=C:\\Program Files\\Orvane\\Penwick\n" in read(diagnostic),
      "diagnostic log in the installed ProgramData folder, from the installed place")

# 4. A higher version upgrades and keeps the user's file.
msiexec("/i", second, os.path.join(scratch, "upgrade.log"))
upgraded = installed_products()
check(len(products) == 1 and len(upgraded) == 1 and upgraded != products,
      f"the upgrade replaces the product: {products} -> {upgraded}")
version = wine("reg", "query", UNINSTALL_KEY + "\\" + next(iter(upgraded), ""), "/v", "DisplayVersion", check_rc=False)
check("2.1.4" in version, f"registered version 2.1.4, got {version.strip()!r}")
check(read(os.path.join(program, "launcher.toml")) == user_config, "the upgrade keeps the user's launcher.toml")
check(os.path.isfile(os.path.join(program, "launcher.exe")) and os.path.isfile(dll), "upgrade installs the files")

# 5. Removal: the logs and the user's launcher.toml stay, nothing else.
logs_before = read(diagnostic)
msiexec("/x", second, os.path.join(scratch, "remove.log"))
kept = [os.path.join("Program Files", "Orvane", "Penwick"), os.path.join("Program Files", "Orvane", "Penwick", "launcher.toml"),
        os.path.join("ProgramData", "Orvane", "Penwick"), os.path.join("ProgramData", "Orvane", "Penwick", "launcherlauncher.log")]
check(leftovers() == sorted(kept), f"removal keeps only the logs and the changed launcher.toml, left {leftovers()}")
check(os.path.isfile(diagnostic) and read(diagnostic) == logs_before, "the diagnostic log is kept as it was")
check(read(os.path.join(program, "launcher.toml")) == user_config, "the user's launcher.toml is kept as it was")
check(installed_products() == set(), "no product registered after removal")

if failures:
    print(f"installer life cycle: {len(failures)} failure(s); scratch kept in {scratch}", file=sys.stderr)
    sys.exit(1)
shutil.rmtree(scratch, ignore_errors=True)
print("installer life cycle: install, run, upgrade and removals as expected")
