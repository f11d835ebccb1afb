#!/usr/bin/python3
"""Builds the product's Windows Installer package from penwick.wxs with wixl
(msitools), then sets with msibuild what wixl 0.101 cannot express:

- the version and language of every PE file: wixl leaves the File table's
  Version and Language empty and writes an MsiFileHash row for every file,
  so Windows Installer would treat launcher.exe and tokenhub.dll as
  unversioned files (an older or foreign tokenhub.dll already in the system
  folder would stay, and a repair would not replace a changed copy). Each PE
  file's row gets the file version and language of its version block, and
  loses its MsiFileHash row (that table is for unversioned files only);
- the configuration component's attributes: wixl ignores Permanent and
  NeverOverwrite, so the Component row gets them here (msidbComponentAttributes
  Permanent 0x10 and NeverOverwrite 0x80, beside the 64-bit flag 0x100);
- the manufacturer's folders: wixl's CreateFolder ignores its Directory
  and always names the component's own folder, so the CreateFolder rows of
  the two Orvane folders (in Program Files and in ProgramData) are written
  here; a removal deletes a folder of that table once it is empty, after
  the Penwick folders below it;
- the removal of an unchanged launcher.toml: wixl writes only custom
  actions that run a file of the package or a program named by a property,
  so the three custom actions of that removal are written here (see
  config_removal_queries);
- the access to the folders below ProgramData and to the diagnostic log:
  wixl knows neither Permission, PermissionEx nor the LockPermissions tables,
  so MsiLockPermissionsEx rows (Windows Installer 5) give each an owner and a
  protected DACL (see LOCKS);
- permanent components: the diagnostic log and tokenhub's switches
  (PERMANENT_COMPONENTS), and the switches' conditions: wixl knows no
  component Condition (SWITCH_PROPERTIES); the switches remembered at a
  repair or upgrade (remember_queries) and LOGFILE checked for a full path
  (full_path_queries);
- shared-DLL counting for the files of the system folders (SHARED_DLL);
- the check of prepared folders below ProgramData: penwick-checks.dll
  (foldercheck.cpp, built beside launcher.exe) in the Binary table and its
  deferred custom action (folder_check_queries);
- the upgrade inside the installation's transaction: RemoveExistingProducts
  right after InstallInitialize, so that an upgrade that fails later rolls
  the removal of the earlier version back too; and the Upgrade row takes in
  the package's own version, so that a rebuild of a version replaces an
  earlier build of it (a downgrade still stops);
- LOGFILE and HOSTBACKENDS among the secure public properties.

The product code is a name-based UUID over the package's content (every
stream but the summary information, built with a stand-in product code), as
the package code is: two builds of one commit give the same product, and any
other build of the same version gives another product, which upgrades it.

Two builds from the same input files give the same bytes: the files go into
the cabinet with the source's time (SOURCE_DATE_EPOCH, or the last commit's
time) in UTC, and pin_summary then sets the summary information's creation
and save times to that time and its package code, which wixl draws at
random, to a name-based UUID over every other stream of the package, so
that any change of the package's content still gives a new package code.

Usage: build_msi.py ARCH VERSION LAUNCHER_EXE TOKENHUB_DLL EXAMPLE_CONFIG OUT_MSI [TOKENHUB32_DLL]
(TOKENHUB32_DLL, the PE32 tokenhub.dll for 32-bit programs, only with ARCH x64)"""
import hashlib
import os
import shutil
import subprocess
import struct
import sys
import uuid

