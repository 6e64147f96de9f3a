#!/usr/bin/env python3
"""Checks what ships in dist/ as built: the installer's imports, its hardening
flags and base relocations, its sections, its checksum, its manifest and
version information, that it is stripped and names its PDB without a folder,
that the PDB beside it is its own and shows the stack checks in the program's
own code, the Windows Installer package, the SHA-256 sums, and the size.

Usage: check_executable.py READOBJ PDBUTIL DIST_DIR VERSION PACKAGE_VERSION SAMPLE_SERVICE
(VERSION: the installer's; PACKAGE_VERSION: the package's. SAMPLE_SERVICE: the sample vek-system-service.exe as the package would
carry it.)
(READOBJ and PDBUTIL: llvm-readobj and llvm-pdbutil of the build's LLVM.)
Reads the image with Debian's python3-pefile too: run it with Debian's
python3."""
import collections
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
from uuid import uuid4

import pefile

readobj, pdbutil, dist, version, package_version, sample_service = sys.argv[1:7]
exe_name, pdb_name = "vek-system-service-setup.exe", "vek-system-service-setup.pdb"
exe, pdb = os.path.join(dist, exe_name), os.path.join(dist, pdb_name)
failures = []


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


headers = run(readobj, "--file-headers", "--sections", "--coff-debug-directory", exe)
imports_text = run(readobj, "--coff-imports", exe)
data = open(exe, "rb").read()
# The second reader, for what llvm-readobj does not give or must not be
# trusted alone with.
pe = pefile.PE(data=data, fast_load=True)


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

# --- Base relocations: the loader can move an image only with them. Without
# them it loads it at its preferred base whatever DYNAMIC_BASE says, and the
# address randomisation that flag promises does not happen.
reloc_rva, reloc_size = number("BaseRelocationTableRVA"), number("BaseRelocationTableSize")
if re.search(r"^\s+IMAGE_FILE_RELOCS_STRIPPED \(", headers, re.M):
    failures.append("RELOCS_STRIPPED is set: the image cannot be moved")
if not reloc_rva or not reloc_size:
    failures.append("no base relocation table: the image cannot be moved")
elif not any(s[0] == ".reloc" and s[1] <= reloc_rva and reloc_rva + reloc_size <= s[1] + s[2]
             for s in sections):
    failures.append(f"no .reloc section holds the base relocation table "
                    f"({reloc_rva:#x}, {reloc_size:#x} bytes)")
else:
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
    dir64 = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]
    if not any(entry.type == dir64 for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
               for entry in block.entries):
        failures.append("the base relocation table holds no 64-bit address relocations")

# --- The checksum is set and right: signing tools compute it too, and a
# signature removed gives back the built bytes only if it was. Computed here
# by pefile, not by the build's own set_pe_checksum.py, which it checks.
if number("CheckSum") != pe.generate_checksum():
    failures.append(f"checksum {number('CheckSum'):#x}, "
                    f"pefile computes {pe.generate_checksum():#x}")

# --- Stack checks in the program's own code, read from the PDB. LLVM marks
# a function that carries the stack protector's check with CodeView's
# "secure checks" frame flag, and one built without the protector
# (-fno-stack-protector, or no_stack_protector on the function) with "safe
# buffers". -fstack-protector-strong checks every function that keeps an
# array on its stack: such a function without the flag was built without it.
# Only the guard's own code opts out, and each of the program's libraries has
# checked functions.
OWN_LIBRARIES = {  # name: the archive its modules come from, as lld records it
    "vek_core": r"[\\/]libvek_core\.a",
    "vek_platform": r"[\\/]libvek_platform\.a",
    "the entry (main.cpp, terminate_handler.cpp)":
        r"[\\/]vek-system-service-setup\.dir[\\/]objects\.a",
}


