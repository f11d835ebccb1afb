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
bitness, pe_versions = {}, {}
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
    pe_versions[key] = block
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
log_prefix = re.search(r'L"\\\\Orvane\\\\Penwick\\\\(\w+)"', read_source("launcher/logfile.cpp")).group(1)
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
                                               "NOT LOGFILE OR LOGFILE_FULL")}
      == {"NOT WIX_DOWNGRADE_DETECTED": "A newer version of Penwick is already installed.",
          'NOT HOSTBACKENDS OR HOSTBACKENDS = "0" OR HOSTBACKENDS = "1"': "HOSTBACKENDS is 0 (off) or 1 (on).",
          "NOT LOGFILE OR LOGFILE_FULL": "LOGFILE is the full path of tokenhub's trace file, starting with a drive "
                                         "letter or \\\\server\\, for example C:\\ProgramData\\tokenhub-trace\\tokenhub.log."},
      "a downgrade and a switch's bad value stop with a message")
# LOGFILE_FULL: LOGFILE starts with a drive letter, or with \\server\ (never
# \\.\ or \\?\), tested before the launch conditions in both sequences.
full_tests = {row[0] for row in table("CustomAction") if row[1:4] == ("51", "LOGFILE_FULL", "1")}
for sequence_table in ("InstallExecuteSequence", "InstallUISequence"):
    steps = {row[0]: (row[1], int(row[2])) for row in table(sequence_table)}
    check(sorted(steps[a][0] for a in full_tests if steps.get(a, ("", 999))[1] < steps["LaunchConditions"][1])
          == sorted([f'LOGFILE ~<< "{chr(c)}:\\"' for c in range(65, 91)]
                    + ['LOGFILE << "\\\\" AND NOT LOGFILE << "\\\\\\" AND NOT LOGFILE << "\\\\.\\" '
                       'AND NOT LOGFILE << "\\\\?\\"']), f"{sequence_table}: LOGFILE_FULL")
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
ids.update({"TokenhubHost": "A2FAE127-0785-5E8C-A71B-0977D29E4F8E", "TokenhubHost32": "2C7BDC4D-5F6C-524B-8C1C-D90178E81D12",
            "StartMenuShortcut": "9B4E2C71-3A5D-4F86-B0E2-7D1C6A9F3B48"}
           if x64 else {"TokenhubHost": "803CFC1E-F657-511B-A404-2393F0B0105A",
                        "StartMenuShortcut": "5E8A1D36-C24F-4B97-8D0A-E3F6B2C91D74"})
props = dict(table("Property"))
upgrade_code = "{4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34}"
check({k: props.get(k) for k in ("UpgradeCode", "ALLUSERS", "ARPNOMODIFY", "MSIRESTARTMANAGERCONTROL")}
      == {"UpgradeCode": upgrade_code, "ALLUSERS": "1", "ARPNOMODIFY": "1", "MSIRESTARTMANAGERCONTROL": "Disable"},
      "identity; no Change; no program shut down for an upgrade")
