#!/usr/bin/env python3
"""Makes the upgrade test's newer program from a built one: its file version
one higher (the third number, in the version resource's VS_FIXEDFILEINFO,
which Windows Installer compares) and TAIL appended (which Windows ignores),
so that the test can tell which program an upgrade left.

Usage: newer_program.py TAIL INPUT OUTPUT"""
import struct
import sys

tail, source, target = sys.argv[1:]
data = bytearray(open(source, "rb").read())
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit(f"newer_program.py: {source} has no version resource")
# dwFileVersionLS: the third number in its high half.
(low,) = struct.unpack_from("<I", data, at + 12)
struct.pack_into("<I", data, at + 12, low + 0x10000)
open(target, "wb").write(bytes(data) + tail.encode())