def stack_checks(modules_text, types_text, symbols_text):
    """The failures, and how many functions carry the check in each library."""
    library_of = {}  # module number: (module number, library, module name)
    for m in re.finditer(r"Mod (\d+) \| `([^`]*)`:\s*\n\s*Obj: `([^`]*)`", modules_text):
        for library, archive in OWN_LIBRARIES.items():
            if re.search(archive + "$", m.group(3)):
                library_of[int(m.group(1))] = (int(m.group(1)), library, m.group(2))
    arrays = {int(i, 16) for i in re.findall(r"^\s*0x([0-9A-F]+) \| LF_ARRAY ", types_text, re.M)}
    for m in re.finditer(r"^\s*0x([0-9A-F]+) \| LF_MODIFIER .*\n\s*referent = 0x([0-9A-F]+)",
                         types_text, re.M):
        if int(m.group(2), 16) in arrays:
            arrays.add(int(m.group(1), 16))

    checked = collections.Counter({library: 0 for library in OWN_LIBRARIES})
    found = []
    module = function = array = None
    # One record per match: a module's heading, or a symbol with its lines.
    for record in re.split(r"\n(?=\s*Mod \d+ \||\s*\d+ \| S_)", symbols_text):
        m = re.match(r"\s*Mod (\d+) \|", record)
        if m:
            module = library_of.get(int(m.group(1)))
            function = None
            continue
        if module is None:
            continue
        kind = re.match(r"\s*\d+ \| (S_\w+)", record)
        kind = kind.group(1) if kind else ""
        if kind in ("S_GPROC32", "S_LPROC32", "S_GPROC32_ID", "S_LPROC32_ID"):
            function = {"name": re.search(r"`(.*)`", record).group(1), "flags": "", "arrays": []}
            found.append((module, function))
        elif kind == "S_FRAMEPROC" and function and not function["flags"]:
            function["flags"] = re.search(r"flags = (.*)", record).group(1)
        # An array local of the function or of one inlined into it, and
        # where it lives: only one on the stack needs the check.
        if kind == "S_LOCAL" and function:
            m = re.search(r"`(.*)`\s*type=0x([0-9A-F]+)", record)
            is_array = m and int(m.group(2), 16) in arrays and "param" not in record
            array = m.group(1) if is_array else None
        elif array and (kind.startswith("S_DEFRANGE_FRAMEPOINTER_REL") or
                        kind == "S_DEFRANGE_REGISTER_REL" and
                        re.search(r"register = (RSP|RBP)", record)):
            function["arrays"].append(array)
            array = None
        elif not kind.startswith("S_DEFRANGE"):
            array = None

    # The guard's own code, in the module that defines __stack_chk_fail, runs
    # before the guard is set or once it has failed: it alone opts out.
    guard_module = next((module for module, function in found
                         if function["name"] == "__stack_chk_fail"), None)
    failures = []
    opted_out = collections.defaultdict(list)
    for module, function in found:
        _, library, module_name = module
        flags = function["flags"].split(" | ")
        if "secure checks" in flags:
            checked[library] += 1
        elif function["arrays"]:
            failures.append(f"{module_name} ({library}): {function['name']} keeps "
                            f"{', '.join(sorted(set(function['arrays'])))} on the stack without "
                            "the stack check: built without -fstack-protector-strong?")
        if "safe buffers" in flags and module != guard_module:
            opted_out[module].append(function["name"])
    for (_, library, module_name), names in opted_out.items():
        failures.append(f"{module_name} ({library}): {len(names)} function(s) built without "
                        f"the stack protector (-fno-stack-protector or no_stack_protector), "
                        f"such as {names[0]}")
    for library in OWN_LIBRARIES:
        if not any(lib == library for _, lib, _ in library_of.values()):
            failures.append(f"the PDB has no modules of {library}")
        elif not checked[library]:
            failures.append(f"{library}: no function carries the stack check: "
                            "built without -fstack-protector-strong?")
    return failures, checked


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
    stack_failures, checked = stack_checks(run(pdbutil, "dump", "--modules", pdb),
                                           run(pdbutil, "dump", "--types", pdb),
                                           run(pdbutil, "dump", "--symbols", pdb))
    failures += stack_failures
    print("functions with the stack check:",
          ", ".join(f"{library} {count}" for library, count in checked.items()))

# --- Manifest and version information.
def embedded_manifests():
    """The RT_MANIFEST resources: {resource id: bytes}."""
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    manifests = {}
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else []:
        if kind.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                manifests[entry.id] = pe.get_data(language.data.struct.OffsetToData,
                                                  language.data.struct.Size)
    return manifests


# The loader reads an executable's manifest from resource 1 alone, and the
# manifest's own elements by their namespaces.
ASM_V1, ASM_V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
manifests = embedded_manifests()
if list(manifests) != [1]:
    failures.append(f"manifest resources {sorted(manifests, key=str)}, not resource 1 alone")
try:
    manifest = ElementTree.fromstring(manifests.get(1, b""))
except ElementTree.ParseError as error:
    failures.append(f"manifest is not well-formed XML: {error}")
    manifest = ElementTree.Element(ASM_V1 + "assembly")
