#!/usr/bin/env python3
"""Draws the launcher's icon and writes it as a .ico file.

Nine images: 16, 32 and 48 pixels square, each in 32-bit colour (with
alpha), 256 colours and 16 colours. The artwork is a rounded blue tile with
a white arrow pointing down into a tray: "fetch, then start".
"""
import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4


def coverage_and_colour(u, v):
    """Colour (r, g, b, a) of the point (u, v) in the unit square."""
    # Rounded tile.
    r = 0.18
    dx = max(abs(u - 0.5) - (0.5 - r - 0.02), 0.0)
    dy = max(abs(v - 0.5) - (0.5 - r - 0.02), 0.0)
    if dx * dx + dy * dy > r * r:
        return (0, 0, 0, 0)
    white = (255, 255, 255, 255)
    # Arrow shaft and head.
    if 0.42 <= u <= 0.58 and 0.16 <= v <= 0.50:
        return white
    if 0.44 <= v <= 0.68 and abs(u - 0.5) <= (0.68 - v) * 1.05:
        return white
    # Tray under the arrow.
    if 0.74 <= v <= 0.82 and 0.22 <= u <= 0.78:
        return white
    if 0.62 <= v <= 0.82 and (0.22 <= u <= 0.30 or 0.70 <= u <= 0.78):
        return white
    # Vertical gradient from light to deep blue.
    return (int(40 + 30 * (1 - v)), int(110 + 60 * (1 - v)), int(200 + 40 * (1 - v)), 255)


def render(size):
    pixels = []
    n = SUPERSAMPLE
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    c = coverage_and_colour((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    acc[0] += c[0] * c[3]
                    acc[1] += c[1] * c[3]
                    acc[2] += c[2] * c[3]
                    acc[3] += c[3]
            a = acc[3] / (n * n)
            if acc[3]:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(a)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(v, v, v) for v in range(8, 248, 6)][:40]
    return (cube + greys + [(0, 0, 0)] * 256)[:256]


def nearest(palette, colour):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def and_mask(pixels, size):
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if pixels[y][x][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(pixels, size, bpp):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, 0, 0, 0,
                         0 if bpp == 32 else (1 << bpp), 0)
    body = bytearray()
    if bpp == 32:
        for y in reversed(range(size)):
            for r, g, b, a in pixels[y]:
                body += bytes((b, g, r, a))
        return header + bytes(body) + and_mask(pixels, size)
    palette = VGA16 if bpp == 4 else palette256()
    table = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    stride = ((size * bpp + 31) // 32) * 4
    cache = {}
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            r, g, b, a = pixels[y][x]
            index = 0 if a < 128 else cache.setdefault((r, g, b), nearest(palette, (r, g, b)))
            if bpp == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        body += row
    return header + table + bytes(body) + and_mask(pixels, size)


def main(path):
    images = []
    for size in SIZES:
        pixels = render(size)
        for bpp in (32, 8, 4):
            images.append((size, bpp, dib(pixels, size, bpp)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        colours = 16 if bpp == 4 else 0
        out += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])
