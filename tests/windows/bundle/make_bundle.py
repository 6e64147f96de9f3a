#!/usr/bin/env python3
"""Lays out the test bundle in a folder and packs that folder into a zip whose
bytes depend only on the files: entries in sorted order, one fixed time stamp,
fixed attributes, no extra fields. (CMake's own zip writer stores access and
change times, so two runs of it differ.)

Usage: make_bundle.py STRIP STAGE NAME ZIP ENTRY...
  STRIP  llvm-strip, for the programs marked to be stripped
  STAGE  the folder to lay the bundle out in (emptied first); the bundle is
         STAGE/NAME, and CTest runs the programs from there
  NAME   the bundle's top folder in the zip
  ZIP    the zip to write
  ENTRY  DEST=SOURCE copies SOURCE to DEST (a path below the bundle);
         DEST=SOURCE:strip copies it without its symbols and debug sections.
         A .cmd file is written with CR LF line ends.
The bundle also gets its marker file and tests/test-programs.txt, the names of
the test programs (every tests/NAME_test.exe entry) that the runner runs:
one missing from the folder it was unpacked to is then a failure, not a
program fewer."""
import os
import shutil
import subprocess
import sys
import zipfile

# The earliest time a zip can hold; any fixed time would do.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)
MARKER = "vek-tests.marker"
MARKER_TEXT = (
    "This folder is a test bundle of vek-system-service-setup.\r\n"
    "run-tests.cmd removes a service or folder that a run of these tests left behind\r\n"
    "only where it finds this file.\r\n")


def main(strip, stage, name, zip_path, entries):
    root = os.path.join(stage, name)
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(root)
    for entry in entries:
        dest, source = entry.split("=", 1)
        stripped = source.endswith(":strip")
        if stripped:
            source = source[:-len(":strip")]
        target = os.path.join(root, dest)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if stripped:
            subprocess.run([strip, "--strip-all", "-o", target, source], check=True)
        elif dest.endswith(".cmd"):
            text = open(source, "rb").read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            open(target, "wb").write(text)
        else:
            shutil.copyfile(source, target)
    with open(os.path.join(root, MARKER), "w", newline="") as marker:
        marker.write(MARKER_TEXT)
    programs = sorted(
        dest[len("tests/"):-len(".exe")] for dest in (e.split("=", 1)[0] for e in entries)
        if dest.startswith("tests/") and dest.endswith("_test.exe") and dest.count("/") == 1)
    with open(os.path.join(root, "tests", "test-programs.txt"), "w", newline="") as listing:
        listing.write("".join(name + "\r\n" for name in programs))

    files = []
    for folder, _, names in os.walk(root):
        for file_name in names:
            full = os.path.join(folder, file_name)
            files.append(os.path.relpath(full, stage).replace(os.sep, "/"))
    partial = zip_path + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for arcname in sorted(files):
            info = zipfile.ZipInfo(arcname, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes, as Windows' own zips
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            with open(os.path.join(stage, arcname), "rb") as data:
                archive.writestr(info, data.read(), compresslevel=9)
    os.replace(partial, zip_path)


if __name__ == "__main__":
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