if manifest.tag != ASM_V1 + "assembly":
    failures.append(f"manifest's root is {manifest.tag}, not assembly in {ASM_V1}")
# asInvoker, without UI access: a caller without administrator rights must get
# the manager's own refusal and exit code 1, not an elevation prompt or error
# 740. uiAccess="true" asks to drive other programs' windows past their
# rights, which Windows grants only to a signed program in a protected folder.
levels = manifest.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                          f"{ASM_V3}requestedExecutionLevel")
all_levels = list(manifest.iter(ASM_V3 + "requestedExecutionLevel"))
if len(levels) != 1 or len(all_levels) != 1:
    failures.append(f"manifest has {len(all_levels)} requestedExecutionLevel elements, "
                    f"{len(levels)} under trustInfo/security/requestedPrivileges: not one")
elif levels[0].attrib != {"level": "asInvoker", "uiAccess": "false"}:
    failures.append(f"manifest asks for {levels[0].attrib}, "
                    "not level=\"asInvoker\" uiAccess=\"false\"")
supported = [entry.get("Id") for entry in manifest.iterfind(
    f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS")]
if "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" not in supported:
    failures.append(f"manifest does not declare Windows 10 and 11 as supported: {supported}")
long_paths = manifest.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings/"
                              f"{WINDOWS_SETTINGS}longPathAware")
if [element.text for element in long_paths] != ["true"]:
    failures.append("manifest does not declare longPathAware true")


def utf16(text):
    return text.encode("utf-16-le")


for key, value in (("ProductName", "Vek System Service"),
                   ("FileDescription", "Vek System Service installer"),
                   ("FileVersion", version)):
    if utf16(key) not in data or utf16(value) not in data:
        failures.append(f"version information lacks {key} {value!r}")

# --- The Windows Installer package: one, for 64-bit Windows, holding this
# installer (not an older build of it) and a service program; named "sample"
# exactly when that program is the sample service, so that a package of the
# sample is never taken for a release. Its built tables are read for what
# Wine's msi cannot show: that the engine stops the service before replacing
# its program and waits, that the old version goes only after the new one is
# in place, that the rollback deletes only a registration the install made,
# and that nothing runs through a shell or as an EXE custom action.
def table(package, name):
    """A table's rows as dicts; [] for a table the package lacks."""
    lines = run("msiinfo", "export", package, name).split("\n") if name in run(
        "msiinfo", "tables", package).split() else []
    columns = lines[0].split("\t") if lines else []
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def package_failures(package, installer):
    """What is wrong with `package` (a path), which must hold `installer`
    (bytes)."""
    found = []
    name = os.path.basename(package)
    summary = run("msiinfo", "suminfo", package)
    if not re.search(r"^Template: x64;1033$", summary, re.M):
        found.append(f"{name} is not a package for 64-bit Windows:\n{summary}")
    code = re.search(r"^Revision number \(UUID\): (\S+)", summary, re.M)
    derived = build_msi.package_code(upgrade_code, build_msi.package_digest(package))
    if not code or code.group(1) != derived:
        found.append(f"{name}'s package code is not derived from what it holds ({derived})")
    conditions = [row["Condition"] for row in table(package, "LaunchCondition")]
    if "VersionNT64" not in conditions:
        found.append(f"{name} has no launch condition VersionNT64: {conditions}")
    properties = {row["Property"]: row["Value"] for row in table(package, "Property")}
    if "REINSTALLMODE" in properties:
        found.append(f"{name} sets REINSTALLMODE {properties['REINSTALLMODE']}")
    features = [row["Attributes"] for row in table(package, "Feature")]
    if features != ["8"]:
        found.append(f"{name}'s feature can be advertised (Attributes {features}, not 8)")

    actions = {row["Action"]: row for row in table(package, "CustomAction")}
    for action, row in actions.items():
        kind = int(row["Type"])
        # EXE (2, 18, 34, 50) and script actions (5, 6, 21, 22, 37, 38, 53, 54).
        if kind & 0x3F in (2, 5, 6, 18, 21, 22, 34, 37, 38, 50, 53, 54):
            found.append(f"{name}: {action} is an EXE or script custom action (type {kind})")
        if kind & 0x800 and not kind & 0x400:
            found.append(f"{name}: {action} (type {kind}) is not impersonated but not in the script")
        if kind != 19 and re.search(r"cmd(\.exe)?\b|\bsc(\.exe)?\b|powershell|wscript|cscript|rundll32",
                     row["Source"] + " " + row["Target"], re.I):
            found.append(f"{name}: {action} names a shell or a tool: {row['Source']} {row['Target']}")
    for action, kind in (("RegisterService", 3073), ("UndoRegistration", 3393),
                         ("RefuseForeignRegistration", 19), ("SetInstallLocation", 51)):
        if int(actions.get(action, {}).get("Type", -1)) != kind:
            found.append(f"{name}: {action} is not of type {kind}: {actions.get(action)}")
    if actions.get("SetInstallLocation", {}).get("Source") != "ARPINSTALLLOCATION":
        found.append(f"{name} does not set ARPINSTALLLOCATION")

    sequence = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}
    number = {action: int(row["Sequence"]) for action, row in sequence.items()}
    if not number.get("InstallExecute", 0) < number.get("RemoveExistingProducts", -1) < \
            number.get("InstallFinalize", 0):
        found.append(f"{name}: RemoveExistingProducts is not between InstallExecute and "
                     f"InstallFinalize: {number.get('RemoveExistingProducts')}")
    undo = sequence.get("UndoRegistration", {})
    if "NOT VEKREGISTEREDIMAGE" not in undo.get("Condition", "") or \
            not number.get("UndoRegistration", 0) < number.get("RegisterService", -1):
        found.append(f"{name}: the rollback is not limited to a registration the install made, "
                     f"before the registration: {undo}")
    refuse = sequence.get("RefuseForeignRegistration", {}).get("Condition", "")
    if "Installed" in refuse or "NOT REINSTALL" not in refuse or "$Service=3" not in refuse or \
            not number.get("CostFinalize", 0) < number.get("RefuseForeignRegistration", -1):
        found.append(f"{name}: the foreign registration is not judged by what is done: {refuse}")

    controls = table(package, "ServiceControl")
    # Stop on install (2) and on uninstall (32), delete on uninstall (128),
    # waiting for each.
    if [(int(row["Event"]) & 0xA2, row["Wait"]) for row in controls] != [(0xA2, "1")]:
        found.append(f"{name}: the service is not stopped on install and uninstall and deleted "
                     f"on uninstall, each waited for: {controls}")

    with tempfile.TemporaryDirectory() as unpacked:
        run("msiextract", "-C", unpacked, package)
        packed = os.path.join(unpacked, "Vek System Service")
        if open(os.path.join(packed, exe_name), "rb").read() != installer:
            found.append(f"{name} holds another {exe_name} than {dist}")
        service_path = os.path.join(packed, "vek-system-service.exe")
        files = {row["File"]: row for row in table(package, "File")}
        hashed = {row["File_"] for row in table(package, "MsiFileHash")}
        for key, path in (("SetupProgram", os.path.join(packed, exe_name)),
                          ("ServiceProgram", service_path)):
            versioned = build_msi.file_version(path)
            row = files.get(key, {})
            if versioned and ((row.get("Version"), row.get("Language")) != versioned or
                              key in hashed):
                found.append(f"{name}: {key} is not compared by its version {versioned}: "
                             f"{row}, hashed: {key in hashed}")
        sample = open(service_path, "rb").read() == open(sample_service, "rb").read()
    expected_name = f"vek-system-service-{'sample-' if sample else ''}{package_version}.msi"
    if name != expected_name:
        found.append(f"{name} should be named {expected_name}")
    return found


