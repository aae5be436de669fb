#!/usr/bin/env python3
"""Draws the installer's icon (a white arrow pointing down into a tray, on a blue tile) and
writes it as a Windows .ico with 16x16 and 32x32 images, 32 bits per pixel with alpha.

Usage: python3 app/res/make_icon.py app/res/qzpupdate.ico
"""
import struct
import sys

BLUE = (0x1F, 0x5F, 0xBF, 0xFF)
EDGE = (0x10, 0x3A, 0x80, 0xFF)
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    """Colour of pixel (x, y), y downwards, for an icon of `size` pixels, drawn on a 32 grid."""
    u = (x + 0.5) * 32.0 / size
    v = (y + 0.5) * 32.0 / size
    # Tile with cut corners.
    if u < 1 or v < 1 or u > 31 or v > 31 or min(u, 32 - u) + min(v, 32 - v) < 5:
        return CLEAR
    if u < 2.5 or v < 2.5 or u > 29.5 or v > 29.5:
        return EDGE
    # Arrow: shaft from the top, head ending above the tray.
    if 13 <= u <= 19 and 5 <= v <= 15:
        return WHITE
    if 15 <= v <= 22 and abs(u - 16) <= (22 - v) * 1.2:
        return WHITE
    # Tray: bottom bar and two short sides.
    if 24 <= v <= 27 and 7 <= u <= 25:
        return WHITE
    if 19 <= v <= 27 and (7 <= u <= 10 or 22 <= u <= 25):
        return WHITE
    return BLUE


def image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        row = bytearray()
        mask = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            row += bytes((b, g, r, a))
            if a == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    return header + b"".join(rows) + b"".join(mask_rows)


def icon(sizes):
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon([32, 16]))
