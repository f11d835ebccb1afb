#!/usr/bin/python3
"""Static check of an installer package with msiinfo: the product's
identity, where each component goes and with which attributes, the major
upgrade, the shortcut, the log folder's access and the removal of an
unchanged launcher.toml, table by table and row by row.
Usage: check_msi.py PENWICK_MSI x86|x64 LAUNCHER_EXE TOKENHUB_DLL"""
import os
import subprocess
import sys

msi, arch, launcher, tokenhub = sys.argv[1:5]
x64 = arch == "x64"
UPGRADE = "{4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34}"
# Fixed per architecture and version: the same build always gives the same product.
PRODUCT = "{0A4C4EA2-D162-5C57-B636-5AB2D90C42C1}" if x64 else "{F2B1F5D8-5A3B-5D4E-8E6B-6C6D5F5E1B3C}"
PROGRAM_FILES = "ProgramFiles64Folder" if x64 else "ProgramFilesFolder"
SYSTEM = "System64Folder" if x64 else "SystemFolder"
BIT64 = 0x100 if x64 else 0
failures = []


def rows(table):
    out = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    return {tuple(line.split("\t")) for line in out.split("\n")[3:] if line}


def expect(table, wanted, pick=None):
    got = rows(table)
    if pick:
        got = {row for row in got if row[0] in pick}
    if got != wanted:
        failures.append(f"{table}: missing {sorted(wanted - got)}, unexpected {sorted(got - wanted)}")


expect("Property", {("ProductCode", PRODUCT), ("UpgradeCode", UPGRADE), ("ProductVersion", "2.1.3"),
                    ("ProductName", "Penwick"), ("Manufacturer", "Orvane"), ("ALLUSERS", "1")},
       pick={"ProductCode", "UpgradeCode", "ProductVersion", "ProductName", "Manufacturer", "ALLUSERS"})
expect("Directory", {("TARGETDIR", "", "SourceDir"), (PROGRAM_FILES, "TARGETDIR", "."),
                     ("OrvaneProgramFolder", PROGRAM_FILES, "Orvane"), ("INSTALLDIR", "OrvaneProgramFolder", "Penwick"),
                     (SYSTEM, "TARGETDIR", "."), ("CommonAppDataFolder", "TARGETDIR", "."),
                     ("OrvaneDataFolder", "CommonAppDataFolder", "Orvane"), ("LOGDIR", "OrvaneDataFolder", "Penwick"),
                     ("ProgramMenuFolder", "TARGETDIR", ".")})
# Component ids and key paths; attributes: 0x10 permanent, 0x80 never overwrite.
components = {(name, directory, str(attributes | BIT64), key) for name, directory, attributes, key in (
    ("Launcher", "INSTALLDIR", 0, "launcher.exe"), ("LauncherConfig", "INSTALLDIR", 0x90, "launcher.toml"),
    ("Tokenhub", SYSTEM, 0, "tokenhub.dll"), ("LogFolder", "LOGDIR", 0, ""))}
got = {(r[0], r[2], r[3], r[5]) for r in rows("Component")}
if got != components:
    failures.append(f"Component: missing {sorted(components - got)}, unexpected {sorted(got - components)}")
example = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "installer", "launcher.toml")
files = {(key, component, key, str(os.path.getsize(path))) for key, component, path in (
    ("launcher.exe", "Launcher", launcher), ("launcher.example.toml", "Launcher", example),
    ("launcher.toml", "LauncherConfig", example), ("tokenhub.dll", "Tokenhub", tokenhub))}
got = {r[:4] for r in rows("File")}
if got != files:
    failures.append(f"File: missing {sorted(files - got)}, unexpected {sorted(got - files)}")
expect("CreateFolder", {("LOGDIR", "LogFolder"), ("OrvaneDataFolder", "LogFolder"), ("OrvaneProgramFolder", "Launcher")})
# Earlier versions are replaced; a later one refuses this package.
expect("Upgrade", {(UPGRADE, "", "2.1.3", "", "1", "", "WIX_UPGRADE_DETECTED"),
                   (UPGRADE, "2.1.3", "", "", "2", "", "WIX_DOWNGRADE_DETECTED")})
expect("Shortcut", {("StartMenuLauncher", "ProgramMenuFolder", "Penwick", "Launcher", "[#launcher.exe]", "", "", "",
                     "", "", "", "INSTALLDIR", "", "", "", "")})
expect("MsiLockPermissionsEx", {("LogFolderAccess", "LOGDIR", "CreateFolder",
                                 "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", "")})
expect("CustomAction", {("DropUnchangedConfig", "3170", "INSTALLDIR",
                         '"[%ComSpec]" /c for %a in (launcher.example.toml) do @for %b in (launcher.toml) do '
                         '@if "%~za %~ta"=="%~zb %~tb" del launcher.toml', "")})
# The old product goes before the new files come; the unchanged example
# goes before the files of a removal.
expect("InstallExecuteSequence", {("RemoveExistingProducts", "", "1401"),
                                  ("DropUnchangedConfig", 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE', "3499"),
                                  ("RemoveFiles", "", "3500")},
       pick={"RemoveExistingProducts", "DropUnchangedConfig", "RemoveFiles"})

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