def custom_action_failures(package):
    """The custom action DLL in the Binary table: system DLLs only, and the
    program's hardening flags."""
    found = []
    with tempfile.TemporaryDirectory() as folder:
        dll = os.path.join(folder, "action.dll")
        with open(dll, "wb") as out:
            out.write(subprocess.run(["msiinfo", "extract", package, "Binary.VekCustomAction"],
                                     check=True, capture_output=True).stdout)
        dll_headers = run(readobj, "--file-headers", "--coff-debug-directory", dll)
        dlls = set(imports_of(run(readobj, "--coff-imports", dll)))
    if not dlls or dlls - {"advapi32.dll", "kernel32.dll", "msi.dll", "msvcrt.dll"}:
        found.append(f"the custom action imports {sorted(dlls)}")
    for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT", "EX_CET_COMPAT"):
        if f"IMAGE_DLL_CHARACTERISTICS_{flag}" not in dll_headers:
            found.append(f"the custom action lacks {flag}")
    return found


sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "cmake"))
import build_msi  # noqa: E402

upgrade_code = re.search(r'UpgradeCode="([0-9A-F-]{36})"', open(os.path.join(
    os.path.dirname(__file__), "..", "..", "deploy", "vek-system-service.wxs")).read()).group(1)
packages = sorted(name for name in os.listdir(dist) if name.endswith(".msi"))
package_name = f"vek-system-service-{package_version}.msi"
if len(packages) != 1:
    failures.append(f"{dist} holds the packages {packages}, not one")