# The product version has four fields (the detection value is written from
# it), and every PE file carries it: Windows Installer replaces an installed
# file only by a higher version, so tokenhub.dll stands above every vendor
# build of it (2.0.0.11).
product_version = props.get("ProductVersion", "")
check(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", product_version) and set(pe_versions.values()) == {product_version}
      and tuple(map(int, product_version.split("."))) > (2, 0, 0, 11),
      f"product version {product_version!r}, the version of every PE file: {pe_versions}")
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
flag_values = sorted(set(re.findall(r'machineFlag\(L"(\w+)"\)', platform)))
registry = {row[3]: row for row in table("Registry")}
expected = {"Version": ("2", "Software\\Orvane\\Penwick", "[ProductVersion]", "Detection", "", 0),
            "StartMenuShortcut": ("1", "Software\\Orvane\\Penwick", "#1", "StartMenuShortcut", "", 0),
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
steps = sorted((sequence.get(a, ("", 0))[1], a, actions[a] & 0x7F00) for a in actions if actions[a] & 0x3F == 34)
# With rollback disabled no commit action runs: the deletion then comes right
# after RemoveFolders.
check([(a, kind) for _, a, kind in steps] == [("RestoreUnchangedConfig", 0xD00), ("SetAsideUnchangedConfig", 0xC00),
                                              ("DropUnchangedConfig", 0xE00), ("DropUnchangedConfigNow", 0xC00)]
      and all(sequence[a][0] == removal and n < sequence["RemoveFiles"][1] for n, a, _ in steps[:2])
      and sequence["DropUnchangedConfig"][0] == removal + " AND NOT RollbackDisabled"
      and sequence["DropUnchangedConfigNow"][0] == removal + " AND RollbackDisabled"
      and sequence["RemoveFolders"][1] < steps[3][0] < sequence["CreateFolders"][1]
      and {table_row[0]: table_row[3] for table_row in table("CustomAction")}["DropUnchangedConfig"]
      == {table_row[0]: table_row[3] for table_row in table("CustomAction")}["DropUnchangedConfigNow"],
      f"rollback, set aside, commit (or the same at once without rollback), on removal only: {steps}")
# The earlier version's removal inside the transaction, first in it: an
# upgrade that fails later rolls it back (Wine runs it apart from the script),
# and the old product is gone before any new file comes.
after = sorted((n, a) for a, (_, n) in sequence.items() if n > sequence["InstallInitialize"][1])
check(after[0][1] == "RemoveExistingProducts", f"RemoveExistingProducts right after InstallInitialize: {after[:2]}")

# Repairs and upgrades keep the switches: AppSearch reads the installed
# values (the machine's view the components write), and a set-property action
# takes each one when the command line gives none, after AppSearch and before
# costing decides the components (their conditions are weighed again at a
# repair: transitive).
searches = {row[0]: row[1] for row in table("AppSearch")}
locators = {row[0]: row[1:] for row in table("RegLocator")}
check({prop: locators.get(sig) for prop, sig in searches.items()}
      == {f"{prop}_INSTALLED": ("2", settings_key, name, str(2 | (0x10 if x64 else 0)))
          for prop, name in (("LOGFILE", "LogFile"), ("HOSTBACKENDS", "HostBackends"))},
      f"the installed switches read back: {searches} {locators}")
remember = {row[0]: row[1:] for row in table("CustomAction") if row[2] in ("LOGFILE", "HOSTBACKENDS")}
for sequence_table in ("InstallExecuteSequence", "InstallUISequence"):
    steps = {row[0]: (row[1], int(row[2])) for row in table(sequence_table)}
    check(sorted((steps[a][1], a, remember[a][0], remember[a][1], remember[a][2], steps[a][0]) for a in remember)
          == [(401, "RememberLogFile", "51", "LOGFILE", "[LOGFILE_INSTALLED]", "NOT LOGFILE AND LOGFILE_INSTALLED"),
              (402, "RememberHostBackendsOn", "51", "HOSTBACKENDS", "1",
               'NOT HOSTBACKENDS AND HOSTBACKENDS_INSTALLED = "#1"'),
              (403, "RememberHostBackendsOff", "51", "HOSTBACKENDS", "0",
               'NOT HOSTBACKENDS AND HOSTBACKENDS_INSTALLED = "#0"')]
          and steps.get("AppSearch", ("", 9999))[1] < 401 and steps["CostFinalize"][1] > 403
          and steps["LaunchConditions"][1] < steps["AppSearch"][1], f"{sequence_table}: the switches remembered")
check(all(int(components[c][3]) & 0x40 for c in ("TraceSwitch", "HostSwitch")), "the switches' components transitive")

# Prepared folders below ProgramData refused: the Binary table's DLL, which
# exports the entry point, runs in the script as SYSTEM with the ProgramData
# folder, after the earlier version's removal and before any folder is made;
# not at a removal.
steps = {row[0]: (row[1], int(row[2])) for row in table("InstallExecuteSequence")}
check_actions = {row[0]: row[1:4] for row in table("CustomAction") if row[0] in ("SetCheckDataFolders", "CheckDataFolders")}
folder_check = pefile.PE(data=subprocess.run(["msiinfo", "extract", msi, "Binary.FolderCheck"], capture_output=True,
                                             check=True).stdout)
# A diagnostic log already there gets the permissions the package gives the one it installs.
log_sddl = {row[1]: row[3] for row in table("MsiLockPermissionsEx")}.get("launcherlauncher.log", "?")
check(check_actions == {"SetCheckDataFolders": ("51", "CheckDataFolders", "[CommonAppDataFolder]|" + log_sddl),
                        "CheckDataFolders": (str(1 | 0x400 | 0x800), "FolderCheck", "CheckDataFolders")}
      and [e.name for e in folder_check.DIRECTORY_ENTRY_EXPORT.symbols] == [b"CheckDataFolders"]
      and steps["RemoveExistingProducts"][1] < steps["SetCheckDataFolders"][1] < steps["CheckDataFolders"][1]
      < min(steps[a][1] for a in ("CreateFolders", "InstallFiles", "WriteRegistryValues"))
      and {steps[a][0] for a in check_actions} == {'NOT REMOVE="ALL"'},
      f"prepared folders refused before any is made: {check_actions} {[steps.get(a) for a in check_actions]}")

# Windows Installer's validation rules (ICEs), as documented, on the tables.
# ice_faults(load) gives each rule's faults; load(name) is (columns, types,
# rows) of a table. Each rule is then shown to catch its likeliest fault.
PROFILE = {"AppDataFolder", "LocalAppDataFolder", "PersonalFolder", "FavoritesFolder", "MyPicturesFolder",
           "NetHoodFolder", "PrintHoodFolder", "RecentFolder", "SendToFolder", "TemplateFolder", "DesktopFolder",
           "ProgramMenuFolder", "StartMenuFolder", "StartupFolder", "AdminToolsFolder"}
# Profile folders that stay the user's whatever ALLUSERS says (ICE91).
PER_USER_ALWAYS = PROFILE - {"DesktopFolder", "ProgramMenuFolder", "StartMenuFolder", "StartupFolder",
                             "TemplateFolder", "AdminToolsFolder"}
PREDEFINED = PROFILE | {"TARGETDIR", "SystemFolder", "System64Folder", "ProgramFilesFolder", "ProgramFiles64Folder",
                        "CommonAppDataFolder", "WindowsFolder", "TempFolder"}
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
FOREIGN = {"Component_": "Component", "Directory_": "Directory", "File_": "File", "Feature_": "Feature",
           "Directory_Parent": "Directory"}


def version_tuple(text):
    return tuple(int(n) for n in text.split(".")) if re.fullmatch(r"\d+(\.\d+){0,3}", text or "") else None


def ice_faults(load):
    faults = {}
    fault = lambda rule, text: faults.setdefault(rule, []).append(text)
    rows = lambda name: load(name)[2]
    components = {r[0]: r for r in rows("Component")}
    parents = {r[0]: r[1] for r in rows("Directory")}
    registry = {r[0]: r for r in rows("Registry")}
    property_table = dict(r[:2] for r in rows("Property"))

    def under(directory, roots):
        seen = set()
        while directory and directory not in seen:
            if directory in roots:
                return True
            seen.add(directory)
            directory = parents.get(directory)
        return False

    def hkcu_key_path(name):
        key = registry.get(components[name][5])
        return int(components[name][3]) & 0x4 and key is not None and key[1] == "1"

    # ICE03: every value fits its column: present where required, a number
    # in range, a string no longer than the column, identifiers, foreign keys.
    for name in ("Component", "Directory", "File", "Registry", "Shortcut", "CustomAction", "InstallExecuteSequence",
                 "InstallUISequence", "AppSearch", "RegLocator", "Upgrade", "LaunchCondition", "CreateFolder",
                 "FeatureComponents", "RemoveFile", "MsiLockPermissionsEx"):
        columns, types, table_rows = load(name)
        for row in table_rows:
            for column, kind, value in zip(columns, types, row):
                width = int(kind[1:] or 0)
                if value == "":
                    if kind[0].islower():
                        fault("ICE03", f"{name}.{column}: required, empty")
                elif kind[0] in "iI":
                    if not re.fullmatch(r"-?\d+", value) or not -2 ** (8 * width - 1) < int(value) < 2 ** (8 * width - 1):
                        fault("ICE03", f"{name}.{column}: {value!r} no {width}-byte number")
                elif width and len(value) > width:
                    fault("ICE03", f"{name}.{column}: {value!r} longer than {width}")
                elif (column == columns[0] and name not in ("LaunchCondition", "Upgrade", "MsiLockPermissionsEx")
                      or column in FOREIGN) and not IDENTIFIER.fullmatch(value):
                    fault("ICE03", f"{name}.{column}: {value!r} no identifier")
                if value and column in FOREIGN and value not in {r[0] for r in rows(FOREIGN[column])}:
                    fault("ICE03", f"{name}.{column}: {value!r} not in {FOREIGN[column]}")
    # ICE09: a component of a system folder is permanent. Here: permanent or
    # a counted shared DLL, which keeps the file while another product counts
    # it and still lets Penwick's removal take its own copy.
    for name, row in components.items():
        if row[2] in ("SystemFolder", "System64Folder") and not int(row[3]) & (0x10 | 0x8):
            fault("ICE09", f"{name}: a system folder's component neither permanent nor a shared DLL")
    # ICE38: a component of a profile folder has an HKCU registry key path.
    # ICE43: so has a component with a non-advertised shortcut.
    for name, row in components.items():
        if under(row[2], PROFILE) and not hkcu_key_path(name):
            fault("ICE38", f"{name}: in a profile folder without an HKCU key path")
    for shortcut in rows("Shortcut"):
        if shortcut[4].startswith("[") and not hkcu_key_path(shortcut[3]):
            fault("ICE43", f"{shortcut[3]}: non-advertised shortcut {shortcut[0]} without an HKCU key path")
    # ICE57: no component mixes the user's data (HKCU, a profile folder) with
    # the machine's (HKLM, any other folder), or HKMU with a machine key path.
    for name, row in components.items():
        kinds = set()
        for entry in registry.values():
            if entry[5] == name:
                kinds.add({"1": "user", "2": "machine", "-1": "either"}.get(entry[1], "machine"))
        has_files = any(f[1] == name for f in rows("File"))
        if has_files or not int(row[3]) & 0x4:
            kinds.add("user" if under(row[2], PROFILE) else "machine")
        if any(s[3] == name for s in rows("Shortcut")):
            kinds.add("user")
        if {"user", "machine"} <= kinds or ("either" in kinds and not hkcu_key_path(name) and "machine" in kinds):
            fault("ICE57", f"{name}: both the user's and the machine's data {sorted(kinds)}")
    # ICE61: each upgrade row's action property public, secure, not
    # pre-set, its own; valid versions, max not below min; no removal of a
    # newer version. (A row that takes in this very version, inclusive, is
    # the rebuild's replacement of its own version: allowed here.)
    current = version_tuple(property_table.get("ProductVersion"))
    secure = set(property_table.get("SecureCustomProperties", "").split(";"))
    upgrade_rows = rows("Upgrade")
    for code, low, high, _, attributes, _, action in upgrade_rows:
        attributes = int(attributes)
        problems = [action != action.upper(), action not in secure, action in property_table,
                    [r[6] for r in upgrade_rows].count(action) > 1,
                    low and version_tuple(low) is None, high and version_tuple(high) is None,
                    low and high and (version_tuple(high) or ()) < (version_tuple(low) or ()),
                    not attributes & 0x2 and high and (version_tuple(high) or ())[:3] > (current or ())[:3],
                    not attributes & 0x2 and not high]
        if any(problems):
            fault("ICE61", f"upgrade row {action}: {problems}")
    # ICE64: a folder of its own in a profile is removed (a RemoveFile row).
    removed = {r[2] for r in rows("RemoveFile") if r[3] == ""}
    for directory in parents:
        if directory not in PREDEFINED and under(directory, PROFILE) and directory not in removed:
            fault("ICE64", f"{directory}: a profile folder of the package's, never removed")
    # ICE91: a per-machine package puts no file or shortcut into a profile
    # folder that stays the user's.
    if property_table.get("ALLUSERS") == "1":
        placed = [(f[0], components[f[1]][2]) for f in rows("File")] + [(s[0], s[1]) for s in rows("Shortcut")]
        for item, directory in placed:
            if under(directory, PER_USER_ALWAYS):
                fault("ICE91", f"{item}: into the user's own {directory}")
    return faults


def exported(package):
    def load(name):
        out = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True,
                             cwd=scratch.name).stdout.split("\n")
        if len(out) < 3:
            return [], [], []
        return out[0].split("\t"), out[1].split("\t"), [tuple(l.split("\t")) for l in out[3:] if l]
    return load


