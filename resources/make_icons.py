#!/usr/bin/env python3
"""Draws the program's pictures: its logo, trovanexlogo.png (50 x 50, served by the proxy
itself and shown in the about box), and the desktop program's icons in icons/:

  trovanex.png      48 x 48, the program icon: a blue rounded square with a white arrow
                    pointing down into an orange tray (the logo's motif)
  tray_save_on.png  16 x 16, the tray picture while saving is on: the same motif
  tray_save_off.png 16 x 16, the tray picture while saving is off: the motif in greys,
                    crossed by a red bar
  hicolor/NxN/trovanex.png  the program icon at the sizes desktops ask the icon theme for

Only the standard library is used. Every shape is given in a 0..1 unit square and drawn by
png_drawing.py beside this script.

Usage: make_icons.py   (writes beside this script)
"""

import os

from png_drawing import TRANSPARENT, png

BLUE = (30, 90, 168, 255)
WHITE = (255, 255, 255, 255)
ORANGE = (245, 150, 30, 255)
DARK_GREY = (96, 96, 96, 255)
LIGHT_GREY = (200, 200, 200, 255)
MID_GREY = (150, 150, 150, 255)
RED = (220, 30, 30, 255)
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def in_rounded_square(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_rect(x, y, left, top, right, bottom):
    return left <= x <= right and top <= y <= bottom


def in_arrow(x, y):
    shaft = in_rect(x, y, 0.42, 0.14, 0.58, 0.44)
    head = 0.42 <= y <= 0.68 and abs(x - 0.5) <= (0.68 - y)
    return shaft or head


def in_tray(x, y):
    floor = in_rect(x, y, 0.18, 0.76, 0.82, 0.86)
    left_wall = in_rect(x, y, 0.18, 0.58, 0.27, 0.86)
    right_wall = in_rect(x, y, 0.73, 0.58, 0.82, 0.86)
    return floor or left_wall or right_wall


def in_bar(x, y):
    # A bar from the top left to the bottom right corner, 0.14 wide.
    return abs((x - y)) <= 0.10 and 0.04 <= x <= 0.96


def motif(ground, arrow, tray):
    def colour(x, y):
        if not in_rounded_square(x, y, 0.02, 0.02, 0.98, 0.98, 0.2):
            return TRANSPARENT
        if in_arrow(x, y):
            return arrow
        if in_tray(x, y):
            return tray
        return ground
    return colour


def crossed(colour_at):
    def colour(x, y):
        return RED if in_bar(x, y) else colour_at(x, y)
    return colour


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.join(here, "icons")
    os.makedirs(folder, exist_ok=True)
    saving_on = motif(BLUE, WHITE, ORANGE)
    saving_off = crossed(motif(DARK_GREY, LIGHT_GREY, MID_GREY))
    for path, colour_at, size in ((os.path.join(here, "trovanexlogo.png"), saving_on, 50),
                                  (os.path.join(folder, "trovanex.png"), saving_on, 48),
                                  (os.path.join(folder, "tray_save_on.png"), saving_on, 16),
                                  (os.path.join(folder, "tray_save_off.png"), saving_off, 16)):
        with open(path, "wb") as out:
            out.write(png(colour_at, size))
    for size in HICOLOR_SIZES:
        sized = os.path.join(folder, "hicolor", "%dx%d" % (size, size))
        os.makedirs(sized, exist_ok=True)
        with open(os.path.join(sized, "trovanex.png"), "wb") as out:
            out.write(png(saving_on, size))


if __name__ == "__main__":
    main()