else:
    package_name = packages[0]
    package = os.path.join(dist, package_name)
    failures += package_failures(package, data) + custom_action_failures(package)

    # Each fault the check is there for, made in a copy of the package: each
    # must be found.
    faults = [
        ("a package for 32-bit Windows", ["-s", "x", "Vek", "Intel;1033", "{%s}" % uuid4()],
         "not a package for 64-bit Windows"),
        ("another package code", ["-s", "Vek System Service", "Vek", "x64;1033",
                                  "{%s}" % uuid4()], "package code is not derived"),
        ("the 64-bit condition weakened",
         ["-q", "DELETE FROM `LaunchCondition` WHERE `Condition` = 'VersionNT64'",
          "-q", "INSERT INTO `LaunchCondition` (`Condition`, `Description`) "
                "VALUES ('VersionNT', '64-bit only')"], "no launch condition VersionNT64"),
        ("REINSTALLMODE", ["-q", "INSERT INTO `Property` (`Property`, `Value`) "
                                 "VALUES ('REINSTALLMODE', 'emus')"], "sets REINSTALLMODE"),
        ("advertising allowed", ["-q", "UPDATE `Feature` SET `Attributes` = 0"],
         "can be advertised"),
        ("an EXE action", ["-q", "UPDATE `CustomAction` SET `Type` = 3122 "
                                 "WHERE `Action` = 'RegisterService'"], "EXE or script"),
        ("a property set as not impersonated", ["-q", "UPDATE `CustomAction` SET `Type` = 2099 "
                                                      "WHERE `Action` = 'SetInstallLocation'"],
         "not impersonated but not in the script"),
        ("a shell named", ["-q", "UPDATE `CustomAction` SET `Target` = '[System64Folder]cmd.exe' "
                                 "WHERE `Action` = 'SetRegisterServiceData'"], "names a shell"),
        ("the old version removed first",
         ["-q", "UPDATE `InstallExecuteSequence` SET `Sequence` = 1450 "
                "WHERE `Action` = 'RemoveExistingProducts'"], "RemoveExistingProducts is not"),
        ("a rollback of any registration",
         ["-q", "UPDATE `InstallExecuteSequence` SET `Condition` = '$Service=3' "
                "WHERE `Action` = 'UndoRegistration'"], "rollback is not limited"),
        ("the refusal skipped when Installed",
         ["-q", "UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT Installed AND "
                "VEKREGISTEREDIMAGE' WHERE `Action` = 'RefuseForeignRegistration'"],
         "not judged by what is done"),
        ("no stop on install", ["-q", "UPDATE `ServiceControl` SET `Event` = 160"],
         "not stopped on install"),
        ("no wait", ["-q", "UPDATE `ServiceControl` SET `Wait` = 0"], "not stopped on install"),
        ("no file version", ["-q", "UPDATE `File` SET `Version` = '' "
                                   "WHERE `File` = 'SetupProgram'"], "compared by its version"),
        ("another installer", None, "holds another"),
    ]
    with tempfile.TemporaryDirectory() as work:
        for fault, arguments, expected in faults:
            copy = os.path.join(work, package_name)
            with open(copy, "wb") as out:
                out.write(open(package, "rb").read())
            if arguments:
                run("msibuild", copy, *arguments)
            found = package_failures(copy, data if arguments else data + b"changed")
            if not any(expected in text for text in found):
                failures.append(f"the package check misses {fault}: it found {found}")

# --- SHA256SUMS lists exactly the shipped files, with their hashes.
sums_path = os.path.join(dist, "SHA256SUMS")
shipped = (exe_name, pdb_name, "vek-custom-action.pdb", package_name)
for name in shipped:
    if not os.path.exists(os.path.join(dist, name)):
        failures.append(f"{name} is missing from {dist}")
expected = {name: hashlib.sha256(open(os.path.join(dist, name), "rb").read()).hexdigest()
            for name in shipped if os.path.exists(os.path.join(dist, name))}
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