import olefile
import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
UPGRADE_CODE = uuid.UUID("4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34")
PERMANENT, NEVER_OVERWRITE, WIN64 = 0x10, 0x80, 0x100
# The package's folders below ProgramData, where every user may create
# folders and files: owned by the Administrators (O:BA), whoever created them
# first, and protected (D:P) from what ProgramData hands down. An OWNER RIGHTS
# entry (OW) stands in for the rights an owner has implicitly (reading and
# changing the permissions): whoever owns a folder or file there may do no
# more than that entry says, and never change its permissions.
# - Orvane: SYSTEM and Administrators full control, Users list and read.
ORVANE_DATA_SDDL = "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x1200a9;;;OW)"
# - Orvane\Penwick, the log folder: SYSTEM and Administrators full control on
#   the folder and everything in it; Users, on the folder itself only: list,
#   create files, read attributes and the permissions (0x1200ab). Not delete or
#   rename it (DELETE), nor delete or rename what is in it (FILE_DELETE_CHILD),
#   nor create folders in it (FILE_ADD_SUBDIRECTORY). On the files in it Users
#   have nothing: each user's Java output logs and crash files are that
#   user's. The owner of a file (its creator), on that file: read, write and
#   empty it, read its permissions (0x12019f); not delete or rename it, not
#   change its permissions or owner.
# The right to create files in a folder is also the right to make it a mount
# point, which NTFS allows on an empty folder only: README.txt, a file of the
# package that users cannot delete, keeps the folder from ever being empty.
LOG_FOLDER_SDDL = ("O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;OIIO;0x12019f;;;OW)"
                   "(A;;0x1200a9;;;OW)")
# - the diagnostic log in it, launcherlauncher.log (the name launcher.exe
#   writes): the Administrators' file; every user's launcher appends its lines
#   (FILE_APPEND_DATA and SYNCHRONIZE, what the launcher opens it with, and
#   FILE_READ_ATTRIBUTES, which CreateFileW asks for whatever else), and no
#   user reads, empties, deletes or locks it, not even one who owned it first.
DIAGNOSTIC_LOG = "launcherlauncher.log"
DIAGNOSTIC_LOG_SDDL = "O:BAG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x100084;;;BU)(A;;0x100084;;;OW)"
# Resources secured by the package: (lock id, object, its table, SDDL).
LOCKS = [("OrvaneDataAccess", "OrvaneDataFolder", "CreateFolder", ORVANE_DATA_SDDL),
         ("LogFolderAccess", "LOGDIR", "CreateFolder", LOG_FOLDER_SDDL),
         ("DiagnosticLogAccess", DIAGNOSTIC_LOG, "File", DIAGNOSTIC_LOG_SDDL)]
# Components that stay when the product goes: the configuration (see below),
# the diagnostic log, and tokenhub's switches, which an administrator set.
PERMANENT_COMPONENTS = ("DiagnosticLog", "TraceSwitch", "HostSwitch")
# Files of the package that are the users' once installed: a repair or an
# upgrade never writes over them (the diagnostic log holds every user's lines).
KEPT_COMPONENTS = ("DiagnosticLog",)
# The public properties that set tokenhub's switches, by the component that
# writes each one's value: installed only when the property is given or
# remembered (see remember_queries).
SWITCH_PROPERTIES = {"TraceSwitch": "LOGFILE", "HostSwitch": "HOSTBACKENDS"}
# msidbComponentAttributesTransitive: the condition is weighed again at a
# repair, so that a switch neither given nor remembered is not written empty.
TRANSITIVE = 0x40
# msidbComponentAttributesSharedDllRefCount: the files of the system folders
# are counted in the SharedDLLs key, so that removing another package that
# installed a file of the same name (a card vendor's tokenhub.dll) leaves ours.
SHARED_DLL = 0x8
SYSTEM_FOLDERS = ("SystemFolder", "System64Folder")
# Where tokenhub reads the switches that the package writes.
SETTINGS_KEY = "Software\\Varenzo\\tokenhub"
# msidbUpgradeAttributesVersionMaxInclusive: a rebuild of the installed
# version upgrades it too.
VERSION_MAX_INCLUSIVE = 0x200
EXAMPLE_TIME = 946684800  # 2000-01-01 00:00:00 UTC
# Only on a removal of the product itself: an upgrade keeps the file for the
# new package, which finds it and, never-overwrite, leaves it alone.
DROP_UNCHANGED_CONDITION = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
# Custom action type 34 (a program with a working folder), in the deferred
# script (0x400), as the installer service (0x800), its exit code ignored
# (0x40); 0x100 makes it a rollback action, 0x200 a commit action.
DEFERRED_PROGRAM = 34 | 0x400 | 0x800 | 0x40
ROLLBACK, COMMIT = 0x100, 0x200
# An unchanged launcher.toml is set aside under this name before the files go,
# in the install folder, which only administrators may write.
SET_ASIDE = "launcher.toml.unchanged"


