#!/usr/bin/python3
"""The x64 package's life cycle under wine64, in a copy of the untouched
prefix that scripts/wine-setup keeps: the x86 package refused, and bad
values of the switches' properties; an x86 package of before that refusal
replaced by the x64 one; quiet install with the properties, the switches and
the detection value in the registry, files and version blocks in place (the PE32+ tokenhub.dll in the
64-bit system folder, the PE32 one in SysWOW64, where a 32-bit host loads it),
the installed launcher starting a recording child and logging below
ProgramData; a removal that fails late leaving launcher.toml in place, then
the removal of an unchanged install; an upgrade that fails late rolled back;
another build of the installed version replacing it; an upgrade (one product registered), a
downgrade refused, a repair restoring the deleted program files and keeping
the user's launcher.toml, and a removal that keeps that file and the logs and
nothing else. tokenhub's switches, given at the first install only, stay as
given through a later install, the rebuild, the upgrade and the repair.
Usage: installer_lifecycle.py BUILD_DIR [RELEASE_DIR]
(BUILD_DIR the win64 build, the win32 build beside it; RELEASE_DIR a release's
signed files in win64/ and win32/, whose x64 package then runs in place of
the build's)"""
import os, re, shutil, subprocess, sys, tempfile
import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(sys.argv[1])
scratch = tempfile.mkdtemp(prefix="installer-lifecycle-", dir=BUILD)
pristine = os.path.join(os.path.dirname(os.environ.get("TOKENHUB_WINEPREFIX", ROOT + "/build/wine/prefix")), "pristine")
if not os.path.isdir(pristine):
    subprocess.run(["bash", ROOT + "/scripts/wine-setup"], check=True)
subprocess.run(["cp", "-a", pristine, scratch + "/prefix"], check=True)
# No menu entries on the Linux desktop for the Start-menu shortcut.
ENV = dict(os.environ, WINEPREFIX=scratch + "/prefix", WINEDEBUG="-all", WINEDLLOVERRIDES="winemenubuilder.exe=d")
C = scratch + "/prefix/drive_c/"
PROGRAM, DATA = C + "Program Files/Orvane/Penwick/", C + "ProgramData/Orvane/Penwick/"
DLL, DLL32 = C + "windows/system32/tokenhub.dll", C + "windows/syswow64/tokenhub.dll"
HOST, HOST32 = C + "windows/system32/tokenhub-host.exe", C + "windows/syswow64/tokenhub-host.exe"
BUILD32 = os.path.join(os.path.dirname(BUILD), "win32")
built = {"launcher.exe": BUILD + "/launcher/launcher.exe", "tokenhub.dll": BUILD + "/tokenhub/tokenhub.dll",
         "tokenhub32.dll": BUILD32 + "/tokenhub/tokenhub.dll"}
first, second = BUILD + "/installer/penwick.msi", scratch + "/higher/penwick.msi"
if len(sys.argv) > 2:
    RELEASE = sys.argv[2]
    built = {"launcher.exe": RELEASE + "/win64/launcher.exe", "tokenhub.dll": RELEASE + "/win64/tokenhub.dll",
             "tokenhub32.dll": RELEASE + "/win32/tokenhub.dll"}
    first = RELEASE + "/win64/penwick.msi"
# The first package with a step that fails a removal after the files went,
# when the property FAILREMOVAL is set: before RemoveFolders, as Wine's
# rollback extracts the package's files anew into folders it does not
# create again.
failing = scratch + "/failing/penwick.msi"
failures = []
with open(ROOT + "/CMakeLists.txt", encoding="utf-8") as f:
    cmake = f.read()
# The product's four fields: the package's version and every program file's.
VERSION = (re.search(r"set\(PENWICK_VERSION ([\d.]+)\)", cmake).group(1) + "."
           + re.search(r"set\(PENWICK_BUILD (\d+)\)", cmake).group(1))


def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL:", text, file=sys.stderr)


