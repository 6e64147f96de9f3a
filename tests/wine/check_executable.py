#!/usr/bin/env python3
"""Checks the shipped installer as built: what it imports, its hardening
flags, its manifest and version information, that it is stripped, and its
size. Usage: check_executable.py OBJDUMP EXE"""
import os
import re
import subprocess
import sys

objdump, exe = sys.argv[1], sys.argv[2]
failures = []

headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
sections = subprocess.run([objdump, "-h", exe], check=True, capture_output=True, text=True).stdout
data = open(exe, "rb").read()

def imports_of(headers):
    """{dll (lower case): {function, ...}} from objdump's import table."""
    table, dll = {}, None
    for line in headers.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            table[dll] = set()
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", line)
        if m and dll:
            table[dll].add(m.group(1))
    return table

def allowed_imports(path):
    table, dll = {}, None
    for line in open(path):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            dll = line.strip("[]").lower()
            table[dll] = set()
        else:
            table[dll].add(line)
    return table

imports = imports_of(headers)
imported = set(imports)
allowed = allowed_imports(os.path.join(os.path.dirname(__file__), "windows10_1507_imports.txt"))
if not imported:
    failures.append("no imports found")
if imported - set(allowed):
    failures.append(f"imports other DLLs: {sorted(imported - set(allowed))}")
for dll in sorted(imported & set(allowed)):
    for function in sorted(imports[dll] - allowed[dll]):
        failures.append(f"imports {dll}!{function}, not known to be in Windows 10 1507: "
                        "check its minimum version, or look it up at run time")

for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
    if not re.search(rf"^\s+{flag}\s*$", headers, re.M):
        failures.append(f"{flag} is not set")

if ".debug_" in sections:
    failures.append("not stripped: debug sections present")

# asInvoker: a caller without administrator rights must get the manager's own
# refusal and exit code 1, not an elevation prompt or error 740.
if b'requireAdministrator' in data or b'highestAvailable' in data:
    failures.append("manifest asks for elevation")
for text in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
             b"<longPathAware", b">true</longPathAware>"):
    if text not in data:
        failures.append(f"manifest lacks {text.decode()}")

def utf16(text):
    return text.encode("utf-16-le")

for key, value in (("ProductName", "Vek System Service"),
                   ("FileDescription", "Vek System Service installer")):
    if utf16(key) not in data or utf16(value) not in data:
        failures.append(f"version information lacks {key} {value!r}")
version = sys.argv[3] if len(sys.argv) > 3 else None
if version and utf16(version) not in data:
    failures.append(f"version information lacks version {version}")

size = len(data)
print(f"{exe}: {size} bytes ({size / 1024:.1f} KiB), imports {sorted(imported)}")
if size > 256 * 1024:
    failures.append(f"{size} bytes: larger than 256 KiB")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
