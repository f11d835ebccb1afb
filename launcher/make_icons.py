#!/usr/bin/python3
"""Draws the launcher's two icon groups: a rounded tile with a pen nib, in
16, 24, 32, 48, 64, 96 and 128 pixels at 32 bits per pixel (BGRA with
alpha), written as .ico files for the resource compiler.
Usage: make_icons.py <large.ico> <small.ico>"""
import math
import struct
import sys

SIZES = (16, 24, 32, 48, 64, 96, 128)


def coverage(x, y, s, radius):
    """Fraction of the pixel inside a rounded square of side s."""
    inside = 0
    for sx in (0.25, 0.75):
        for sy in (0.25, 0.75):
            px, py = x + sx, y + sy
            cx = min(max(px, radius), s - radius)
            cy = min(max(py, radius), s - radius)
            inside += math.hypot(px - cx, py - cy) <= radius
    return inside / 4


def pixel(x, y, s, tile):
    a = coverage(x, y, s, s * 0.2)
    if a == 0:
        return (0, 0, 0, 0)
    u, v = (x + 0.5) / s, (y + 0.5) / s  # y grows downwards here
    # The nib: a white diagonal band from top right to bottom left.
    if abs((u + v) - 1.0) < 0.11 and 0.18 < u < 0.82:
        r, g, b = 250, 250, 250
    else:
        shade = 0.75 + 0.25 * (1 - v)
        r, g, b = (int(c * shade) for c in tile)
    return (b, g, r, int(255 * a))


def image(s, tile):
    rows = []
    for y in reversed(range(s)):  # bottom-up rows
        rows.append(b"".join(struct.pack("4B", *pixel(x, y, s, tile)) for x in range(s)))
    mask_row = ((s + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + b"\0" * (mask_row * s)


def write_ico(path, tile):
    images = [image(s, tile) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    write_ico(sys.argv[1], (30, 90, 170))
    write_ico(sys.argv[2], (20, 120, 90))