def stand_in_product_code(arch, version):
    """The product code that wixl compiles with, replaced by content_code."""
    return "{" + str(uuid.uuid5(UPGRADE_CODE, f"Penwick {arch} {version}")).upper() + "}"


def content_code(path, salt):
    """A name-based UUID over every stream of the package but the summary
    information, which pin_summary writes last."""
    with olefile.OleFileIO(path) as ole:
        content = hashlib.sha256(salt.encode("ascii"))
        for entry in sorted(ole.listdir()):
            if entry != ["\x05SummaryInformation"]:
                content.update("/".join(entry).encode("utf-8") + b"\0" + ole.openstream(entry).read())
    return "{" + str(uuid.uuid5(UPGRADE_CODE, content.hexdigest())).upper() + "}"


def pe_version(path):
    """The file version ("2.1.3.0") and language ("1033") of a PE file's
    version block, as the File table takes them."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        sys.exit(f"build_msi: {path} has no version block")
    fixed = pe.VS_FIXEDFILEINFO[0]
    version = (f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}."
               f"{fixed.FileVersionLS >> 16}.{fixed.FileVersionLS & 0xFFFF}")
    languages = [int(language.split()[0], 16) for entries in getattr(pe, "FileInfo", []) for entry in entries
                 if entry.Key == b"VarFileInfo" for var in entry.Var
                 for language in var.entry.values()]
    if not languages:
        sys.exit(f"build_msi: {path} names no language in its version block")
    return version, str(languages[0])


def extract_icon(exe, out):
    """The icon group 107 of a PE file (the launcher's window icon) as an .ico
    file at `out`: the group's directory with file offsets in place of the
    resource ids, then the images."""
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    resources = {kind.id: {entry.id: entry.directory.entries[0].data.struct for entry in kind.directory.entries}
                 for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    read = lambda data: pe.get_data(data.OffsetToData, data.Size)
    group = read(resources[pefile.RESOURCE_TYPE["RT_GROUP_ICON"]][107])
    count = struct.unpack_from("<H", group, 4)[0]
    images, directory = [], group[:6]
    offset = 6 + 16 * count
    for index in range(count):
        entry = group[6 + 14 * index: 20 + 14 * index]
        image = read(resources[pefile.RESOURCE_TYPE["RT_ICON"]][struct.unpack_from("<H", entry, 12)[0]])
        directory += entry[:8] + struct.pack("<II", len(image), offset)
        images.append(image)
        offset += len(image)
    with open(out, "wb") as f:
        f.write(directory + b"".join(images))
    return out


def compile_package(arch, version, inputs, out):
    """wixl's package from penwick.wxs; `inputs` maps the source variables
    (LauncherExe, LauncherIcon, TokenhubDll, TokenhubHostExe, Tokenhub32Dll, TokenhubHost32Exe, ExampleConfig,
    LogFolderNote) to paths."""
    defines = {"Arch": arch, "Version": version, "ProductCode": stand_in_product_code(arch, version)}
    # wixl opens the sources relative to its working folder only.
    defines.update({name: os.path.relpath(path) for name, path in inputs.items()})
    command = ["wixl", "-a", arch, "-o", out, os.path.join(HERE, "penwick.wxs")]
    for name, value in defines.items():
        command += ["-D", f"{name}={value}"]
    subprocess.run(command, check=True, env=dict(os.environ, TZ="UTC"))


def versioned_file_queries(pe_files):
    """Version and language into the File rows of the PE files (File id to
    path), and their MsiFileHash rows dropped."""
    queries = []
    for file_id, path in pe_files.items():
        version, language = pe_version(path)
        queries += [f"UPDATE `File` SET `Version` = '{version}', `Language` = '{language}' WHERE `File` = '{file_id}'",
                    f"DELETE FROM `MsiFileHash` WHERE `File_` = '{file_id}'"]
    return queries


def config_removal_queries():
    """A removal of the product deletes launcher.toml when it is still the
    example as installed: same size and last-write time as
    launcher.example.toml. Both are extracted from the package with the time
    stamp set here on the example (2000-01-01), so any change a user saves
    gives the file another time. (Wine 8's fc.exe is a stub that reports every
    pair of files equal: a comparison of contents cannot be proven there.)

    Three actions run the system's command interpreter in the install folder:
    - SetAsideUnchangedConfig, in the removal script before the files go,
      renames an unchanged launcher.toml to launcher.toml.unchanged;
    - its rollback action, when the removal fails or is cancelled later on,
      gives the file its name back;
    - the commit action, once the removal has succeeded, deletes the set-aside
      file and then the install folder and the Orvane folder above it if they
      are empty (the set-aside file kept them at RemoveFolders).
    With rollback disabled (the DisableRollback policy, DISABLEROLLBACK=1)
    Windows Installer runs no commit action and sets RollbackDisabled: the
    same deletion then runs in the script itself, right after RemoveFolders."""
    unchanged = ('for %a in (launcher.example.toml) do @for %b in (launcher.toml) do '
                 f'@if "%~za %~ta"=="%~zb %~tb" ren launcher.toml {SET_ASIDE}')
    # Over whatever a rollback may have put there already (Wine's rollback
    # installs the package's files anew, the example among them).
    restore = f'if exist {SET_ASIDE} move /y {SET_ASIDE} launcher.toml'
    finish = (f'del "[INSTALLDIR]{SET_ASIDE}" & rd "[INSTALLDIR]" & rd "[OrvaneProgramFolder]"')
    # The rollback action goes into the script before the action it undoes;
    # all three just before RemoveFiles (3500).
    actions = [("RestoreUnchangedConfig", DEFERRED_PROGRAM | ROLLBACK, "INSTALLDIR", restore, 3497),
               ("SetAsideUnchangedConfig", DEFERRED_PROGRAM, "INSTALLDIR", unchanged, 3498),
               # Its working folder must outlive the install folder.
               ("DropUnchangedConfig", DEFERRED_PROGRAM | COMMIT, "TARGETDIR", finish, 3499, "NOT RollbackDisabled"),
               ("DropUnchangedConfigNow", DEFERRED_PROGRAM, "TARGETDIR", finish, 3601, "RollbackDisabled")]
    queries = []
    for name, kind, folder, command, sequence, *only in actions:
        condition = " AND ".join([DROP_UNCHANGED_CONDITION, *only])
        queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                    f"VALUES ('{name}', {kind}, '{folder}', '\"[%ComSpec]\" /c {command}')",
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                    f"VALUES ('{name}', '{condition}', {sequence})"]
    return queries


def remember_queries(arch):
    """The remember-property pattern for tokenhub's switches: AppSearch reads
    the installed LogFile and HostBackends (the values as the registry holds
    them, "#1" for the number 1) into *_INSTALLED, and when the command line
    gives no LOGFILE or HOSTBACKENDS, a set-property action takes the
    installed value. A repair (from Programs and Features, msiexec /f, a
    distribution tool's reinstall) or an upgrade then writes back what the
    administrator set, never an empty value; a value given wins."""
    # msidbRegistryRootLocalMachine; msidbLocatorTypeRawValue, in the 64-bit
    # view for the x64 package, whose components write there.
    root, kind = 2, 2 | (0x10 if arch == "x64" else 0)
    searches = [("LOGFILE_INSTALLED", "InstalledLogFile", "LogFile"),
                ("HOSTBACKENDS_INSTALLED", "InstalledHostBackends", "HostBackends")]
    # (action, property, value, condition); a type 51 action sets a property.
    remembered = [("RememberLogFile", "LOGFILE", "[LOGFILE_INSTALLED]", "NOT LOGFILE AND LOGFILE_INSTALLED"),
                  ("RememberHostBackendsOn", "HOSTBACKENDS", "1",
                   'NOT HOSTBACKENDS AND HOSTBACKENDS_INSTALLED = "#1"'),
                  ("RememberHostBackendsOff", "HOSTBACKENDS", "0",
                   'NOT HOSTBACKENDS AND HOSTBACKENDS_INSTALLED = "#0"')]
    # wixl writes both tables, empty.
    queries = []
    for prop, signature, name in searches:
        queries += [f"INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('{prop}', '{signature}')",
                    "INSERT INTO `RegLocator` (`Signature_`, `Root`, `Key`, `Name`, `Type`) "
                    f"VALUES ('{signature}', {root}, '{SETTINGS_KEY}', '{name}', {kind})"]
    # AppSearch is 400 in both sequences (after the launch conditions, which
    # check only what the command line gives), costing (CostInitialize) 800.
    for sequence_table in ("InstallUISequence", "InstallExecuteSequence"):
        queries.append(f"INSERT INTO `{sequence_table}` (`Action`, `Sequence`) VALUES ('AppSearch', 400)")
        for offset, (action, prop, value, condition) in enumerate(remembered, 401):
            queries.append(f"INSERT INTO `{sequence_table}` (`Action`, `Condition`, `Sequence`) "
                           f"VALUES ('{action}', '{condition}', {offset})")
    queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                f"VALUES ('{action}', 51, '{prop}', '{value}')" for action, prop, value, _ in remembered]
    return queries


def full_path_queries():
    r"""LOGFILE_FULL is set when LOGFILE is a full path: a drive letter, a
    colon and a backslash, or \\server\ (not \\.\ or \\?\, which tokenhub
    refuses). A condition cannot look at one character, so one set-property
    action per drive letter tests its prefix; all run before the launch
    conditions (100), which refuse a LOGFILE without LOGFILE_FULL."""
    tests = [(f"FullLogFile{letter}", f'LOGFILE ~<< "{letter}:\\"') for letter in map(chr, range(65, 91))]
    tests.append(("FullLogFileShare", 'LOGFILE << "\\\\" AND NOT LOGFILE << "\\\\\\" '
                                      'AND NOT LOGFILE << "\\\\.\\" AND NOT LOGFILE << "\\\\?\\"'))
    queries = []
    for sequence, (action, condition) in enumerate(tests, 60):
        queries.append("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                       f"VALUES ('{action}', 51, 'LOGFILE_FULL', '1')")
        queries += [f"INSERT INTO `{sequence_table}` (`Action`, `Condition`, `Sequence`) "
                    f"VALUES ('{action}', '{condition}', {sequence})"
                    for sequence_table in ("InstallUISequence", "InstallExecuteSequence")]
    return queries


def folder_check_queries():
    """CheckDataFolders (foldercheck.cpp, the Binary row FolderCheck) in the
    script, as SYSTEM, before any folder or file is made: it refuses an
    Orvane or Orvane\\Penwick folder below ProgramData that is a link or that
    neither SYSTEM nor the Administrators own, with a message and a log
    line, and the installation stops (1603); a diagnostic log already there
    is given the package's owner and permissions (one that is a link stops
    it too). A set-property action hands it the ProgramData folder and the
    log's SDDL. Not at a removal."""
    # Type 1 (a DLL of the Binary table) in the script (0x400) as the
    # installer service (0x800); type 51 sets a property.
    condition = 'NOT REMOVE="ALL"'
    return ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
            f"VALUES ('SetCheckDataFolders', 51, 'CheckDataFolders', '[CommonAppDataFolder]|{DIAGNOSTIC_LOG_SDDL}')",
            "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
            f"VALUES ('CheckDataFolders', {1 | 0x400 | 0x800}, 'FolderCheck', 'CheckDataFolders')",
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
            f"VALUES ('SetCheckDataFolders', '{condition}', 1502)",
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
            f"VALUES ('CheckDataFolders', '{condition}', 1503)"]


