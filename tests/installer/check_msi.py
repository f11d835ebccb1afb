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
# Fixed per architecture and version: the same build always gives the same
# product, and its components keep their ids from version to version.
PRODUCT = "{0A4C4EA2-D162-5C57-B636-5AB2D90C42C1}" if x64 else "{22BE4B9A-3D23-51BB-B473-D83DF336CA68}"
COMPONENT_IDS = {
    "x64": {"Launcher": "{A007EC8F-B300-5DB4-9840-76A459654CBD}", "LauncherConfig": "{B516D8C2-C62D-5280-B721-4065FB8257DD}",
            "Tokenhub": "{74386647-80AE-58E2-8FA1-ED54FA3F8BB1}", "LogFolder": "{8E3F0B6C-1D2A-4C5B-9A7E-6F1D3B2C4A58}"},
    "x86": {"Launcher": "{BB4B1E53-312C-5558-981B-FE89031D35DF}", "LauncherConfig": "{40832121-9715-5DA7-AEDE-D23AFA731ABA}",
            "Tokenhub": "{723C393B-C0CE-5917-B737-B9C76E08270C}", "LogFolder": "{3B7D2E94-6C1F-4A8B-B5D0-9E2C7F4A1D63}"},
}[arch]
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
# Components, their folders and key paths; attributes: 0x10 permanent, 0x80 never overwrite.
components = {(name, COMPONENT_IDS[name], directory, str(attributes | BIT64), "", key) for name, directory, attributes, key in (
    ("Launcher", "INSTALLDIR", 0, "launcher.exe"), ("LauncherConfig", "INSTALLDIR", 0x90, "launcher.toml"),
    ("Tokenhub", SYSTEM, 0, "tokenhub.dll"), ("LogFolder", "LOGDIR", 0, ""))}
expect("Component", components)
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
