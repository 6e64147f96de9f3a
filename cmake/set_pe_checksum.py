#!/usr/bin/env python3
"""Sets the checksum in a PE file's optional header, as Microsoft's linker
does with /RELEASE. Stripping a linked program zeroes it; signing tools
compute it, so a signature removed gives back the built bytes only if it was
set, and Windows checks it for drivers and some system images.

Usage: set_pe_checksum.py FILE"""
import struct
import sys


def checksum_offset(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    return pe + 24 + 64  # CheckSum, in the optional header of PE32 and PE32+ alike


def pe_checksum(image):
    """The checksum the image should carry: the 16-bit words summed with the
    carries folded back in, the checksum field counted as zero, plus the
    file's length."""
    copy = bytearray(image)
    struct.pack_into("<I", copy, checksum_offset(copy), 0)
    copy += b"\0" * (len(copy) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", copy):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


if __name__ == "__main__":
    path = sys.argv[1]
    data = bytearray(open(path, "rb").read())
    try:
        struct.pack_into("<I", data, checksum_offset(data), pe_checksum(data))
    except ValueError as error:
        sys.exit(f"{path}: {error}")
    open(path, "wb").write(data)