def add_binary(package, name, path, out):
    """A Binary row `name` holding the file at `path` (msibuild imports a
    table whose binary column names files in a folder of the table's name)."""
    folder = os.path.join(stage_folder(out), "import")
    os.makedirs(os.path.join(folder, "Binary"), exist_ok=True)
    shutil.copyfile(path, os.path.join(folder, "Binary", name + ".ibd"))
    with open(os.path.join(folder, "Binary.idt"), "w", encoding="ascii", newline="\r\n") as f:
        f.write(f"Name\tData\ns72\tv0\nBinary\tName\n{name}\t{name}.ibd\n")
    # The data files are opened relative to the working folder.
    subprocess.run(["msibuild", os.path.abspath(package), "-i", "Binary.idt"], check=True, cwd=folder)


def table(package, name):
    out = subprocess.run(["msiinfo", "export", package, name], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in out.split("\n")[3:] if line]


def upgrade_queries(package):
    """The Upgrade row that finds earlier versions takes in the package's own
    version; LOGFILE and HOSTBACKENDS join the secure public properties."""
    rows = [row for row in table(package, "Upgrade") if row[6] == "WIX_UPGRADE_DETECTED"]
    secure = dict(row[:2] for row in table(package, "Property")).get("SecureCustomProperties", "")
    if len(rows) != 1 or not secure:
        sys.exit(f"build_msi: wixl wrote no single upgrade row or no secure properties: {rows} {secure!r}")
    secure = ";".join(sorted(set(secure.split(";")) | set(SWITCH_PROPERTIES.values())))
    # Attributes is part of the table's key: the row is written anew.
    columns = ("UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes", "Remove", "ActionProperty")
    row = dict(zip(columns, rows[0]))
    row["Attributes"] = str(int(row["Attributes"]) | VERSION_MAX_INCLUSIVE)
    given = [name for name in columns if row[name]]
    return [f"DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
            f"INSERT INTO `Upgrade` ({', '.join(f'`{name}`' for name in given)}) "
            f"VALUES ({', '.join(row[name] if name == 'Attributes' else repr(row[name]) for name in given)})",
            f"UPDATE `Property` SET `Value` = '{secure}' WHERE `Property` = 'SecureCustomProperties'"]


