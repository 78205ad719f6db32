#!/usr/bin/env python3
"""Draws the program's logo, trovanexlogo.png: a 50 x 50 RGBA picture of a blue rounded square
with a white arrow pointing down into an orange tray.

Only the standard library is used. Edges are antialiased by sampling every pixel on a grid of
SUB x SUB points and averaging the premultiplied colours, so the corners fade into alpha.

Usage: make_logo.py [output path]   (default: trovanexlogo.png beside this script)
"""

import os
import struct
import sys
import zlib

SIZE = 50
SUB = 8  # samples per pixel along each axis

TRANSPARENT = (0, 0, 0, 0)
BLUE = (30, 90, 168, 255)
WHITE = (255, 255, 255, 255)
ORANGE = (245, 150, 30, 255)


def in_rounded_square(x, y, left, top, right, bottom, radius):
    # Distance to the inner rectangle whose corners are the centres of the rounding circles.
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_rect(x, y, left, top, right, bottom):
    return left <= x <= right and top <= y <= bottom


def in_arrow(x, y):
    shaft = in_rect(x, y, 21.0, 8.0, 29.0, 22.0)
    # Head: a triangle from (13, 21) to (37, 21) with its point at (25, 33).
    head = 21.0 <= y <= 33.0 and abs(x - 25.0) <= (33.0 - y)
    return shaft or head


def in_tray(x, y):
    floor = in_rect(x, y, 10.0, 37.0, 40.0, 41.0)
    left_wall = in_rect(x, y, 10.0, 29.0, 14.0, 41.0)
    right_wall = in_rect(x, y, 36.0, 29.0, 40.0, 41.0)
    return floor or left_wall or right_wall


def colour_at(x, y):
    if not in_rounded_square(x, y, 1.0, 1.0, 49.0, 49.0, 10.0):
        return TRANSPARENT
    if in_arrow(x, y):
        return WHITE
    if in_tray(x, y):
        return ORANGE
    return BLUE


def pixel(px, py):
    r = g = b = a = 0.0
    for sy in range(SUB):
        for sx in range(SUB):
            cr, cg, cb, ca = colour_at(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
            r += cr * ca
            g += cg * ca
            b += cb * ca
            a += ca
    if a == 0:
        return bytes(TRANSPARENT)
    # Back from premultiplied to straight alpha, as PNG stores it.
    return bytes((round(r / a), round(g / a), round(b / a), round(a / (SUB * SUB))))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png():
    rows = b"".join(b"\x00" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    # Width, height, 8 bits per channel, colour type 6 (RGBA), deflate, no filter, no interlace.
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "trovanexlogo.png")
    path = sys.argv[1] if len(sys.argv) > 1 else default
    with open(path, "wb") as out:
        out.write(png())


if __name__ == "__main__":
    main()