found = ice_faults(exported(msi))
check(not found, f"the validation rules hold: {found}")
# Each rule's likeliest fault, made in a copy of the package, is caught.
launcher_key = components["Launcher"][5]
FAULTS = {"ICE03": "UPDATE `Component` SET `Directory_` = 'NoSuchFolder' WHERE `Component` = 'Detection'",
          "ICE09": "UPDATE `Component` SET `Attributes` = 0 WHERE `Component` = 'Tokenhub'",
          "ICE38": "UPDATE `Registry` SET `Root` = 2 WHERE `Component_` = 'StartMenuShortcut'",
          "ICE43": "UPDATE `Shortcut` SET `Component_` = 'Launcher' WHERE `Shortcut` = 'StartMenuLauncher'",
          "ICE57": "UPDATE `Registry` SET `Component_` = 'StartMenuShortcut' WHERE `Name` = 'Version'",
          "ICE61": "UPDATE `Property` SET `Value` = 'HOSTBACKENDS;LOGFILE;WIX_DOWNGRADE_DETECTED' "
                   "WHERE `Property` = 'SecureCustomProperties'",
          "ICE64": "INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) "
                   "VALUES ('PenwickMenu', 'ProgramMenuFolder', 'Penwick')",
          "ICE91": "UPDATE `Shortcut` SET `Directory_` = 'AppDataFolder' WHERE `Shortcut` = 'StartMenuLauncher'"}
for rule, query in FAULTS.items():
    faulty = os.path.join(scratch.name, f"{rule}.msi")
    with open(msi, "rb") as source, open(faulty, "wb") as copy:
        copy.write(source.read())
    if rule == "ICE91":
        subprocess.run(["msibuild", faulty, "-q", "INSERT INTO `Directory` (`Directory`, `Directory_Parent`, "
                        "`DefaultDir`) VALUES ('AppDataFolder', 'TARGETDIR', '.')"], check=True)
    subprocess.run(["msibuild", faulty, "-q", query], check=True)
    caught = ice_faults(exported(faulty))
    check(rule in caught, f"{rule} catches {query!r}: {caught}")
sys.exit(1 if failures else 0)
