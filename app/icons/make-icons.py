#!/usr/bin/env python3
"""Draws the Cantabile icon (two beamed eighth notes in gold on a navy-to-teal
rounded square) at 16, 32 and 256 pixels and writes cantabile-<size>.png next
to this script. Standard library only: the shapes are sampled on a grid of
sub-pixels and the PNG files are written by hand."""

import math
import os
import struct
import zlib

BACKGROUND_TOP = (30, 42, 90)
BACKGROUND_BOTTOM = (47, 111, 143)
NOTE = (245, 197, 66)
RIM = (214, 226, 240)


def inside_rounded_square(x, y, margin, radius):
    lo, hi = margin, 1.0 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_note_head(x, y, cx, cy):
    # An ellipse tilted upwards to the right, as note heads are engraved.
    a, b, tilt = 0.135, 0.095, math.radians(-22)
    dx, dy = x - cx, y - cy
    u = dx * math.cos(tilt) + dy * math.sin(tilt)
    v = -dx * math.sin(tilt) + dy * math.cos(tilt)
    return (u / a) ** 2 + (v / b) ** 2 <= 1.0


def inside_notes(x, y):
    heads = ((0.32, 0.72), (0.69, 0.63))
    for cx, cy in heads:
        if inside_note_head(x, y, cx, cy):
            return True
    stems = ((0.405, 0.465, 0.23, 0.70), (0.775, 0.835, 0.16, 0.61))
    for x0, x1, y0, y1 in stems:
        if x0 <= x <= x1 and y0 <= y <= y1:
            return True
    # The beam: a band between the stems, rising to the right.
    if 0.405 <= x <= 0.835:
        top = 0.23 + (x - 0.405) * (0.14 - 0.23) / (0.835 - 0.405)
        if top <= y <= top + 0.12:
            return True
    return False


def pixel(px, py, size):
    grid = 8 if size <= 32 else 4
    rgb_sum = [0.0, 0.0, 0.0]
    covered = 0
    margin = 0.5 / size if size <= 32 else 0.03
    for sy in range(grid):
        for sx in range(grid):
            x = (px + (sx + 0.5) / grid) / size
            y = (py + (sy + 0.5) / grid) / size
            if not inside_rounded_square(x, y, margin, 0.2):
                continue
            covered += 1
            if inside_notes(x, y):
                colour = NOTE
            elif not inside_rounded_square(x, y, margin + 0.035, 0.17):
                colour = RIM
            else:
                t = y
                colour = tuple(BACKGROUND_TOP[i] + (BACKGROUND_BOTTOM[i] - BACKGROUND_TOP[i]) * t
                               for i in range(3))
            for i in range(3):
                rgb_sum[i] += colour[i]
    if covered == 0:
        return (0, 0, 0, 0)
    alpha = round(255 * covered / (grid * grid))
    return tuple(round(c / covered) for c in rgb_sum) + (alpha,)


def png_bytes(size):
    rows = bytearray()
    for py in range(size):
        rows.append(0)  # no filter
        for px in range(size):
            rows.extend(pixel(px, py, size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    for size in (16, 32, 256):
        path = os.path.join(folder, "cantabile-%d.png" % size)
        with open(path, "wb") as out:
            out.write(png_bytes(size))
        print(path)


if __name__ == "__main__":
    main()
