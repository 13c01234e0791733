#!/usr/bin/env python3
"""Draws the launcher's sample brand images into Client/Mac/launcher/resources.

The images are simple geometric artwork made for this project: header bands
(gradients), the product's own header logo (a ring with a tail on a
transparent ground), the two brand logos that ship in the bundle (24-bit
bitmaps) and the application icon at every size the desktop asks for (the
mark on a rounded blue square, each size drawn, not scaled). Run it again after changing the artwork; the output is committed.
Standard library only.
"""

import math
import os
import struct
import sys
import zlib


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def write_png(path, width, height, pixel):
    """pixel(x, y) -> (r, g, b, a); y grows downwards."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        out.write(chunk(b"IEND", b""))


def write_bmp(path, width, height, pixel):
    """24-bit bottom-up bitmap; pixel(x, y) -> (r, g, b); y grows downwards."""
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row.extend((b, g, r))
        row.extend(b"\0" * (stride - len(row)))
        data.extend(row)
    file_header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info_header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(file_header + info_header + data)


def coverage(distance):
    """Anti-aliased coverage of a shape edge at a signed distance (inside < 0)."""
    return max(0.0, min(1.0, 0.5 - distance))


def ring_distance(x, y, cx, cy, radius, thickness):
    return abs(math.hypot(x + 0.5 - cx, y + 0.5 - cy) - radius) - thickness / 2


def tail_distance(x, y, x0, y0, x1, y1, thickness):
    px, py = x + 0.5 - x0, y + 0.5 - y0
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, (px * dx + py * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - t * dx, py - t * dy) - thickness / 2


def mark_coverage(x, y, size):
    """The product mark: a ring with a short diagonal tail, in a size x size square."""
    c = size / 2
    ring = ring_distance(x, y, c, c * 0.95, size * 0.30, size * 0.12)
    tail = tail_distance(x, y, c + size * 0.12, c + size * 0.14, c + size * 0.36, c + size * 0.38, size * 0.12)
    return coverage(min(ring, tail))


def header_band(top, bottom, stripe):
    def pixel(x, y):
        colour = lerp(top, bottom, y / 59)
        # A faint diagonal sheen so that stretching is visible in screenshots.
        if (x + y) % 120 < 40:
            colour = lerp(colour, stripe, 0.08)
        return colour + (255,)
    return pixel


def header_logo(x, y):
    alpha = mark_coverage(x, y, 48)
    return (255, 255, 255, round(alpha * 255))


def default_logo(x, y):
    # White ground, blue mark at the left, three blue bars for a word mark.
    blue, white = (32, 92, 186), (255, 255, 255)
    alpha = mark_coverage(x, y - 2, 44) if x < 44 else 0.0
    for left, width in ((50, 22), (76, 14), (94, 20)):
        if left <= x < left + width and 18 <= y < 28:
            alpha = 1.0
    return lerp(white, blue, alpha)


def partner_logo(x, y):
    # Black ground (the partner's header is black), an orange disc and bar.
    orange, black = (240, 140, 30), (0, 0, 0)
    disc = coverage(math.hypot(x + 0.5 - 22, y + 0.5 - 22) - 14)
    bar = 1.0 if 44 <= x < 84 and 17 <= y < 27 else 0.0
    return lerp(black, orange, max(disc, bar))


ICON_SIZES = (16, 24, 32, 48, 64, 128, 256, 512)


def app_icon(size):
    blue_top, blue_bottom, white = (52, 120, 214), (20, 64, 148), (255, 255, 255)
    inset, corner = size * 0.06, size * 0.2

    def pixel(x, y):
        # Signed distance to a rounded square inset from the edges.
        qx = abs(x + 0.5 - size / 2) - (size / 2 - inset - corner)
        qy = abs(y + 0.5 - size / 2) - (size / 2 - inset - corner)
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - corner
        ground = coverage(outside)
        colour = lerp(lerp(blue_top, blue_bottom, y / max(size - 1, 1)), white, mark_coverage(x, y, size))
        return colour + (round(ground * 255),)
    return pixel


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "Client", "Mac", "launcher", "resources")
    write_png(os.path.join(out, "appheade_bg.png"), 600, 60, header_band((28, 84, 156), (14, 46, 98), (255, 255, 255)))
    write_png(os.path.join(out, "resellerheader_bg.png"), 600, 60,
              header_band((96, 98, 108), (52, 54, 62), (255, 255, 255)))
    write_png(os.path.join(out, "appheader_logo.png"), 48, 48, header_logo)
    write_bmp(os.path.join(out, "logo-1.bmp"), 120, 44, default_logo)
    write_bmp(os.path.join(out, "logo-15.bmp"), 90, 44, partner_logo)
    icons = os.path.join(out, "AppIcon.iconset")
    os.makedirs(icons, exist_ok=True)
    for size in ICON_SIZES:
        write_png(os.path.join(icons, "icon_%dx%d.png" % (size, size)), size, size, app_icon(size))


if __name__ == "__main__":
    main()
