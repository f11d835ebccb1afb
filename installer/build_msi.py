#!/usr/bin/python3
"""Builds the product's Windows Installer package from penwick.wxs with wixl
(msitools), then sets with msibuild what wixl 0.101 cannot express:

- the configuration component's attributes: wixl ignores Permanent and
  NeverOverwrite, so the Component row gets them here (msidbComponentAttributes
  Permanent 0x10 and NeverOverwrite 0x80, beside the 64-bit flag 0x100);
- a plain Start-menu shortcut: wixl 0.101 writes every shortcut as an
  advertised one, whose target is the feature; the Shortcut row's target
  becomes launcher.exe itself;
- the manufacturer's folders: wixl's CreateFolder ignores its Directory
  and always names the component's own folder, so the CreateFolder rows of
  the two Orvane folders (in Program Files and in ProgramData) are written
  here; a removal deletes a folder of that table once it is empty, after
  the Penwick folders below it;
- the removal of an unchanged launcher.toml: wixl writes only custom
  actions that run a file of the package or a program named by a property,
  so the CustomAction and InstallExecuteSequence rows of DropUnchangedConfig
  are written here. The action runs, in the removal script before the files
  go, the system's command interpreter in the install folder, which deletes
  launcher.toml when its size and last-write time are those of
  launcher.example.toml. Both are extracted from the package with the time
  stamp set here on the example (2000-01-01), so any change a user saves
  gives the file another time. (Wine 8's fc.exe is a stub that reports
  every pair of files equal: a comparison of contents cannot be proven
  there.) The condition leaves the file alone when an upgrade removes the
  old product; the new package then finds it and, never-overwrite, keeps it.
- the log folder's access: wixl knows neither Permission, PermissionEx nor
  the LockPermissions tables, so an MsiLockPermissionsEx row (Windows
  Installer 5) gives the folder a protected DACL: SYSTEM and Administrators
  full control, Users modify, inherited by the files in it, so that every
  user of the machine can append to the launcher's log.

The product code follows from the architecture and the version, so a build
of the same version gives the same package identity.

Two builds from the same input files give the same bytes: the files go into
the cabinet with the source's time (SOURCE_DATE_EPOCH, or the last commit's
time) in UTC, and pin_summary then sets the summary information's creation
and save times to that time and its package code, which wixl draws at
random, to a name-based UUID over every other stream of the package, so
that any change of the package's content still gives a new package code.

Usage: build_msi.py ARCH VERSION LAUNCHER_EXE TOKENHUB_DLL EXAMPLE_CONFIG OUT_MSI"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import uuid

import olefile

HERE = os.path.dirname(os.path.abspath(__file__))
UPGRADE_CODE = uuid.UUID("4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34")
PERMANENT, NEVER_OVERWRITE, WIN64 = 0x10, 0x80, 0x100
# SYSTEM and Administrators full control, Users read, write, execute and
# delete (modify); containers and files inherit; nothing from ProgramData.
LOG_FOLDER_SDDL = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)"
# Custom action type 34 (a program with a working folder), in the deferred
# script (0x400), as the installer service (0x800), its exit code ignored
# (0x40): fc exits 1 when the user changed the file.
DROP_UNCHANGED_TYPE = 34 | 0x400 | 0x800 | 0x40
DROP_UNCHANGED_COMMAND = ('"[%ComSpec]" /c for %a in (launcher.example.toml) do @for %b in (launcher.toml) do '
                          '@if "%~za %~ta"=="%~zb %~tb" del launcher.toml')
EXAMPLE_TIME = 946684800  # 2000-01-01 00:00:00 UTC
DROP_UNCHANGED_CONDITION = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
# Just before RemoveFiles (3500).
DROP_UNCHANGED_SEQUENCE = 3499


def product_code(arch, version):
    return "{" + str(uuid.uuid5(UPGRADE_CODE, f"Penwick {arch} {version}")).upper() + "}"


def source_time():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(subprocess.run(["git", "-C", HERE, "log", "-1", "--format=%ct"], capture_output=True, text=True,
                              check=True).stdout)


def stage(path, folder, when):
    """A copy of an input file with a fixed time, as the cabinet records it."""
    copy = os.path.join(folder, os.path.basename(path))
    shutil.copyfile(path, copy)
    os.utime(copy, (when, when))
    return copy


def pin_summary(path, when):
    """Sets the creation and last-save times (FILETIME properties 12 and 13)
    and the package code (property 9, 38 characters as wixl writes it) of the
    summary information stream in place."""
    name = "\x05SummaryInformation"
    with olefile.OleFileIO(path) as ole:
        content = hashlib.sha256()
        for entry in sorted(ole.listdir()):
            if entry != [name]:
                content.update("/".join(entry).encode("utf-8") + b"\0" + ole.openstream(entry).read())
        data = bytearray(ole.openstream(name).read())
    code = "{" + str(uuid.uuid5(UPGRADE_CODE, content.hexdigest())).upper() + "}"
    filetime = (when + 11644473600) * 10000000
    section = struct.unpack_from("<I", data, 44)[0]
    count = struct.unpack_from("<I", data, section + 4)[0]
    pinned = set()
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at = section + offset
        kind = struct.unpack_from("<I", data, at)[0]
        if pid in (12, 13) and kind == 64:  # VT_FILETIME
            struct.pack_into("<Q", data, at + 4, filetime)
            pinned.add(pid)
        elif pid == 9 and kind == 30 and struct.unpack_from("<I", data, at + 4)[0] == len(code) + 1:  # VT_LPSTR
            data[at + 8:at + 8 + len(code)] = code.encode("ascii")
            pinned.add(pid)
    if pinned != {9, 12, 13}:
        sys.exit(f"build_msi: summary information without the expected properties, pinned {sorted(pinned)}")
    with olefile.OleFileIO(path, write_mode=True) as ole:
        ole.write_stream(name, bytes(data))


def main(arch, version, launcher, tokenhub, config, out):
    if arch not in ("x86", "x64"):
        sys.exit(f"build_msi: architecture x86 or x64, not {arch}")
    partial = out + ".partial"
    # The example as the package carries it, with its fixed time stamp.
    staged = os.path.join(os.path.dirname(os.path.abspath(out)), "stage", "launcher.toml")
    os.makedirs(os.path.dirname(staged), exist_ok=True)
    shutil.copyfile(config, staged)
    os.utime(staged, (EXAMPLE_TIME, EXAMPLE_TIME))
    config = staged
    when = source_time()
    launcher, tokenhub = (stage(path, os.path.dirname(staged), when) for path in (launcher, tokenhub))
    defines = {"Arch": arch, "Version": version, "ProductCode": product_code(arch, version),
               "LauncherExe": launcher, "TokenhubDll": tokenhub, "ExampleConfig": config}
    command = ["wixl", "-a", arch, "-o", partial, os.path.join(HERE, "penwick.wxs")]
    # wixl opens the sources relative to its working folder only.
    for name in ("LauncherExe", "TokenhubDll", "ExampleConfig"):
        defines[name] = os.path.relpath(defines[name])
    for name, value in defines.items():
        command += ["-D", f"{name}={value}"]
    subprocess.run(command, check=True, env=dict(os.environ, TZ="UTC"))
    attributes = PERMANENT | NEVER_OVERWRITE | (WIN64 if arch == "x64" else 0)
    queries = [
        f"UPDATE `Component` SET `Attributes` = {attributes} WHERE `Component` = 'LauncherConfig'",
        "INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('OrvaneProgramFolder', 'Launcher')",
        "INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('OrvaneDataFolder', 'LogFolder')",
        "UPDATE `Shortcut` SET `Target` = '[#launcher.exe]' WHERE `Shortcut` = 'StartMenuLauncher'",
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
        "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDL` LONGCHAR NOT NULL, "
        "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
        "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDL`) "
        f"VALUES ('LogFolderAccess', 'LOGDIR', 'CreateFolder', '{LOG_FOLDER_SDDL}')",
        "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
        f"VALUES ('DropUnchangedConfig', {DROP_UNCHANGED_TYPE}, 'INSTALLDIR', '{DROP_UNCHANGED_COMMAND}')",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
        f"VALUES ('DropUnchangedConfig', '{DROP_UNCHANGED_CONDITION}', {DROP_UNCHANGED_SEQUENCE})",
    ]
    for query in queries:
        subprocess.run(["msibuild", partial, "-q", query], check=True)
    pin_summary(partial, when)
    os.replace(partial, out)


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__.rsplit("\n\n", 1)[1])
    main(*sys.argv[1:])
