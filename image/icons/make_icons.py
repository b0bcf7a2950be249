#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Draws the launcher icons and writes them as PNG files: RGBA, 8 bits per
# channel, not interlaced, with only the IHDR, IDAT and IEND chunks (what the
# image's icon group expects). default/icon-N.png is the neutral icon every
# launcher gets unless it names its own (square, 16 to 256 pixels);
# icon-WxH.png next to this script is the example brand's set of six, which
# tests pass explicitly. The output is deterministic, so re-running it leaves
# the committed files as they are.
import math
import os
import struct
import zlib

SIZES = [(16, 13), (32, 26), (48, 38), (64, 51), (128, 102), (256, 205)]
NEUTRAL_SIZES = [16, 32, 48, 256]


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def coverage(distance, pixel):
    """Area estimate of a shape edge: distance is signed (negative inside), in image units."""
    return clamp01(0.5 - distance / pixel)


def rounded_rect_distance(x, y, half_w, half_h, radius):
    qx = abs(x) - half_w + radius
    qy = abs(y) - half_h + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def over(dst, src, alpha):
    """Composites colour src with coverage alpha over dst; both are straight (not premultiplied) RGBA."""
    r, g, b, a = dst
    out_a = alpha + a * (1.0 - alpha)
    if out_a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = lambda s, d: (s * alpha + d * a * (1.0 - alpha)) / out_a
    return (mix(src[0], r), mix(src[1], g), mix(src[2], b), out_a)


def shade(u, v, pixel, aspect):
    """Colour at the point (u, v): u in [-aspect, aspect], v in [-1, 1], v downwards."""
    px = (0.0, 0.0, 0.0, 0.0)
    # Tile: a rounded card with a diagonal gradient from teal to indigo.
    d = rounded_rect_distance(u, v, aspect * 0.96, 0.96, 0.34)
    t = clamp01((u / aspect + v) * 0.25 + 0.5)
    tile = (0.09 + 0.17 * t, 0.55 - 0.30 * t, 0.60 + 0.05 * t)
    px = over(px, tile, coverage(d, pixel))
    # An amber ring, a little left of centre.
    ring = abs(math.hypot(u + 0.28 * aspect, v - 0.02) - 0.46) - 0.13
    px = over(px, (0.98, 0.72, 0.20), coverage(ring, pixel) * coverage(d, pixel))
    # A pale dot right of the ring, overlapping it slightly.
    dot = math.hypot(u - 0.30 * aspect, v + 0.28) - 0.26
    px = over(px, (0.95, 0.96, 0.92), coverage(dot, pixel) * coverage(d, pixel))
    return px


def shade_neutral(u, v, pixel, aspect):
    """The neutral icon: a slate rounded square holding a light frame with a
    bar across its top, a plain sign for "a program"."""
    px = (0.0, 0.0, 0.0, 0.0)
    d = rounded_rect_distance(u, v, 0.94, 0.94, 0.22)
    inside = coverage(d, pixel)
    px = over(px, (0.27, 0.31, 0.36), inside)
    frame = abs(rounded_rect_distance(u, v - 0.04, 0.62, 0.52, 0.08)) - 0.07
    px = over(px, (0.90, 0.92, 0.94), coverage(frame, pixel) * inside)
    bar = rounded_rect_distance(u, v + 0.40, 0.62, 0.09, 0.04)
    px = over(px, (0.90, 0.92, 0.94), coverage(bar, pixel) * inside)
    return px


def render(width, height, shader=shade):
    aspect = width / height
    pixel = 2.0 / height
    rows = []
    for y in range(height):
        row = bytearray([0])  # filter type None
        for x in range(width):
            u = ((x + 0.5) / width * 2.0 - 1.0) * aspect
            v = (y + 0.5) / height * 2.0 - 1.0
            r, g, b, a = shader(u, v, pixel, aspect)
            row += bytes(int(round(c * 255.0)) for c in (r, g, b, a))
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(width, height, raw):
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for width, height in SIZES:
        path = os.path.join(here, "icon-%dx%d.png" % (width, height))
        data = png(width, height, render(width, height))
        with open(path, "wb") as f:
            f.write(data)
        print("%s: %d bytes" % (os.path.basename(path), len(data)))
    os.makedirs(os.path.join(here, "default"), exist_ok=True)
    for size in NEUTRAL_SIZES:
        path = os.path.join(here, "default", "icon-%d.png" % size)
        data = png(size, size, render(size, size, shade_neutral))
        with open(path, "wb") as f:
            f.write(data)
        print("default/%s: %d bytes" % (os.path.basename(path), len(data)))


if __name__ == "__main__":
    main()
