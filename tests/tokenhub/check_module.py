#!/usr/bin/python3
"""Checks a built tokenhub module against its export definition.

  check_module.py dll FILE.dll DEF_FILE MACHINE   (MACHINE i386 or amd64)
  check_module.py so  FILE.so  DEF_FILE hardened|sanitized
  check_module.py host tokenhub-host.exe MACHINE

The 68 names of the export definition must follow the order of the function
list in the PKCS#11 header. A DLL must export exactly those names with
ordinals 1 to 68, import only Windows system DLLs and carry the version
block; a shared object must export exactly those 68 functions. Both must be
hardened as pe_hardening and elf_hardening say (a shared object of the
sanitizer builds, which go without that hardening, excepted). The module
host, hardened as the DLL, is a terminal-server aware GUI program whose
manifest keeps it unelevated, names the supported systems and asks for
per-monitor DPI awareness and common controls 6, so that a module's
dialogs look and scale as in the application.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER = "/usr/include/p11-kit-1/p11-kit/pkcs11.h"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "winscard.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
               "shell32.dll", "ole32.dll", "ws2_32.dll", "comctl32.dll", "shlwapi.dll"}
VERSION_STRINGS = {
    "CompanyName": "Varenzo Technologies SA",
    "FileDescription": "PKCS #11 Cryptoki Library",
    "Comments": "PKCS#11 Cryptographic Token Interface Library for Starcos 2.3, Starcos 3.0 and Starcos 3.2",
}
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def definition(path):
    entries = re.findall(r"^\s+(C_\w+)\s+@(\d+)", open(path).read(), re.M)
    return [(name, int(ordinal)) for name, ordinal in entries]


def header_order():
    text = open(HEADER).read()
    body = text[text.index("struct ck_function_list\n{"):]
    body = body[:body.index("};")]
    return re.findall(r"CK_(C_\w+) C_\w+;", body)


def check_definition(entries):
    names = [n for n, _ in entries]
    check(len(entries) == 68, "export definition lists 68 functions")
    check([o for _, o in entries] == list(range(1, 69)), "ordinals run 1 to 68")
    check(names == header_order()[:68], "names follow CK_FUNCTION_LIST order of the PKCS#11 header")
    return names


def pe_hardening(pe, data, check):
    """A shipped Windows binary: ASLR with its relocations, 64-bit address
    entropy on x64, no execution of data, no section both writable and
    executable, and the stack protector's support code linked in (its failure
    message is in the file only when some function calls it)."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    check(flags & 0x40, "ASLR (DYNAMIC_BASE)")
    check(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size > 0 and not pe.FILE_HEADER.Characteristics & 1,
          "base relocations present")
    check(flags & 0x100, "NX_COMPAT")
    if pe.FILE_HEADER.Machine == 0x8664:
        check(flags & 0x20, "HIGH_ENTROPY_VA")
    writable_code = [s.Name.rstrip(b"\0").decode() for s in pe.sections
                     if s.Characteristics & 0x20000000 and s.Characteristics & 0x80000000]
    check(not writable_code, f"no section both writable and executable {writable_code}")
    check(b"*** stack smashing detected ***" in data, "stack protector linked in")
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link time stamp")


def check_dll(path, names, machine):
    import pefile
    data = open(path, "rb").read()
    pe = pefile.PE(data=data)
    pe_hardening(pe, data, check)
    want = {"i386": 0x14C, "amd64": 0x8664}[machine]
    check(pe.FILE_HEADER.Machine == want, f"machine is {machine}")
    exports = [(e.name.decode(), e.ordinal) for e in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    check(sorted(exports, key=lambda e: e[1]) == [(n, i + 1) for i, n in enumerate(names)],
          f"exports are exactly the 68 names with ordinals 1-68 ({len(exports)} exported)")
    imports = sorted(i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT)
    check(set(imports) <= SYSTEM_DLLS, "imports only system DLLs: " + ", ".join(imports))
    fixed = pe.VS_FIXEDFILEINFO[0]
    version = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
               fixed.FileVersionLS & 0xFFFF)
    product = (fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF, fixed.ProductVersionLS >> 16,
               fixed.ProductVersionLS & 0xFFFF)
    # The product's four fields (the top-level CMakeLists.txt), above every
    # vendor build of this module (2.0.0.11): Windows Installer replaces a
    # file of the system folder only with a higher version.
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        cmake = f.read()
    stamped = tuple(int(n) for n in re.search(r"set\(PENWICK_VERSION ([\d.]+)\)", cmake).group(1).split(".")) + (
        int(re.search(r"set\(PENWICK_BUILD (\d+)\)", cmake).group(1)),)
    check(version == product == stamped and version > (2, 0, 0, 11), f"file and product version {version}")
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in VERSION_STRINGS.items():
        check(strings.get(key) == value, f'version {key} "{strings.get(key)}"')


