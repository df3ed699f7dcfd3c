#!/usr/bin/env python3
"""Writes the page-border pictures of the report page header: BITMAP_0.png (portrait) and
BITMAP_0_landscape.png, 1-bit, 4 pixels per point.

Each is drawn for the place the reports put it (portrait: 60 pt left of the left margin,
550 x 800 pt; landscape: 30 pt left, 800 x 550 pt; both 20 pt above the header line) so
that its two frame lines run round the text area with the same gap on every side: the
inner line 8 pt clear of the text (tables' borders included), the outer one 13 pt.
Run once; the output is checked in next to this script.
"""
import struct
import sys
import zlib

SCALE = 4  # pixels per point
# A4 and the margins in points, as the document writer sets them (twips / 20).
PAGE_W, PAGE_H = 11906 / 20, 16838 / 20
MARGIN_L, MARGIN_R, MARGIN_T, MARGIN_B = 1701 / 20, 850 / 20, 1134 / 20, 1134 / 20
HEADER = 709 / 20
INNER_GAP, INNER_THICK = 8.0, 1.0
OUTER_GAP, OUTER_THICK = 13.0, 2.5


def picture(landscape):
    page_w, page_h = (PAGE_H, PAGE_W) if landscape else (PAGE_W, PAGE_H)
    left, top, width, height = (-30, -20, 800, 550) if landscape else (-60, -20, 550, 800)
    pic_x, pic_y = MARGIN_L + left, HEADER + top
    text = (MARGIN_L, MARGIN_T, page_w - MARGIN_R, page_h - MARGIN_B)
    w, h = width * SCALE, height * SCALE
    rows = [bytearray(b"\xff" * ((w + 7) // 8)) for _ in range(h)]

    def px(v, origin):
        return int(round((v - origin) * SCALE))

    def fill(x0, y0, x1, y1):  # page points; black
        for y in range(max(px(y0, pic_y), 0), min(px(y1, pic_y), h)):
            row = rows[y]
            for x in range(max(px(x0, pic_x), 0), min(px(x1, pic_x), w)):
                row[x // 8] &= ~(0x80 >> (x % 8)) & 0xFF

    for gap, thick in ((INNER_GAP, INNER_THICK), (OUTER_GAP, OUTER_THICK)):
        l, t, r, b = text[0] - gap - thick, text[1] - gap - thick, text[2] + gap + thick, text[3] + gap + thick
        fill(l, t, r, t + thick)
        fill(l, b - thick, r, b)
        fill(l, t, l + thick, b)
        fill(r - thick, t, r, b)
    raw = b"".join(b"\x00" + bytes(r) for r in rows)

    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 1, 0, 0, 0, 0))
    return png + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


folder = sys.argv[1] if len(sys.argv) > 1 else "."
for name, landscape in (("BITMAP_0.png", False), ("BITMAP_0_landscape.png", True)):
    with open(f"{folder}/{name}", "wb") as f:
        f.write(picture(landscape))
