#!/usr/bin/env python3
"""Sets the checksum in a PE file's optional header, as Microsoft's linker
does with /RELEASE. Stripping a linked program zeroes it; the image's bytes
must then match what osslsigncode gives back after removing a signature, and
Windows checks it for drivers and some system images.

Usage: set_pe_checksum.py FILE"""
import struct
import sys

path = sys.argv[1]
data = bytearray(open(path, "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[pe:pe + 4] != b"PE\0\0":
    sys.exit(f"{path}: not a PE file")
field = pe + 24 + 64  # CheckSum, in the optional header of PE32 and PE32+ alike
struct.pack_into("<I", data, field, 0)

# The one's-complement style sum of 16-bit words with the carries folded
# back in, then the file's length added.
padded = data + b"\0" * (len(data) % 2)
total = 0
for (word,) in struct.iter_unpack("<H", padded):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
total = (total & 0xFFFF) + (total >> 16)
struct.pack_into("<I", data, field, (total + len(data)) & 0xFFFFFFFF)
open(path, "wb").write(data)
