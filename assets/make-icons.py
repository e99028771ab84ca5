#!/usr/bin/env python3
"""Draws logo.png (32x32) and favicon.png (16x16) into this directory.

The picture is a branch of a commit graph: a main line with a commit at
each end and a side commit whose line joins the main one, white on a
rounded teal square. Shapes are given in a unit square and sampled 8x8
times per pixel, so the edges are smooth at any size. Needs nothing beyond
python3.

    python3 assets/make-icons.py
"""

import math
import os
import struct
import sys
import zlib

TEAL = (14, 116, 144)
WHITE = (255, 255, 255)
SAMPLES = 8


def rounded_square(x, y, radius=0.2):
    # Inside a square of the whole unit with corners of this radius.
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def near_segment(x, y, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= width / 2


def in_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


# The graph: main line at x 0.33, side commit at the upper right.
TOP, BOTTOM = (0.33, 0.22), (0.33, 0.78)
SIDE, BEND, JOIN = (0.69, 0.30), (0.69, 0.44), (0.33, 0.68)
STROKE = 0.10
DOT = 0.11


def graph(x, y):
    if near_segment(x, y, *TOP, *BOTTOM, STROKE):
        return True
    if near_segment(x, y, *SIDE, *BEND, STROKE):
        return True
    if near_segment(x, y, *BEND, *JOIN, STROKE):
        return True
    return any(in_circle(x, y, cx, cy, DOT) for cx, cy in (TOP, BOTTOM, SIDE))


def render(size):
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            square = mark = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    if rounded_square(x, y):
                        square += 1
                        if graph(x, y):
                            mark += 1
            n = SAMPLES * SAMPLES
            alpha = square / n
            if square == 0:
                row += bytes((0, 0, 0, 0))
                continue
            # Colour of the covered part: white over teal by the mark's share.
            share = mark / square
            rgb = [round(t + (w - t) * share) for t, w in zip(TEAL, WHITE)]
            row += bytes(rgb + [round(alpha * 255)])
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + r for r in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(sys.argv[0]))
    for name, size in (("logo.png", 32), ("favicon.png", 16)):
        with open(os.path.join(here, name), "wb") as f:
            f.write(png(size, render(size)))


if __name__ == "__main__":
    main()
