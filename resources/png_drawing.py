"""Draws antialiased RGBA pictures as PNG bytes, with the standard library only.

A picture is a colour function on the unit square: colour_at(x, y) -> (r, g, b, a), with x and
y from 0 to 1. Every pixel is sampled on a SUB x SUB grid and the premultiplied samples are
averaged, so edges fade into alpha at any size.
"""

import struct
import zlib

SUB = 8  # samples per pixel along each axis
TRANSPARENT = (0, 0, 0, 0)


def pixel(colour_at, size, px, py):
    r = g = b = a = 0.0
    for sy in range(SUB):
        for sx in range(SUB):
            cr, cg, cb, ca = colour_at((px + (sx + 0.5) / SUB) / size,
                                       (py + (sy + 0.5) / SUB) / size)
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


def png(colour_at, size):
    rows = b"".join(b"\x00" + b"".join(pixel(colour_at, size, x, y) for x in range(size))
                    for y in range(size))
    # Width, height, 8 bits per channel, colour type 6 (RGBA), deflate, no filter, no interlace.
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