# Windows 7, 8, 8.1, 10 and 11
SUPPORTED_OS = ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")


def check_host(path, machine):
    import pefile
    data = open(path, "rb").read()
    pe = pefile.PE(data=data)
    pe_hardening(pe, data, check)
    check(pe.FILE_HEADER.Machine == {"i386": 0x14C, "amd64": 0x8664}[machine], f"machine is {machine}")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, "GUI subsystem")
    check(pe.OPTIONAL_HEADER.DllCharacteristics & 0x8000, "terminal-server aware")
    imports = sorted(i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT)
    check(set(imports) <= SYSTEM_DLLS, "imports only system DLLs: " + ", ".join(imports))
    manifest = ""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries if kind.id == 24 else []:
            if entry.id == 1:
                at = entry.directory.entries[0].data.struct
                manifest = pe.get_data(at.OffsetToData, at.Size).decode("utf-8", "replace")
    check('level="asInvoker"' in manifest, "manifest requests asInvoker")
    check(">PerMonitorV2, PerMonitor<" in manifest and ">true/pm<" in manifest, "manifest: per-monitor DPI awareness")
    check(re.search(r'name="Microsoft\.Windows\.Common-Controls"\s+version="6\.0\.0\.0"', manifest),
          "manifest: common controls 6")
    for os_id in SUPPORTED_OS:
        check(f'<supportedOS Id="{{{os_id}}}"/>' in manifest, f"manifest names supported OS {os_id}")


def check_so(path, names, hardened):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines() if line.split()[1] in "TtWiDdBb")
    check(exported == sorted(names), f"exports exactly the 68 functions ({len(exported)} exported)")
    needed = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    check("libpcsclite.so" in needed, "links pcsc-lite")
    if hardened:
        elf_hardening(path, out + subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True,
                                                 text=True, check=True).stdout, needed)


def elf_hardening(path, symbols, dynamic):
    """Full RELRO (a read-only relocation segment, every symbol bound at load),
    a stack that is not executable, the stack protector and fortified libc
    calls."""
    segments = subprocess.run(["readelf", "-lW", path], capture_output=True, text=True, check=True).stdout
    stack = re.search(r"GNU_STACK(?:\s+\S+){5}\s+(\S+)", segments)
    check("GNU_RELRO" in segments, "RELRO segment")
    check(re.search(r"\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b", dynamic), "immediate binding (BIND_NOW)")
    check(stack is not None and "E" not in stack.group(1), "stack not executable")
    check("__stack_chk_fail" in symbols, "stack protector (__stack_chk_fail)")
    check(re.search(r"\b__\w+_chk\b", symbols.replace("__stack_chk_fail", "")), "fortified libc calls (__*_chk)")


def main():
    if sys.argv[1] == "host":
        check_host(sys.argv[2], sys.argv[3])
        print(f"{len(failures)} failures" if failures else "all checks passed")
        sys.exit(1 if failures else 0)
    kind, path, deffile = sys.argv[1:4]
    names = check_definition(definition(deffile))
    if kind == "dll":
        check_dll(path, names, sys.argv[4])
    else:
        check_so(path, names, sys.argv[4] == "hardened")
    print(f"{len(failures)} failures" if failures else "all checks passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