def added_attributes(components):
    """Each Component row with the attributes wixl cannot set on it."""
    for row in components:
        name, folder = row[0], row[2]
        yield row, ((PERMANENT if name in PERMANENT_COMPONENTS else 0)
                    | (NEVER_OVERWRITE if name in KEPT_COMPONENTS else 0)
                    | (TRANSITIVE if name in SWITCH_PROPERTIES else 0)
                    | (SHARED_DLL if folder in SYSTEM_FOLDERS else 0))


def finish_tables(package, arch, pe_files, folder_check, out):
    """What wixl cannot express, written into its package with msibuild."""
    add_binary(package, "FolderCheck", folder_check, out)
    attributes = PERMANENT | NEVER_OVERWRITE | (WIN64 if arch == "x64" else 0)
    queries = versioned_file_queries(pe_files) + [
        f"UPDATE `Component` SET `Attributes` = {attributes} WHERE `Component` = 'LauncherConfig'",
    ] + [f"UPDATE `Component` SET `Attributes` = {int(row[3]) | more} WHERE `Component` = '{row[0]}'"
         for row, more in added_attributes(table(package, "Component")) if more] + [
        f"UPDATE `Component` SET `Condition` = '{prop}' WHERE `Component` = '{name}'"
        for name, prop in SWITCH_PROPERTIES.items()] + [
        "INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('OrvaneProgramFolder', 'Launcher')",
        "INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('OrvaneDataFolder', 'LogFolder')",
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
        "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, "
        "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
    ] + ["INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) "
         f"VALUES ('{lock}', '{target}', '{kind}', '{sddl}')" for lock, target, kind, sddl in LOCKS] + [
        # InstallInitialize is 1500; the next action wixl sequences is at 1525 or later.
        "UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 WHERE `Action` = 'RemoveExistingProducts'",
    ] + upgrade_queries(package) + config_removal_queries() + remember_queries(arch) + full_path_queries() + folder_check_queries()
    for query in queries:
        subprocess.run(["msibuild", package, "-q", query], check=True)


