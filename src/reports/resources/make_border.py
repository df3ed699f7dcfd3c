#!/usr/bin/env python3
"""Writes BITMAP_0.png: a 1-bit page border (2405 x 3456) for the report page header.

Run once; the output is checked in next to this script.
"""
import struct
import sys
import zlib

W, H = 2405, 3456
ROW = (W + 7) // 8


def frame_row(y):
    bits = bytearray(ROW)
    # 1 = white in a grey-scale 1-bit PNG; start white, draw black lines by clearing bits.
    for i in range(ROW):
        bits[i] = 0xFF
    def clear(x):
        bits[x // 8] &= ~(0x80 >> (x % 8)) & 0xFF
    outer, inner, thick = 60, 90, 8
    for edge in (outer, inner):
        if edge <= y < edge + thick or H - edge - thick <= y < H - edge:
            for x in range(edge, W - edge):
                clear(x)
        elif edge <= y < H - edge:
            for x in list(range(edge, edge + thick)) + list(range(W - edge - thick, W - edge)):
                clear(x)
    return bytes(bits)


raw = b"".join(b"\x00" + frame_row(y) for y in range(H))


def chunk(kind, data):
    c = struct.pack(">I", len(data)) + kind + data
    return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 1, 0, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
with open(sys.argv[1] if len(sys.argv) > 1 else "BITMAP_0.png", "wb") as f:
    f.write(png)
