#!/usr/bin/python3
"""Static check of the shipped launcher.exe: an x86 or x64 GUI program
(check_launcher_pe.py FILE i386|amd64) that imports only Windows system DLLs,
is hardened as the tokenhub DLL is, carries the version block, the icon groups
107 and 108 (seven square sizes at 32 bits per pixel) and a manifest that
keeps it unelevated."""
import os
import struct
import sys

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tokenhub"))
from check_module import pe_hardening  # noqa: E402

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll",
               "ole32.dll", "comctl32.dll"}
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)


data = open(sys.argv[1], "rb").read()
pe = pefile.PE(data=data)
machine = sys.argv[2] if len(sys.argv) > 2 else "i386"
check(pe.FILE_HEADER.Machine == {"i386": 0x14C, "amd64": 0x8664}[machine], f"machine is {machine}")
pe_hardening(pe, data, check)
check(pe.OPTIONAL_HEADER.Subsystem == 2, "GUI subsystem")
check(pe.OPTIONAL_HEADER.DllCharacteristics & 0x8000, "terminal-server aware")

imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
check(imports <= SYSTEM_DLLS, f"only system DLLs imported, got {sorted(imports)}")
check("kernel32.dll" in imports and "user32.dll" in imports and "gdi32.dll" in imports,
      f"kernel32, user32 and gdi32 imported, got {sorted(imports)}")

strings = {}
for info in pe.FileInfo[0] if pe.FileInfo else []:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
expected = {"CompanyName": "Orvane", "ProductName": "Penwick", "FileDescription": "Orvane Penwick",
            "InternalName": "launcher.exe", "FileVersion": "2.1.3.0", "ProductVersion": "2.1.3.0"}
for key, value in expected.items():
    check(strings.get(key) == value, f"{key} = {value!r}, got {strings.get(key)!r}")
fixed = pe.VS_FIXEDFILEINFO[0]
check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x00020001, 0x00030000), "fixed file version 2.1.3.0")
check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00020001, 0x00030000), "fixed product version 2.1.3.0")


def resources(type_id):
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            lang = entry.directory.entries[0]
            found[entry.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return found


icons = resources(3)
groups = resources(14)
for group_id in (107, 108):
    data = groups.get(group_id)
    check(data is not None, f"icon group {group_id} present")
    if data is None:
        continue
    _, _, count = struct.unpack_from("<HHH", data)
    sizes = []
    for i in range(count):
        w, h, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        w, h = w or 256, h or 256
        check(w == h, f"group {group_id}: square images")
        check(bits == 32, f"group {group_id}: {w} px image at 32 bpp, got {bits}")
        header = icons.get(icon_id, b"")
        check(len(header) >= 40 and struct.unpack_from("<iiHH", header, 4)[3] == 32,
              f"group {group_id}: icon {icon_id} holds a 32 bpp bitmap")
        sizes.append(w)
    check(sorted(sizes) == [16, 24, 32, 48, 64, 96, 128], f"group {group_id}: seven sizes, got {sizes}")

manifest = resources(24).get(1, b"").decode("utf-8", "replace")
check('level="asInvoker"' in manifest, "manifest requests asInvoker")
check(">PerMonitorV2, PerMonitor<" in manifest and ">true/pm<" in manifest, "manifest declares per-monitor DPI awareness")
# Windows 7, 8, 8.1, 10 and 11
for os_id in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
              "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
    check(f'<supportedOS Id="{{{os_id}}}"/>' in manifest, f"manifest names supported OS {os_id}")

for text in failures:
    print("FAIL:", text)
print(f"launcher.exe static check: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
