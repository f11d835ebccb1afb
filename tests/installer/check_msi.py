#!/usr/bin/python3
"""Static check of an installer package with msiinfo: the properties Windows
Installer's rules depend on and Wine's msiexec does not model. Every PE file
carries its version block's version and language and has no MsiFileHash row,
and its bitness matches its component and folder; the folders below
ProgramData and the diagnostic log belong to the Administrators, with
protected DACLs that let a user, owner or not, do only what the log folder
needs, and a file of the package keeps that folder from being empty; the x86
package refuses 64-bit Windows naming the x64 one; a downgrade and bad
switch values stop with a message; the unchanged-configuration removal has
its rollback; the earlier version's removal is inside the transaction; no
program is shut down; the registry values are those the code reads; the
product icon holds the launcher's images; fixed identity and component ids.
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
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# msiinfo writes a table's binary streams (the Icon table's) into its working folder.
scratch = tempfile.TemporaryDirectory()
x64 = arch == "x64"
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL:", text, file=sys.stderr)


def read_source(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


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
                         ("System64Folder", True, True, "tokenhub_host.exe"),
                         ("SystemFolder", False, False, "tokenhub32.dll"),
                         ("SystemFolder", False, False, "tokenhub_host32.exe")]) if x64 else
                 sorted([("INSTALLDIR", False, False, "launcher.exe"), ("SystemFolder", False, False, "tokenhub.dll"),
                         ("SystemFolder", False, False, "tokenhub_host.exe")])),
      f"PE files by folder, 64-bit component, 64-bit file: {placed}")

# Below ProgramData (where any user may create folders first): each folder and
# the diagnostic log owned by the Administrators with a protected DACL, and
# what a user may do there, as their owner (a squatter: Windows Installer
# takes ownership only where it can) or not. An OWNER RIGHTS entry (OW)
# replaces an owner's implicit rights (read and change the permissions);
# CREATOR OWNER would leave them to a file's creator.
READ, WRITE, APPEND, DELETE_CHILD, DELETE, READ_CONTROL, WRITE_DAC, WRITE_OWNER = \
    0x1, 0x2, 0x4, 0x40, 0x10000, 0x20000, 0x40000, 0x80000
ANY_CHANGE = DELETE | WRITE_DAC | WRITE_OWNER
# CreateFileW asks for these two whatever the caller asks for.
OPENS = 0x80 | 0x100000  # FILE_READ_ATTRIBUTES, SYNCHRONIZE
FULL = 0x1F01FF


def lock_access(sddl, sids, owner, target):
    """The rights that a token with `sids` has on the locked object itself
    ("self") or on a file created in it ("file"), as its owner or not."""
    aces = re.findall(r"\((A|D);([A-Z]*);(\w+);;;(\w+)\)", sddl)
    check(all(kind == "A" for kind, *_ in aces), f"allow entries only: {sddl}")
    applying = [(int(mask, 16) if mask.startswith("0x") else {"FA": FULL}[mask], trustee)
                for _, flags, mask, trustee in aces if ("IO" not in flags if target == "self" else "OI" in flags)]
    rights = 0
    for mask, trustee in applying:
        if trustee in sids or (owner and trustee == "OW"):
            rights |= mask
    if owner and all(trustee != "OW" for _, trustee in applying):
        rights |= READ_CONTROL | WRITE_DAC
    return rights


export = subprocess.run(["msiinfo", "export", msi, "MsiLockPermissionsEx"], capture_output=True, text=True).stdout
check(export.split("\n")[0].split("\t") == ["MsiLockPermissionsEx", "LockObject", "Table", "SDDLText", "Condition"],
      f"the lock table's columns as Windows Installer reads them: {export.split(chr(10))[0]!r}")
locks = {row[1]: row for row in table("MsiLockPermissionsEx")}
# The diagnostic log's name as launcher.exe forms it: launcher<program name>.log.
log_prefix = re.search(r'L"\\\\Orvane\\\\Penwick\\\\(\w+)"', read_source("launcher/log.cpp")).group(1)
diagnostic_log = log_prefix + "launcher.log"
# (object, its table, user as owner?, target, rights required, rights refused)
RULES = [("OrvaneDataFolder", "CreateFolder", True, "self", READ, ANY_CHANGE | WRITE | APPEND | DELETE_CHILD),
         ("LOGDIR", "CreateFolder", True, "self", READ | WRITE, ANY_CHANGE | APPEND | DELETE_CHILD),
         ("LOGDIR", "CreateFolder", False, "file", 0, FULL),  # another user's output log, crash file
         ("LOGDIR", "CreateFolder", True, "file", READ | WRITE | APPEND, ANY_CHANGE),  # one's own
         (diagnostic_log, "File", False, "self", APPEND | OPENS, FULL & ~(APPEND | OPENS)),
         (diagnostic_log, "File", True, "self", APPEND | OPENS, ANY_CHANGE | READ | WRITE)]
check(sorted(locks) == sorted({rule[0] for rule in RULES}), f"the locked objects: {sorted(locks)}")
for target, kind, owner, part, required, refused in RULES:
    _, _, table_name, sddl, condition = locks.get(target, ("",) * 5)
    rights = lock_access(sddl, {"WD", "BU", "AU", "IU"}, owner, part)
    check(table_name == kind and condition == "" and sddl.startswith("O:BAG:SYD:P") and "CO)" not in sddl
          and rights & required == required and rights & refused == 0
          and all(lock_access(sddl, {admin}, False, part) == FULL for admin in ("SY", "BA")),
          f"{target} ({part}, a user {'as' if owner else 'not'} owner): {rights:#x}, {sddl}")
log_rows = [row for row in rows.values() if row[2] == diagnostic_log]
check(len(log_rows) == 1 and log_rows[0][3] == "0" and components[log_rows[0][1]][2] == "LOGDIR"
      and int(components[log_rows[0][1]][3]) & 0x10, f"{diagnostic_log}: an empty, permanent file of the log folder")
# Creating files there is also the right to make the folder a mount point,
# which only an empty folder can become: a file of the package stays in it.
check(any(components[row[1]][2] == "LOGDIR" for row in rows.values()), "a file of the package in the log folder")

# Launch conditions: no downgrade; the x86 package only on 32-bit Windows;
# the switches' properties only with a value tokenhub takes.
conditions = dict(table("LaunchCondition"))
check({k: conditions.pop(k, None) for k in ("NOT WIX_DOWNGRADE_DETECTED",
                                               'NOT HOSTBACKENDS OR HOSTBACKENDS = "0" OR HOSTBACKENDS = "1"',
                                               'NOT LOGFILE OR LOGFILE >< ":\\" OR LOGFILE << "\\\\"')}
      == {"NOT WIX_DOWNGRADE_DETECTED": "A newer version of Penwick is already installed.",
          'NOT HOSTBACKENDS OR HOSTBACKENDS = "0" OR HOSTBACKENDS = "1"': "HOSTBACKENDS is 0 (off) or 1 (on).",
          'NOT LOGFILE OR LOGFILE >< ":\\" OR LOGFILE << "\\\\"':
              "LOGFILE is the full path of tokenhub's trace file, for example C:\\Windows\\Temp\\tokenhub.log."},
      "a downgrade and a switch's bad value stop with a message")
check(conditions == ({} if x64 else {"Installed OR NOT VersionNT64": conditions.get("Installed OR NOT VersionNT64")})
      and all("x64 package" in text for text in conditions.values()), f"x86 refuses 64-bit Windows: {conditions}")

# Identity (the product code is the build's: the life cycle shows a rebuild
# upgrading); the components keep their ids.
ids = dict(zip(("Launcher", "LauncherConfig", "Tokenhub", "LogFolder", "LogFolderNote", "DiagnosticLog", "Detection",
                "TraceSwitch", "HostSwitch", "Tokenhub32"), (
    "A007EC8F-B300-5DB4-9840-76A459654CBD B516D8C2-C62D-5280-B721-4065FB8257DD 74386647-80AE-58E2-8FA1-ED54FA3F8BB1 "
    "8E3F0B6C-1D2A-4C5B-9A7E-6F1D3B2C4A58 D9202B68-0A50-46A7-9D9D-C61DAF99445B 5F0C2A71-93B4-4E0D-8C6A-1B7E2D94F3A6 "
    "0E6B5D3C-7A21-4F98-B1C4-D2A93E8F6B17 A3D71C5E-2B84-4A6F-9E10-7C5B8D2F4E91 6C2E9F14-5D7A-4B3C-8A61-E4F0B9D27C35 "
    "37E1F8F7-F161-5A3B-8A61-B0DD3AC334F9" if x64 else
    "BB4B1E53-312C-5558-981B-FE89031D35DF 40832121-9715-5DA7-AEDE-D23AFA731ABA 723C393B-C0CE-5917-B737-B9C76E08270C "
    "3B7D2E94-6C1F-4A8B-B5D0-9E2C7F4A1D63 169BED7A-E8EC-4465-9294-B77BACA06F1E B8E4136D-0C5F-4A92-A7D3-2F6E91C0B458 "
    "4D9A2E67-C1B3-4F05-8E7A-93B6D0F2A1C8 E1B5C8A2-6F3D-4097-B2E4-5A8C7D1F9E03 2A7F0D93-8E6C-4B15-A3D9-C0E4F7B5612D"
    ).split()))
ids.update({"TokenhubHost": "A2FAE127-0785-5E8C-A71B-0977D29E4F8E", "TokenhubHost32": "2C7BDC4D-5F6C-524B-8C1C-D90178E81D12"}
           if x64 else {"TokenhubHost": "803CFC1E-F657-511B-A404-2393F0B0105A"})
props = dict(table("Property"))
upgrade_code = "{4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34}"
check({k: props.get(k) for k in ("UpgradeCode", "ProductVersion", "ALLUSERS", "ARPNOMODIFY", "MSIRESTARTMANAGERCONTROL")}
      == {"UpgradeCode": upgrade_code, "ProductVersion": "2.1.3", "ALLUSERS": "1", "ARPNOMODIFY": "1",
          "MSIRESTARTMANAGERCONTROL": "Disable"},
      "identity; no Change; no program shut down for an upgrade")
check({c: row[1] for c, row in components.items()} == {c: "{" + i + "}" for c, i in ids.items() if c in components}
      and len(components) == len(ids), "component ids")
check(int(components["LauncherConfig"][3]) & 0x90 == 0x90, "launcher.toml: permanent and never overwritten")

# Programs and Features' icon: an .ico whose directory entries point, size
# and offset, at the images of the launcher's icon group 107, in order.
icon = props.get("ARPPRODUCTICON", "")
check([row[0] for row in table("Icon")] == [icon] and icon, f"one product icon: {icon!r}")
with open(os.path.join(scratch.name, "Icon", "Icon." + icon), "rb") as f:
    ico = f.read()
launcher_pe = pefile.PE(data=members["launcher.exe"])
resources = {kind.id: {entry.id: entry.directory.entries[0].data.struct for entry in kind.directory.entries}
             for kind in launcher_pe.DIRECTORY_ENTRY_RESOURCE.entries}
resource = lambda kind, ident: launcher_pe.get_data(resources[pefile.RESOURCE_TYPE[kind]][ident].OffsetToData,
                                                    resources[pefile.RESOURCE_TYPE[kind]][ident].Size)
group = resource("RT_GROUP_ICON", 107)
count = struct.unpack_from("<H", group, 4)[0]
entries = [struct.unpack_from("<II", ico, 14 + 16 * i) for i in range(struct.unpack_from("<H", ico, 4)[0])]
images = [resource("RT_ICON", struct.unpack_from("<H", group, 18 + 14 * i)[0]) for i in range(count)]
check(ico[:6] == group[:6] and [ico[6 + 16 * i: 14 + 16 * i] for i in range(count)]
      == [group[6 + 14 * i: 14 + 14 * i] for i in range(count)]
      and [ico[offset:offset + size] for size, offset in entries] == images
      and [offset for _, offset in entries] == [6 + 16 * count + sum(map(len, images[:i])) for i in range(count)]
      and len(ico) == 6 + 16 * count + sum(map(len, images)),
      f"the product icon holds the launcher's {count} images at their offsets: {entries}")

# Detection and tokenhub's switches: the values written in the machine's own
# view (the 64-bit components of the x64 package), the switches' key and names
# as tokenhub reads them, each only when its property is given and left by a
# removal.
platform = read_source("tokenhub/platform/platform_win32.cpp")
settings_key = re.search(r'kSettingsKey\[\] = L"(.*?)";', platform).group(1).replace("\\\\", "\\")
string_values = re.findall(r'RegGetValueW\(key, nullptr, L"(\w+)", RRF_RT_REG_SZ', platform)
flag_values = sorted(set(re.findall(r'registryFlag\(HKEY_LOCAL_MACHINE, L"(\w+)"\)', platform)))
registry = {row[3]: row for row in table("Registry")}
expected = {"Version": ("2", "Software\\Orvane\\Penwick", "[ProductVersion]", "Detection", "", 0),
            **{name: ("2", settings_key, "[LOGFILE]", "TraceSwitch", "LOGFILE", 0x10) for name in string_values},
            **{name: ("2", settings_key, "#[HOSTBACKENDS]", "HostSwitch", "HOSTBACKENDS", 0x10) for name in flag_values}}
got = {name: (row[1], row[2], row[4], row[5], components[row[5]][4], int(components[row[5]][3]) & 0x110)
       for name, row in registry.items()}
check(string_values == ["LogFile"] and flag_values == ["HostBackends"]
      and got == {name: value[:5] + (value[5] | (0x100 if x64 else 0),) for name, value in expected.items()},
      f"registry values: {got}")
check({"LOGFILE", "HOSTBACKENDS"} <= set(props.get("SecureCustomProperties", "").split(";")),
      "the switches' properties reach the installer service")

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
# The earlier version's removal inside the transaction, first in it: an
# upgrade that fails later rolls it back (Wine runs it apart from the script),
# and the old product is gone before any new file comes.
after = sorted((n, a) for a, (_, n) in sequence.items() if n > sequence["InstallInitialize"][1])
check(after[0][1] == "RemoveExistingProducts", f"RemoveExistingProducts right after InstallInitialize: {after[:2]}")
sys.exit(1 if failures else 0)
