#!/usr/bin/env python3
"""Builds the Windows Installer package from deploy/vek-system-service.wxs
with msitools' wixl, the same bytes from the same inputs, and mends in the
built tables what wixl 0.101 cannot write.

Usage: build_msi.py WXS VERSION PRODUCT_CODE SERVICE_NAME DISPLAY_NAME SETUP SERVICE ACTION WORK OUTPUT
  WXS           the WiX source
  VERSION       the package's version (three numbers)
  PRODUCT_CODE  its product code, {GUID}
  SERVICE_NAME  the service's key name, DISPLAY_NAME its display name (the
                installer program's own, read from its source by the build)
  SETUP         vek-system-service-setup.exe to pack
  SERVICE       the service program to pack as SERVICE_NAME.exe
  ACTION        the custom action DLL to pack in the Binary table
  WORK          a folder of this package's own, for the staged files
  OUTPUT        the package to write

Reproducible: wixl stamps the current time into the summary information and
the cabinet keeps each packed file's time, so both are fixed (faketime
around wixl and msibuild, and the staged copies' times); and the package
code, which wixl draws at random, is derived from what the finished package
holds (package_code below), so that two different packages never share
one."""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

# Any fixed time would do; the summary information and the cabinet show it.
FIXED_TIME = "2000-01-01 00:00:00"
FIXED_EPOCH = 946684800
# The package code that the digest is taken under, replaced after.
PLACEHOLDER_CODE = "{00000000-0000-0000-0000-000000000000}"
FROZEN = ["faketime", "-f", FIXED_TIME]


def run(command, cwd=None, text=True):
    """Runs `command` and gives its output; ends this script with it when it
    fails (wixl's warnings are noise otherwise)."""
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=text)
    if result.returncode != 0:
        sys.exit(f"build_msi.py: {' '.join(command)} failed (exit code {result.returncode}):\n"
                 f"{result.stdout}{result.stderr}")
    return result.stdout


def file_version(path):
    """A program's version resource as the File table takes it: ("a.b.c.d",
    "language"), from VS_FIXEDFILEINFO and the first Translation entry; None
    for a file without one (Windows Installer then compares hashes)."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    version = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    key = "Translation\0".encode("utf-16-le")
    language = "0"
    translation = data.find(key, at)
    if translation >= 0:
        value = translation + len(key)
        value += -value % 4  # a value starts on a 32-bit boundary
        language = str(struct.unpack_from("<H", data, value)[0])
    return version, language


def package_digest(package):
    """SHA-256 over what a package holds: every table, every stream (the
    cabinet, the Binary table's DLL) and the summary information but its
    package code."""
    digest = hashlib.sha256()

    def part(name, content):
        digest.update(hashlib.sha256(name.encode() + b"\0").digest())
        digest.update(hashlib.sha256(content).digest())

    # The summary information is a stream and a table too: taken below, as
    # text without the package code.
    for table in sorted(set(run(["msiinfo", "tables", package]).split()) -
                        {"_SummaryInformation"}):
        part("table " + table, run(["msiinfo", "export", package, table], text=False))
    for stream in sorted(name for name in run(["msiinfo", "streams", package]).split()
                         if not name.endswith("SummaryInformation")):
        part("stream " + stream, run(["msiinfo", "extract", package, stream], text=False))
    summary = run(["msiinfo", "suminfo", package])
    part("summary", re.sub(r"^Revision number.*\n", "", summary, flags=re.M).encode())
    return digest.hexdigest()


def package_code(upgrade_code, digest):
    """The package code of a package whose content has `digest`."""
    return "{%s}" % str(uuid.uuid5(uuid.UUID(upgrade_code), digest)).upper()


def set_summary(package, display_name, code):
    run(FROZEN + ["msibuild", package, "-s", display_name, "Vek", "x64;1033", code])


def main(wxs, version, product_code, service_name, display_name, setup, service, action, work,
         output):
    upgrade_code = re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', open(wxs).read()).group(1)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    staged = {}
    for key, name, source in (("SetupProgram", "vek-system-service-setup.exe", setup),
                              ("ServiceProgram", f"{service_name}.exe", service),
                              ("CustomAction", "vek-custom-action.dll", action)):
        staged[key] = os.path.join(work, name)
        shutil.copyfile(source, staged[key])
        os.utime(staged[key], (FIXED_EPOCH, FIXED_EPOCH))

    partial = output + ".part"
    if os.path.exists(partial):
        os.remove(partial)
    # wixl takes a packed file's Source relative to the current folder
    # only (an absolute one is not found).
    defines = {"Version": version, "ProductCode": product_code.strip("{}"),
               "ServiceName": service_name, "DisplayName": display_name,
               **{key: os.path.basename(path) for key, path in staged.items()}}
    run(FROZEN + ["wixl", "--arch", "x64", "--output", os.path.abspath(partial)] +
        [argument for key, value in defines.items() for argument in ("--define", f"{key}={value}")] +
        [os.path.abspath(wxs)], cwd=work)

    # What wixl 0.101 leaves out or gets wrong:
    # - a rollback action is written without its rollback flag: 1 (a DLL in
    #   the Binary table) + 64 (its return ignored) + 256 (rollback) + 1024
    #   (in the script) + 2048 (not impersonated);
    # - an error action cannot be written at all: it is authored as a
    #   property-setting one and becomes 19 (its Target is the message);
    # - a property-setting action gets the not-impersonated bit, which only
    #   an action in the script may carry: 51 alone;
    # - AllowAdvertise="no" is dropped: Feature Attributes 8, so that the
    #   product cannot be advertised (Group Policy installs it whole);
    # - the File table has no Version or Language, and a hash row for every
    #   file: a versioned program is compared by its version resource, as
    #   Windows Installer's file-versioning rules ask, and has no hash row;
    # - no row in the Error table for the custom action's report of a failed installer
    #   program, error 25000 (custom_action/registration.h), its fields the
    #   exit code and the report, so that the event log carries it too.
    queries = [
        "UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'UndoRegistration'",
        "UPDATE `CustomAction` SET `Type` = 19, `Source` = '' "
        "WHERE `Action` = 'RefuseForeignRegistration'",
        "UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099",
        "UPDATE `Feature` SET `Attributes` = 8",
        "INSERT INTO `Error` (`Error`, `Message`) VALUES (25000, 'vek-system-service-setup.exe "
        f"could not register or start the service {service_name} ([2]): [3]')",
    ]
    for key in ("SetupProgram", "ServiceProgram"):
        versioned = file_version(staged[key])
        if versioned:
            queries += [f"UPDATE `File` SET `Version` = '{versioned[0]}', "
                        f"`Language` = '{versioned[1]}' WHERE `File` = '{key}'",
                        f"DELETE FROM `MsiFileHash` WHERE `File_` = '{key}'"]
    command = FROZEN + ["msibuild", partial]
    for query in queries:
        command += ["-q", query]
    run(command)
    set_summary(partial, display_name, PLACEHOLDER_CODE)
    set_summary(partial, display_name, package_code(upgrade_code, package_digest(partial)))
    os.replace(partial, output)


if __name__ == "__main__":
    if len(sys.argv) != 11:
        sys.exit(__doc__)
    main(*sys.argv[1:])