def win(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, errors=False):
    out = subprocess.run(["/usr/lib/wine/wine64", *args], env=ENV, stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    subprocess.run(["wineserver", "-w"], env=ENV, timeout=120)
    return out.returncode, out.stdout.decode("utf-8", "replace") + (out.stderr.decode("utf-8", "replace") if errors else "")


def msiexec(action, package, log, *properties, fails=False):
    # msiexec makes its log before it opens the package. A run that left none
    # never started (Wine's start-up now and then fails on a loaded machine):
    # it is told and run once more.
    for attempt in (1, 2):
        if os.path.exists(scratch + "/" + log):
            os.remove(scratch + "/" + log)
        rc, output = wine("msiexec", action, win(package), *properties, "/qn", "/l*v", win(scratch + "/" + log),
                          errors=True)
        if os.path.exists(scratch + "/" + log):
            break
        print(f"msiexec {action} {log} left no log (exit code {rc}, attempt {attempt}): {output[-2000:]!r}",
              file=sys.stderr)
    check((rc != 0) == fails, f"msiexec {action} {log} {properties}: exit code {rc}")
    text = read(scratch + "/" + log)
    return text.decode("utf-16" if text[:2] == b"\xff\xfe" else "utf-8", "replace")


def products():
    """The products registered in either view (Wine registers an x86 package's in the 32-bit one)."""
    return sorted({code for view in ("/reg:64", "/reg:32") for code in re.findall(
        r"\{[0-9A-F-]{36}\}", wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", view)[1])})


def version(path):
    fixed = pefile.PE(path).VS_FIXEDFILEINFO[0]
    return f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}.{fixed.FileVersionLS >> 16}.{fixed.FileVersionLS & 0xFFFF}"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def left():
    found = [os.path.relpath(os.path.join(top, n), C) for base in (C + "Program Files/Orvane", C + "ProgramData/Orvane")
             for top, dirs, files in os.walk(base) for n in dirs + files]
    return sorted(found + [os.path.relpath(p, C) for p in (C + "Program Files/Orvane", C + "ProgramData/Orvane", DLL,
                                                          DLL32, HOST, HOST32, shortcut) if os.path.exists(p)])


# Another build of the same version (its example configuration differs), and
# that build with a step that fails its install after the files came, when
# FAILUPGRADE is set.
rebuilt, failing_upgrade = scratch + "/rebuilt/penwick.msi", scratch + "/failing-upgrade/penwick.msi"
# An x86 package made before it refused 64-bit Windows.
old_x86 = scratch + "/old-x86/penwick.msi"
for package in (second, failing, rebuilt, failing_upgrade, old_x86):
    os.makedirs(os.path.dirname(package))
rebuilt_config = read(ROOT + "/installer/launcher.toml") + b"# rebuilt\n"
with open(scratch + "/rebuilt/launcher.toml", "wb") as f:
    f.write(rebuilt_config)
for package, version_, config in ((second, "2.1.4.0", ROOT + "/installer/launcher.toml"),
                                  (rebuilt, VERSION, scratch + "/rebuilt/launcher.toml")):
    subprocess.run([sys.executable, ROOT + "/installer/build_msi.py", "x64", version_, built["launcher.exe"],
                    built["tokenhub.dll"], config, package, built["tokenhub32.dll"]], check=True, stderr=subprocess.DEVNULL)
shutil.copy(first, failing)
shutil.copy(rebuilt, failing_upgrade)
shutil.copy(BUILD32 + "/installer/penwick.msi", old_x86)
for package, query in (
        (failing, "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                  "VALUES ('FailRemoval', 3106, 'TARGETDIR', '\"[%ComSpec]\" /c exit 1')"),
        (failing, "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                  "VALUES ('FailRemoval', 'FAILREMOVAL', 3550)"),
        (failing_upgrade, "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                          "VALUES ('FailUpgrade', 3106, 'TARGETDIR', '\"[%ComSpec]\" /c exit 1')"),
        (failing_upgrade, "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                          "VALUES ('FailUpgrade', 'FAILUPGRADE', 4001)"),
        (old_x86, "DELETE FROM `LaunchCondition` WHERE `Condition` = 'Installed OR NOT VersionNT64'"),
        # (Nor had it the folder check: its 32-bit custom action would start
        # under qemu here, which now and then hangs for minutes.)
        (old_x86, "DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'CheckDataFolders'")):
    subprocess.run(["msibuild", package, "-q", query], check=True)

# A folder that a user prepared below ProgramData before the first install as
# a link to another place (Wine shows a Unix symbolic link as a reparse
# point) stops the install before any folder or file is made, with the
# reason in the log. (A folder a user owns cannot be made here: Wine keeps
# no owner that a program sets, and owns every file by the prefix's user.)
elsewhere = scratch + "/elsewhere"
os.makedirs(elsewhere)
os.symlink(elsewhere, C + "ProgramData/Orvane")
refused = msiexec("/i", first, "prepared-link.log", fails=True)
# (Wine's clean-up after the failure deletes the link's empty target.)
check("the folder C:\\ProgramData\\Orvane is a link to another place" in refused and products() == []
      and (not os.path.exists(elsewhere) or os.listdir(elsewhere) == []),
      "a link prepared as the Orvane folder refused, nothing written there")
if os.path.lexists(C + "ProgramData/Orvane"):
    os.remove(C + "ProgramData/Orvane")
# A diagnostic log planted as a hard link to another file stops it too; the
# install writes nothing through it. (One that is there as a plain file is
# taken over: every install after the first below finds the kept log.)
os.makedirs(DATA)
with open(scratch + "/elsewhere.txt", "wb") as f:
    f.write(b"kept\n")
os.link(scratch + "/elsewhere.txt", DATA + "launcherlauncher.log")
refused = msiexec("/i", first, "planted-log.log", fails=True)
check("is a hard link to another file" in refused and products() == [] and read(scratch + "/elsewhere.txt") == b"kept\n",
      "a diagnostic log planted as a hard link refused, nothing written through it")
shutil.rmtree(C + "ProgramData/Orvane")

# On a 64-bit Windows the x86 package stops, naming the x64 package.
# (Wine's msiexec logs no launch condition's message: check_msi.py checks it.)
refused = msiexec("/i", BUILD32 + "/installer/penwick.msi", "x86.log", fails=True)
check("LaunchConditions. Return value 0" in refused and products() == [], "the x86 package refused")

# A switch's value that tokenhub would not take stops the install.
for bad in ("HOSTBACKENDS=2", "LOGFILE=tokenhub.log"):
    check("LaunchConditions. Return value 0" in msiexec("/i", first, "bad-property.log", bad, fails=True)
          and products() == [], f"{bad} refused")
# An x86 package on 64-bit Windows, installed before it refused to: the x64
# package replaces it, one product owning each file.
msiexec("/i", old_x86, "old-x86.log")
x86_product = products()
trace = "C:\\Windows\\Temp\\tokenhub-trace.log"
log = msiexec("/i", first, "install.log", f"LOGFILE={trace}", "HOSTBACKENDS=1")
check(len(x86_product) == 1 and len(products()) == 1 and products() != x86_product
      and not os.path.exists(C + "Program Files (x86)/Orvane"), f"the x64 package replaces the x86 one {x86_product}")


def registry(key):
    return wine("reg", "query", key, "/reg:64")[1]


def switches_kept(when):
    check(re.search(r"LogFile\s+REG_SZ\s+" + re.escape(trace) + r"\r?\n", registry(r"HKLM\Software\Varenzo\tokenhub"))
          and re.search(r"HostBackends\s+REG_DWORD\s+0x1\s", registry(r"HKLM\Software\Varenzo\tokenhub")),
          f"{when}: the switches as given at the first install")


switches_kept("install")
check(re.search(r"Version\s+REG_SZ\s+" + re.escape(VERSION) + r"\s", registry(r"HKLM\Software\Orvane\Penwick")),
      f"the detection value {VERSION} in the machine's registry")
# Wine 8 puts a per-machine package's shortcuts in the installing user's Start menu.
menu = re.search(r"Property\(S\): ProgramMenuFolder = C:\\(.*?)\\?\r?\n", log)
shortcut = C + (menu.group(1).replace("\\", "/") if menu else "?") + "/Penwick.lnk"
check(os.path.isfile(shortcut) and "C:\\Program Files\\Orvane\\Penwick\\launcher.exe".encode() in read(shortcut),
      f"Start-menu shortcut {shortcut} to the installed launcher.exe")
check(sorted(os.listdir(PROGRAM)) == ["launcher.example.toml", "launcher.exe", "launcher.toml"], "install folder")
check(read(PROGRAM + "launcher.exe") == read(built["launcher.exe"]) and read(DLL) == read(built["tokenhub.dll"])
      and read(DLL32) == read(built["tokenhub32.dll"])
      and read(HOST) == read(os.path.join(os.path.dirname(built["tokenhub.dll"]), "tokenhub-host.exe"))
      and read(HOST32) == read(os.path.join(os.path.dirname(built["tokenhub32.dll"]), "tokenhub-host.exe")),
      "the built launcher.exe in Program Files, the PE32+ tokenhub.dll and its host in the 64-bit system folder and "
      "the PE32 ones in the 32-bit system folder")
check({version(path) for path in (PROGRAM + "launcher.exe", DLL, DLL32, HOST, HOST32)} == {VERSION},
      f"version blocks {VERSION}")
# A 32-bit program finds the PE32 module in its system folder (one start of a
# 32-bit program: they run slowly here).
host = subprocess.run(["wine", BUILD32 + "/testbin/systemhost.exe"], env=ENV, stdin=subprocess.DEVNULL,
                      capture_output=True, timeout=300).stdout.decode("utf-8", "replace")
check(re.search(r"module C:\\windows\\(system32|syswow64)\\tokenhub.dll\r?\nC_GetFunctionList 0 version 2.11", host,
                re.IGNORECASE), f"a 32-bit host loads the PE32 module from its system folder: {host!r}")
check(read(PROGRAM + "launcher.toml") == read(ROOT + "/installer/launcher.toml"), "launcher.toml is the example")
check(sorted(os.listdir(DATA)) == ["README.txt", "launcherlauncher.log"] and read(DATA + "launcherlauncher.log") == b"",
      "the log folder below ProgramData holds its README.txt and the empty diagnostic log")
msiexec("/x", first, "remove-unchanged.log")
LOG_ONLY = ["ProgramData/Orvane", "ProgramData/Orvane/Penwick", "ProgramData/Orvane/Penwick/launcherlauncher.log"]
check(left() == LOG_ONLY and products() == [] and "Version" not in registry(r"HKLM\Software\Orvane\Penwick")
      and "HostBackends" in registry(r"HKLM\Software\Varenzo\tokenhub"),
      f"a removal right after the install leaves the diagnostic log and tokenhub's switches only, left {left()}")

# A removal that fails after the files went is rolled back: the unchanged
# launcher.toml is there again under its name. (Wine's rollback installs the
# package's files anew and drops the product's Uninstall key; Windows restores
# what it removed and keeps the registration.)
msiexec("/i", failing, "install-failing.log")
msiexec("/x", failing, "remove-failing.log", "FAILREMOVAL=1", fails=True)
check(sorted(os.listdir(PROGRAM)) == ["launcher.example.toml", "launcher.exe", "launcher.toml"]
      and read(PROGRAM + "launcher.toml") == read(ROOT + "/installer/launcher.toml"),
      f"a failed removal leaves launcher.toml under its name, left {left()}")
msiexec("/x", failing, "remove-after-failing.log")
check(left() == LOG_ONLY and products() == [], f"then the removal leaves the diagnostic log only, left {left()}")

msiexec("/i", first, "install-again.log")
installed = products()
switches_kept("an install without the properties")
child = scratch + "/child"
os.makedirs(child)
user_config = (f"[jre]\nmain_jar = \"penwick.jar\"\n[app]\nexec = '{win(BUILD + '/testbin/childprobe.exe')}'\n"
               f"data_dir = '{win(child)}'\n").encode()
with open(PROGRAM + "launcher.toml", "wb") as f:
    f.write(user_config)
open(PROGRAM + "penwick.jar", "wb").close()  # the launcher starts Java only for a jar that is there
wine("C:\\Program Files\\Orvane\\Penwick\\launcher.exe", "started")
os.remove(PROGRAM + "penwick.jar")
record = child + "/penwick.jar.record"
check(os.path.isfile(record) and b'-jar "C:\\Program Files\\Orvane\\Penwick\\penwick.jar" started' in read(record),
      "the installed launcher starts the child with the installed jar path")
check(b"moduleDir=C:\\Program Files\\Orvane\\Penwick\n" in read(DATA + "launcherlauncher.log"), "log below ProgramData")

# An upgrade that fails after its files came is rolled back. (Windows keeps
# the earlier version: its removal is part of the upgrade's transaction, as
# check_msi.py checks. Wine runs RemoveExistingProducts at once as a removal
# of its own, wherever it is sequenced, so its rollback cannot bring the
# earlier version back: what Wine shows is the new build's rollback.)
msiexec("/i", failing_upgrade, "upgrade-failing.log", "FAILUPGRADE=1", fails=True)
check(products() == [] and left() == ["Program Files/Orvane", "Program Files/Orvane/Penwick",
                                      "Program Files/Orvane/Penwick/launcher.toml"] + LOG_ONLY
      and read(PROGRAM + "launcher.toml") == user_config,
      f"a failed upgrade leaves none of the new build's files and registration, left {left()}")
# (Wine's rollback of that upgrade deleted the switches its new build had
# written back; Windows restores them. They are given once more here.)
msiexec("/i", first, "install-after-failing-upgrade.log", f"LOGFILE={trace}", "HOSTBACKENDS=1")
installed = products()

# Another build of the installed version replaces it.
msiexec("/i", rebuilt, "rebuild.log")
check(len(products()) == 1 and products() != installed and read(PROGRAM + "launcher.example.toml") == rebuilt_config
      and read(PROGRAM + "launcher.toml") == user_config, f"a rebuild replaces {installed} by {products()}")
switches_kept("a rebuild without the properties")
installed = products()
msiexec("/i", second, "upgrade.log")
upgraded = products()
check(len(installed) == len(upgraded) == 1 and installed != upgraded, f"the upgrade replaces {installed} by {upgraded}")
entry = wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" "\\" + upgraded[0])[1]
icon = C + "windows/Installer/" + upgraded[0] + "/launcher.ico"
switches_kept("an upgrade without the properties")
check(re.search(r"DisplayVersion\s+REG_SZ\s+2\.1\.4(\.0)?\s", entry) and re.search(r"NoModify\s+REG_DWORD\s+0x1\s", entry)
      and os.path.isfile(icon) and read(icon) == read(BUILD + "/launcher/launcher_large.ico"),
      "version 2.1.4 registered, with no Change and the launcher's icon")
check(read(PROGRAM + "launcher.toml") == user_config and os.path.isfile(DLL) and os.path.isfile(DLL32),
      "the upgrade keeps the user's launcher.toml")
check("LaunchConditions. Return value 0" in msiexec("/i", first, "downgrade.log", fails=True)
      and products() == upgraded, "a downgrade stops at its launch condition")
for path in (PROGRAM + "launcher.exe", DLL, DLL32):
    os.remove(path)
logs = read(DATA + "launcherlauncher.log")
msiexec("/i", second, "repair.log", "REINSTALL=ALL", "REINSTALLMODE=amus")
check(read(PROGRAM + "launcher.exe") == read(built["launcher.exe"]) and read(DLL) == read(built["tokenhub.dll"])
      and read(DLL32) == read(built["tokenhub32.dll"]) and read(PROGRAM + "launcher.toml") == user_config
      and logs and read(DATA + "launcherlauncher.log") == logs,
      "a repair restores the program files and keeps the user's launcher.toml and the diagnostic log's lines")
switches_kept("a repair")
msiexec("/x", second, "remove.log")
check(left() == ["Program Files/Orvane", "Program Files/Orvane/Penwick", "Program Files/Orvane/Penwick/launcher.toml",
                 "ProgramData/Orvane", "ProgramData/Orvane/Penwick", "ProgramData/Orvane/Penwick/launcherlauncher.log"]
      and read(PROGRAM + "launcher.toml") == user_config and read(DATA + "launcherlauncher.log") == logs
      and products() == [], f"the removal keeps the logs and the changed launcher.toml only, left {left()}")
if failures:
    sys.exit(f"installer life cycle: {len(failures)} failure(s), scratch kept in {scratch}")
shutil.rmtree(scratch)
