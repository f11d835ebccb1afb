#!/usr/bin/python3
"""The Group Policy templates against the code that reads the switches: every
value tokenhub reads from HKEY_LOCAL_MACHINE (tokenhub/platform/platform_win32.cpp)
has one machine policy with the key and value name the code reads, of the
type it reads (a text no longer than its buffer; a switch that is 1 when on),
and every text and presentation the templates name is in the en-US ADML.
Usage: check_policy.py SOURCE_DIR"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

root = sys.argv[1]
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL:", text, file=sys.stderr)


with open(os.path.join(root, "tokenhub/platform/platform_win32.cpp"), encoding="utf-8") as f:
    code = f.read()
# Group Policy's own key, which it cleans up: the one the code reads first.
key = re.search(r'kPolicyKey\[\] = L"(.*?)";', code).group(1).replace("\\\\", "\\")
check(key.startswith("Software\\Policies\\")
      and re.search(r"registryPath\(HKEY_LOCAL_MACHINE, kPolicyKey\) \|\| registryPath\(HKEY_LOCAL_MACHINE, kSettingsKey\)", code)
      and re.search(r"registryFlag\(HKEY_LOCAL_MACHINE, kPolicyKey, name\)", code), f"policies first, under {key}")
buffer = int(re.search(r"wchar_t tracePath\[(\d+)\];", code).group(1))
texts = re.findall(r'RegGetValueW\(key, nullptr, L"(\w+)", RRF_RT_REG_SZ', code)
flags = sorted(set(re.findall(r'machineFlag\(L"(\w+)"\)', code)))
check(texts and flags, f"the code's values: texts {texts}, switches {flags}")

admx = ElementTree.parse(os.path.join(root, "installer/policy/tokenhub.admx")).getroot()
adml = ElementTree.parse(os.path.join(root, "installer/policy/en-US/tokenhub.adml")).getroot()
strings = {s.get("id") for s in adml.iterfind(".//p:stringTable/p:string", NS)}
presentations = {p.get("id"): p for p in adml.iterfind(".//p:presentationTable/p:presentation", NS)}
policies = {}
for policy in admx.iterfind(".//p:policies/p:policy", NS):
    elements = policy.findall("p:elements/*", NS)
    name = policy.get("valueName") or (elements[0].get("valueName") if len(elements) == 1 else None)
    policies[name] = policy
    check(policy.get("class") == "Machine" and policy.get("key") == key,
          f"{policy.get('name')}: a machine policy on {key}, not {policy.get('class')} {policy.get('key')}")
check(sorted(policies) == sorted(texts + flags), f"one policy per value the code reads: {sorted(policies)}")
for name in texts:
    elements = policies[name].findall("p:elements/p:text", NS) if name in policies else []
    # Expandable: a REG_EXPAND_SZ value, which the code reads expanded.
    check(len(elements) == 1 and elements[0].get("required") == "true" and elements[0].get("expandable") == "true"
          and 0 < int(elements[0].get("maxLength", "0")) < buffer, f"{name}: one text, at most {buffer - 1} characters")
    presentation = presentations.get(policies.get(name, admx).get("presentation", "")[len("$(presentation."):-1])
    check(presentation is not None and {e.get("refId") for e in presentation} == {e.get("id") for e in elements},
          f"{name}: its text box in the ADML")
for name in flags:
    policy = policies.get(name, admx)
    check([v.get("value") for v in policy.iterfind("p:enabledValue/p:decimal", NS)] == ["1"]
          and [v.get("value") for v in policy.iterfind("p:disabledValue/p:decimal", NS)] == ["0"],
          f"{name}: enabled 1, disabled 0")
named = re.findall(r"\$\(string\.(\w+)\)", ElementTree.tostring(admx, encoding="unicode"))
check(set(named) <= strings and named, f"texts missing from the ADML: {sorted(set(named) - strings)}")
sys.exit(1 if failures else 0)