def stage_folder(out):
    staged = os.path.join(os.path.dirname(os.path.abspath(out)), "stage")
    os.makedirs(staged, exist_ok=True)
    return staged


def stage_example(config, out):
    """The example as the package carries it, with its fixed time stamp."""
    staged = os.path.join(stage_folder(out), "launcher.toml")
    shutil.copyfile(config, staged)
    os.utime(staged, (EXAMPLE_TIME, EXAMPLE_TIME))
    return staged


def source_time():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(subprocess.run(["git", "-C", HERE, "log", "-1", "--format=%ct"], capture_output=True, text=True,
                              check=True).stdout)


def stage(path, name, when, out):
    """A copy of an input file with a fixed time, as the cabinet records it."""
    copy = os.path.join(stage_folder(out), name)
    shutil.copyfile(path, copy)
    os.utime(copy, (when, when))
    return copy


def pin_summary(path, when):
    """Sets the creation and last-save times (FILETIME properties 12 and 13)
    and the package code (property 9, 38 characters as wixl writes it) of the
    summary information stream in place."""
    name = "\x05SummaryInformation"
    code = content_code(path, "")
    with olefile.OleFileIO(path) as ole:
        data = bytearray(ole.openstream(name).read())
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


def main(arch, version, launcher, tokenhub, config, out, tokenhub32=None):
    if arch not in ("x86", "x64"):
        sys.exit(f"build_msi: architecture x86 or x64, not {arch}")
    if (tokenhub32 is not None) != (arch == "x64"):
        sys.exit("build_msi: the x64 package, and only it, also carries the PE32 tokenhub.dll (TOKENHUB32_DLL)")
    if tokenhub32 is not None and not os.path.isfile(tokenhub32):
        sys.exit(f"build_msi: no PE32 tokenhub.dll at {tokenhub32}: build the win32 preset first")
    # Each tokenhub.dll's module host is the tokenhub-host.exe beside it.
    hosts = [os.path.join(os.path.dirname(dll), "tokenhub-host.exe") for dll in (tokenhub, tokenhub32) if dll]
    for host in hosts:
        if not os.path.isfile(host):
            sys.exit(f"build_msi: no tokenhub-host.exe beside {os.path.dirname(host)}'s tokenhub.dll")
    # The folder check is built beside launcher.exe.
    folder_check = os.path.join(os.path.dirname(launcher), "penwick-checks.dll")
    if not os.path.isfile(folder_check):
        sys.exit(f"build_msi: no penwick-checks.dll beside {launcher}")
    when = source_time()
    launcher, tokenhub = stage(launcher, "launcher.exe", when, out), stage(tokenhub, "tokenhub.dll", when, out)
    host = stage(hosts[0], "tokenhub-host.exe", when, out)
    if tokenhub32:
        tokenhub32 = stage(tokenhub32, "tokenhub32.dll", when, out)
        host32 = stage(hosts[1], "tokenhub-host32.exe", when, out)
    # Every file of the cabinet is staged with the source's time: a checkout's
    # own file times differ from one tree to the next.
    inputs = {"LauncherExe": launcher, "TokenhubDll": tokenhub, "ExampleConfig": stage_example(config, out),
              "LauncherIcon": extract_icon(launcher, os.path.join(stage_folder(out), "launcher.ico")),
              "LogFolderNote": stage(os.path.join(HERE, "logfolder.txt"), "logfolder.txt", when, out),
              "DiagnosticLog": stage(os.devnull, DIAGNOSTIC_LOG, when, out)}
    inputs["TokenhubHostExe"] = host
    pe_files = {"launcher.exe": launcher, "tokenhub.dll": tokenhub, "tokenhub_host.exe": host}
    if tokenhub32:
        inputs["Tokenhub32Dll"] = pe_files["tokenhub32.dll"] = tokenhub32
        inputs["TokenhubHost32Exe"] = pe_files["tokenhub_host32.exe"] = host32
    partial = out + ".partial"
    compile_package(arch, version, inputs, partial)
    finish_tables(partial, arch, pe_files, stage(folder_check, "penwick-checks.dll", when, out), out)
    code = content_code(partial, f"Penwick {arch} {version}")
    subprocess.run(["msibuild", partial, "-q", f"UPDATE `Property` SET `Value` = '{code}' "
                    "WHERE `Property` = 'ProductCode'"], check=True)
    pin_summary(partial, when)
    os.replace(partial, out)


if __name__ == "__main__":
    if len(sys.argv) not in (7, 8):
        sys.exit(__doc__.rsplit("\n\n", 1)[1])
    main(*sys.argv[1:])
