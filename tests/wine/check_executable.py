#!/usr/bin/env python3
"""Checks what ships in dist/ as built: the installer's imports, its hardening
flags, its sections, its manifest and version information, that it is
stripped and names its PDB without a folder, that the PDB beside it is its
own, the SHA-256 sums, and the size.

Usage: check_executable.py READOBJ PDBUTIL DIST_DIR VERSION
(READOBJ and PDBUTIL: llvm-readobj and llvm-pdbutil of the build's LLVM.)"""
import hashlib
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "cmake"))
from set_pe_checksum import pe_checksum  # noqa: E402

readobj, pdbutil, dist, version = sys.argv[1:5]
exe_name, pdb_name = "vek-system-service-setup.exe", "vek-system-service-setup.pdb"
exe, pdb = os.path.join(dist, exe_name), os.path.join(dist, pdb_name)
failures = []


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


headers = run(readobj, "--file-headers", "--sections", "--coff-debug-directory", exe)
imports_text = run(readobj, "--coff-imports", exe)
data = open(exe, "rb").read()


def number(name):
    m = re.search(rf"^\s*{name}: (0x[0-9A-Fa-f]+|\d+)\s*$", headers, re.M)
    return int(m.group(1), 0) if m else None


# --- Imports: system DLLs only, and only functions 64-bit Windows 10 1507 has.
def imports_of(text):
    table, dll = {}, None
    for line in text.splitlines():
        m = re.match(r"\s*Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            table[dll] = set()
        m = re.match(r"\s*Symbol: (\w+)", line)
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


imports = imports_of(imports_text)
allowed = allowed_imports(os.path.join(os.path.dirname(__file__), "windows10_1507_imports.txt"))
if not imports:
    failures.append("no imports found")
if set(imports) - set(allowed):
    failures.append(f"imports other DLLs: {sorted(set(imports) - set(allowed))}")
for dll in sorted(set(imports) & set(allowed)):
    for function in sorted(imports[dll] - allowed[dll]):
        failures.append(f"imports {dll}!{function}, not known to be in Windows 10 1507: "
                        "check its minimum version, or look it up at run time")

# --- Hardening: what Windows' own tools carry, but Control Flow Guard (see
# the README: the MinGW-w64 runtime has no guard tables to give).
for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT", "TERMINAL_SERVER_AWARE"):
    if not re.search(rf"^\s+IMAGE_DLL_CHARACTERISTICS_{flag} \(", headers, re.M):
        failures.append(f"{flag} is not set")
if "IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT" not in headers:
    failures.append("CET_COMPAT (shadow-stack compatible) is not set")
for field in ("OperatingSystem", "Subsystem"):
    major, minor = number(f"Major{field}Version"), number(f"Minor{field}Version")
    if (major, minor) < (6, 0):
        failures.append(f"{field} version {major}.{minor}: older than 6.0")

# --- Sections: the import tables and the resources are not writable, and no
# section is both writable and executable.
sections = []
for block in re.findall(r"Section \{(.*?)\n  \}", headers, re.S):
    name = re.search(r"Name: (\S+)", block).group(1)
    start = int(re.search(r"VirtualAddress: (0x[0-9A-Fa-f]+)", block).group(1), 16)
    size = int(re.search(r"VirtualSize: (0x[0-9A-Fa-f]+|\d+)", block).group(1), 0)
    writable = "IMAGE_SCN_MEM_WRITE" in block
    executable = "IMAGE_SCN_MEM_EXECUTE" in block
    sections.append((name, start, size, writable, executable))
    if writable and executable:
        failures.append(f"section {name} is writable and executable")
for table in ("ImportTable", "IAT", "ResourceTable"):
    rva = number(f"{table}RVA")
    holder = next((s for s in sections if rva and s[1] <= rva < s[1] + s[2]), None)
    if holder is None:
        failures.append(f"no section holds the {table}")
    elif holder[3]:
        failures.append(f"the {table} lies in writable section {holder[0]}")

# --- The checksum is set and right: signing tools compute it too, and a
# signature removed gives back the built bytes only if it was.
if number("CheckSum") != pe_checksum(data):
    failures.append(f"checksum {number('CheckSum'):#x}, the image's is {pe_checksum(data):#x}")

# --- Stripped; symbols in the PDB beside it, named without a folder.
if ".debug_" in headers or number("SymbolCount"):
    failures.append("not stripped: debug sections or a symbol table present")
m = re.search(r"PDBFileName: (.*)", headers)
if not m or m.group(1).strip() != pdb_name:
    failures.append(f"debug record names {m.group(1).strip() if m else 'no PDB'!r}, "
                    f"not {pdb_name!r} alone")
if not os.path.exists(pdb):
    failures.append(f"{pdb_name} is missing beside the installer")
else:
    summary = run(pdbutil, "dump", "--summary", pdb)
    pdb_guid = re.search(r"GUID: \{([0-9A-F-]+)\}", summary).group(1).replace("-", "")
    raw = re.search(r"PDBGUID: \(([0-9A-F ]+)\)", headers).group(1).split()
    # The record's GUID: three little-endian fields, then eight bytes.
    exe_guid = "".join(raw[3::-1] + raw[5:3:-1] + raw[7:5:-1] + raw[8:])
    if pdb_guid != exe_guid:
        failures.append(f"{pdb_name} is not this build's: GUID {pdb_guid}, installer {exe_guid}")
    publics = run(pdbutil, "dump", "--publics", pdb)
    for symbol in ("__stack_chk_guard", "__stack_chk_fail"):
        if f"`{symbol}`" not in publics:
            failures.append(f"no {symbol}: not built with the stack protector")

# --- Manifest and version information.
# asInvoker: a caller without administrator rights must get the manager's own
# refusal and exit code 1, not an elevation prompt or error 740.
if b"requireAdministrator" in data or b"highestAvailable" in data:
    failures.append("manifest asks for elevation")
for text in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
             b"<longPathAware", b">true</longPathAware>"):
    if text not in data:
        failures.append(f"manifest lacks {text.decode()}")


def utf16(text):
    return text.encode("utf-16-le")


for key, value in (("ProductName", "Vek System Service"),
                   ("FileDescription", "Vek System Service installer"),
                   ("FileVersion", version)):
    if utf16(key) not in data or utf16(value) not in data:
        failures.append(f"version information lacks {key} {value!r}")

# --- SHA256SUMS lists exactly the shipped files, with their hashes.
sums_path = os.path.join(dist, "SHA256SUMS")
expected = {name: hashlib.sha256(open(os.path.join(dist, name), "rb").read()).hexdigest()
            for name in (exe_name, pdb_name, "install.cmd") if os.path.exists(os.path.join(dist, name))}
listed = {}
if os.path.exists(sums_path):
    for line in open(sums_path):
        digest, name = line.rstrip("\n").split("  ", 1)
        listed[name] = digest
if listed != expected:
    failures.append(f"SHA256SUMS lists {listed}, the files are {expected}")

size = len(data)
print(f"{exe}: {size} bytes ({size / 1024:.1f} KiB), imports {sorted(imports)}")
if size > 256 * 1024:
    failures.append(f"{size} bytes: larger than 256 KiB")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
