#!/usr/bin/python3
"""Static check of an installer package with msiinfo: the properties Windows
Installer's rules depend on and Wine's msiexec does not model. Every PE file
carries its version block's version and language and has no MsiFileHash row,
and its bitness matches its component and folder; the log folder's DACL lets
Users create and append, never delete, rename, overwrite others' files or
nest folders, and a file of the package keeps it from being empty; the x86 package refuses 64-bit Windows naming the x64 one; a
downgrade stops with a message; the unchanged-configuration removal has its
rollback; fixed identity and component ids.
Usage: check_msi.py PENWICK_MSI x86|x64"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

import pefile

msi, arch = os.path.abspath(sys.argv[1]), sys.argv[2]
# msiinfo writes a table's binary streams (the Icon table's) into its working folder.
scratch = tempfile.TemporaryDirectory()
x64 = arch == "x64"
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL:", text, file=sys.stderr)


def table(name):
    out = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, cwd=scratch.name).stdout
    return [tuple(line.split("\t")) for line in out.split("\n")[3:] if line]


def cabinet_files(cab):
    """The members of an MSZIP cabinet by name (the File table's keys)."""
    files_at, folder_count, file_count = struct.unpack_from("<I", cab, 16)[0], *struct.unpack_from("<HH", cab, 26)
    folders = []
    for index in range(folder_count):
        start, blocks, compression = struct.unpack_from("<IHH", cab, 36 + 8 * index)
        data, pos = b"", start
        for _ in range(blocks):
            size = struct.unpack_from("<H", cab, pos + 4)[0]
            block = cab[pos + 8:pos + 8 + size]
            data += zlib.decompressobj(-15, zdict=data[-32768:]).decompress(block[2:]) if compression == 1 else block
            pos += 8 + size
        folders.append(data)
    files, pos = {}, files_at
    for _ in range(file_count):
        size, offset, folder = struct.unpack_from("<IIH", cab, pos)
        end = cab.index(b"\0", pos + 16)
        files[cab[pos + 16:end].decode()] = folders[folder][offset:offset + size]
        pos = end + 1
    return files


# Every PE file: its version and language in the File row, no MsiFileHash row;
# every other file: no version, and a hash row.
cab = subprocess.run(["msiinfo", "extract", msi, "cab1.cab"], capture_output=True, check=True).stdout
members = cabinet_files(cab)
rows = {row[0]: row for row in table("File")}
hashed = {row[0] for row in table("MsiFileHash")}
bitness = {}
check(set(members) == set(rows), f"the cabinet holds the files of the File table: {sorted(members)}")
for key, (_, component, name, size, version, language, *_) in rows.items():
    data = members.get(key, b"")
    if data[:2] != b"MZ":
        check(version == "" and key in hashed, f"{key}: unversioned, with its hash")
        continue
    pe = pefile.PE(data=data)
    fixed = pe.VS_FIXEDFILEINFO[0]
    block = (f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}."
             f"{fixed.FileVersionLS >> 16}.{fixed.FileVersionLS & 0xFFFF}")
    check((version, language) == (block, "1033") and key not in hashed,
          f"{key}: version {version!r} language {language!r} as its block ({block}, 1033), no hash row")
    bitness[component] = pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]

# Where the PE files go and their bitness: the 64-bit flag of a component
# matches its file, and the x64 package serves both kinds of program.
components = {row[0]: row for row in table("Component")}
placed = sorted((components[c][2], bool(int(components[c][3]) & 0x100), is64, components[c][5])
                for c, is64 in bitness.items())
check(placed == (sorted([("INSTALLDIR", True, True, "launcher.exe"), ("System64Folder", True, True, "tokenhub.dll"),
                         ("SystemFolder", False, False, "tokenhub32.dll")]) if x64 else
                 [("INSTALLDIR", False, False, "launcher.exe"), ("SystemFolder", False, False, "tokenhub.dll")]),
      f"PE files by folder, 64-bit component, 64-bit file: {placed}")

# The log folder: Users may list it and create files, append to every file
# and write their own; nobody but SYSTEM and Administrators may delete or
# rename the folder or a file, create folders, or change permissions.
DELETE, WRITE_DAC, WRITE_OWNER, ADD_FILE_OR_WRITE, APPEND_OR_ADD_SUBDIR, DELETE_CHILD = \
    0x10000, 0x40000, 0x80000, 0x2, 0x4, 0x40
GENERIC = {"FA": 0x1F01FF, "GA": 0x1F01FF, "GW": 0x120116, "FW": 0x120116}
locks = table("MsiLockPermissionsEx")
check([row[1:3] for row in locks] == [("LOGDIR", "CreateFolder")], f"one lock, on the log folder: {locks}")
sddl = locks[0][3] if locks else ""
check(sddl.startswith("D:P"), "a protected DACL: nothing from ProgramData")
folder, files = {}, {}
for kind, flags, mask, trustee in re.findall(r"\((A|D);([A-Z]*);(\w+);;;(\w+)\)", sddl):
    check(kind == "A", "allow entries only")
    mask = GENERIC.get(mask) or int(mask, 16)
    if "IO" not in flags:
        folder[trustee] = folder.get(trustee, 0) | mask
    if "OI" in flags:
        files[trustee] = files.get(trustee, 0) | mask
