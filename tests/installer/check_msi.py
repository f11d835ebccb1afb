#!/usr/bin/python3
"""Static check of an installer package with msiinfo, table by table and row
by row: identity, folders, components with their ids and attributes, major
upgrade, shortcut, log folder access, removal of an unchanged launcher.toml.
Usage: check_msi.py PENWICK_MSI x86|x64"""
import subprocess
import sys

msi, arch = sys.argv[1:3]
x64 = arch == "x64"
UPGRADE = "{4C6A1E52-7D3B-4F0A-9B6E-2A8D5C7E1F34}"
PF, SYS, B64 = ("ProgramFiles64Folder", "System64Folder", 256) if x64 else ("ProgramFilesFolder", "SystemFolder", 0)
# Fixed per architecture: the same build gives the same product, and the
# components keep their ids from version to version.
ids = ("0A4C4EA2-D162-5C57-B636-5AB2D90C42C1 A007EC8F-B300-5DB4-9840-76A459654CBD B516D8C2-C62D-5280-B721-4065FB8257DD "
       "74386647-80AE-58E2-8FA1-ED54FA3F8BB1 8E3F0B6C-1D2A-4C5B-9A7E-6F1D3B2C4A58" if x64 else
       "22BE4B9A-3D23-51BB-B473-D83DF336CA68 BB4B1E53-312C-5558-981B-FE89031D35DF 40832121-9715-5DA7-AEDE-D23AFA731ABA "
       "723C393B-C0CE-5917-B737-B9C76E08270C 3B7D2E94-6C1F-4A8B-B5D0-9E2C7F4A1D63")
product, launcher, config, tokenhub, logs = ("{" + i + "}" for i in ids.split())
expected = {  # table: (rows, first-column values checked, or None for the whole table)
    "Property": ({("ProductCode", product), ("UpgradeCode", UPGRADE), ("ProductVersion", "2.1.3"),
                  ("ProductName", "Penwick"), ("Manufacturer", "Orvane"), ("ALLUSERS", "1")}, True),
    "Directory": ({("TARGETDIR", "", "SourceDir"), (PF, "TARGETDIR", "."), ("OrvaneProgramFolder", PF, "Orvane"),
                   ("INSTALLDIR", "OrvaneProgramFolder", "Penwick"), (SYS, "TARGETDIR", "."),
                   ("CommonAppDataFolder", "TARGETDIR", "."), ("OrvaneDataFolder", "CommonAppDataFolder", "Orvane"),
                   ("LOGDIR", "OrvaneDataFolder", "Penwick"), ("ProgramMenuFolder", "TARGETDIR", ".")}, None),
    # Attributes: 0x10 permanent and 0x80 never overwrite on the configuration.
    "Component": ({("Launcher", launcher, "INSTALLDIR", str(B64), "", "launcher.exe"),
                   ("LauncherConfig", config, "INSTALLDIR", str(B64 | 0x90), "", "launcher.toml"),
                   ("Tokenhub", tokenhub, SYS, str(B64), "", "tokenhub.dll"),
                   ("LogFolder", logs, "LOGDIR", str(B64), "", "")}, None),
    "CreateFolder": ({("LOGDIR", "LogFolder"), ("OrvaneDataFolder", "LogFolder"), ("OrvaneProgramFolder", "Launcher")}, None),
    "Upgrade": ({(UPGRADE, "", "2.1.3", "", "1", "", "WIX_UPGRADE_DETECTED"),
                 (UPGRADE, "2.1.3", "", "", "2", "", "WIX_DOWNGRADE_DETECTED")}, None),
    "Shortcut": ({("StartMenuLauncher", "ProgramMenuFolder", "Penwick", "Launcher", "[#launcher.exe]")
                  + ("",) * 6 + ("INSTALLDIR",) + ("",) * 4}, None),
    "MsiLockPermissionsEx": ({("LogFolderAccess", "LOGDIR", "CreateFolder",
                               "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", "")}, None),
    "CustomAction": ({("DropUnchangedConfig", "3170", "INSTALLDIR",
                       '"[%ComSpec]" /c for %a in (launcher.example.toml) do @for %b in (launcher.toml) do '
                       '@if "%~za %~ta"=="%~zb %~tb" del launcher.toml', "")}, None),
    # The old product goes before the new files come; the example before a removal's files.
    "InstallExecuteSequence": ({("RemoveExistingProducts", "", "1401"), ("RemoveFiles", "", "3500"),
                                ("DropUnchangedConfig", 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE', "3499")}, True),
}
failures = 0
for table, (wanted, only_these) in expected.items():
    out = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    got = {tuple(line.split("\t")) for line in out.split("\n")[3:] if line}
    if only_these:
        got = {row for row in got if row[0] in {w[0] for w in wanted}}
    if got != wanted:
        failures += 1
        print(f"FAIL {table}: missing {sorted(wanted - got)}, unexpected {sorted(got - wanted)}", file=sys.stderr)
sys.exit(1 if failures else 0)
