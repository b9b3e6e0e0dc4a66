#!/usr/bin/env python3
"""Draws the tarnel icon and writes res/tarnel.ico.

The picture is described here, in code, so it is its own source: a rounded tile with a blue-to-teal
gradient, a white "start" triangle and a yellow dot. Every size is drawn afresh (not scaled down) with
4x4 supersampling; sizes up to 128 are stored as 32-bit bitmaps, 256 as PNG, as Windows expects.
Standard library only; the output is the same bytes on every run.
"""
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 24, 32, 48, 64, 128, 256)
SAMPLES = 4


def inside_tile(x, y):
    r = 0.18  # corner radius, as a share of the side
    m = 0.03  # margin
    cx = min(max(x, m + r), 1 - m - r)
    cy = min(max(y, m + r), 1 - m - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and m <= x <= 1 - m and m <= y <= 1 - m


def inside_triangle(x, y):
    # Points right: (0.36, 0.27), (0.36, 0.73), (0.74, 0.5).
    if x < 0.36:
        return False
    half = 0.23 * (0.74 - x) / 0.38
    return abs(y - 0.5) <= half


def inside_dot(x, y):
    return (x - 0.74) ** 2 + (y - 0.76) ** 2 <= 0.085 ** 2


def colour(x, y):
    """Straight (not premultiplied) RGBA of one sample; alpha 0 outside the tile."""
    if not inside_tile(x, y):
        return (0, 0, 0, 0)
    if inside_dot(x, y):
        return (255, 205, 60, 255)
    if inside_triangle(x, y):
        return (255, 255, 255, 255)
    t = y
    return (int(30 + 10 * t), int(90 + 90 * t), int(200 - 40 * t), 255)


def render(size):
    """Rows of RGBA tuples, top row first."""
    rows = []
    n = SAMPLES * SAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    r, g, b, a = colour((px + (sx + 0.5) / SAMPLES) / size, (py + (sy + 0.5) / SAMPLES) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / n
            if acc[3]:
                row.append(tuple(round(c / acc[3]) for c in acc[:3]) + (round(alpha),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, size * size * 4, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    # The AND mask marks the fully transparent pixels for renderers that ignore alpha.
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("tarnel.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        images.append(png(size, rows) if size == 256 else bitmap(size, rows))
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        data += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out.write_bytes(data + b"".join(images))
    print(f"{out}: {len(data) + sum(map(len, images))} bytes, sizes {', '.join(map(str, SIZES))}")


if __name__ == "__main__":
    main()