users = {t for t in set(folder) | set(files) if t not in ("SY", "BA")}
check(users <= {"BU", "CO"}, f"no other trustee than Users and the creator: {users}")
forbidden = DELETE | WRITE_DAC | WRITE_OWNER
check(folder.get("BU", 0) & (forbidden | DELETE_CHILD | APPEND_OR_ADD_SUBDIR) == 0
      and folder.get("BU", 0) & ADD_FILE_OR_WRITE, f"Users on the folder: create files only, {folder.get('BU', 0):#x}")
check(files.get("BU", 0) & (forbidden | ADD_FILE_OR_WRITE) == 0 and files.get("BU", 0) & APPEND_OR_ADD_SUBDIR,
      f"Users on every file: append, not overwrite, {files.get('BU', 0):#x}")
check(files.get("CO", 0) & forbidden == 0 and "CO" not in folder, f"a file's creator: no delete, {files.get('CO', 0):#x}")
check(all(folder.get(t) == files.get(t) == 0x1F01FF for t in ("SY", "BA")), "SYSTEM and Administrators: full")
# Creating files there is also the right to make the folder a mount point,
# which only an empty folder can become: a file of the package stays in it.
check(any(components[row[1]][2] == "LOGDIR" for row in rows.values()), "a file of the package in the log folder")

# Launch conditions: no downgrade; the x86 package only on 32-bit Windows.
conditions = dict(table("LaunchCondition"))
check("A newer version of Penwick is already installed." == conditions.pop("NOT WIX_DOWNGRADE_DETECTED", None),
      "a downgrade stops with a message")
check(conditions == ({} if x64 else {"Installed OR NOT VersionNT64": conditions.get("Installed OR NOT VersionNT64")})
      and all("x64 package" in text for text in conditions.values()), f"x86 refuses 64-bit Windows: {conditions}")

# Identity: fixed per architecture, so the same build gives the same product
# and the components keep their ids from version to version.
ids = dict(zip(("product", "Launcher", "LauncherConfig", "Tokenhub", "LogFolder", "LogFolderNote", "Tokenhub32"), (
    "0A4C4EA2-D162-5C57-B636-5AB2D90C42C1 A007EC8F-B300-5DB4-9840-76A459654CBD B516D8C2-C62D-5280-B721-4065FB8257DD "
    "74386647-80AE-58E2-8FA1-ED54FA3F8BB1 8E3F0B6C-1D2A-4C5B-9A7E-6F1D3B2C4A58 D9202B68-0A50-46A7-9D9D-C61DAF99445B "
    "37E1F8F7-F161-5A3B-8A61-B0DD3AC334F9" if x64 else
    "22BE4B9A-3D23-51BB-B473-D83DF336CA68 BB4B1E53-312C-5558-981B-FE89031D35DF 40832121-9715-5DA7-AEDE-D23AFA731ABA "
    "723C393B-C0CE-5917-B737-B9C76E08270C 3B7D2E94-6C1F-4A8B-B5D0-9E2C7F4A1D63 169BED7A-E8EC-4465-9294-B77BACA06F1E"
    ).split()))
props = dict(table("Property"))
icons = {row[0] for row in table("Icon")}
check({k: props.get(k) for k in ("ProductCode", "UpgradeCode", "ProductVersion", "ALLUSERS", "ARPNOMODIFY")}
      == {"ProductCode": "{" + ids.pop("product") + "}", "UpgradeCode": "{4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34}",
          "ProductVersion": "2.1.3", "ALLUSERS": "1", "ARPNOMODIFY": "1"}
      and props.get("ARPPRODUCTICON") in icons, "identity; Programs and Features: an icon, no Change")
check({c: row[1] for c, row in components.items()} == {c: "{" + i + "}" for c, i in ids.items() if c in components}
      and len(components) == (6 if x64 else 5), "component ids")
check(int(components["LauncherConfig"][3]) & 0x90 == 0x90, "launcher.toml: permanent and never overwritten")

# Removal of an unchanged launcher.toml: set aside in the removal script, with
# a rollback action before it and the deletion at commit, removal only.
actions = {row[0]: int(row[1]) for row in table("CustomAction")}
sequence = {row[0]: (row[1], int(row[2])) for row in table("InstallExecuteSequence")}
removal = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
steps = sorted((sequence.get(a, ("", 0))[1], a, actions[a] & 0x7F00) for a in actions)
check([(a, kind) for _, a, kind in steps] == [("RestoreUnchangedConfig", 0xD00), ("SetAsideUnchangedConfig", 0xC00),
                                              ("DropUnchangedConfig", 0xE00)]
      and all(sequence[a][0] == removal and n < sequence["RemoveFiles"][1] for n, a, _ in steps),
      f"rollback, set aside, commit, before RemoveFiles, on removal only: {steps}")
check(sequence["InstallInitialize"][1] > sequence["RemoveExistingProducts"][1] > sequence["InstallValidate"][1],
      "the old product goes before the new files come")
sys.exit(1 if failures else 0)
