#!/usr/bin/env python3
"""Draws the Flagpost icon, a red flag on a pole, and writes res/flagpost.ico.

One design, rendered at each size: 32x32 and 16x16 in 16 colours, 48/32/16 in 256 colours
and 48/32/16 in 32-bit colour with alpha, in that order. Every image is an uncompressed
bitmap with its AND mask, so that Windows XP can read all of them.

    python3 tools/make_icon.py [--preview preview.png]
"""
import math
import struct
import sys
import zlib
from pathlib import Path

IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]

# The classic 16-colour palette; the 16-colour images may use only these.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]

POLE, KNOB, FLAG, BASE = (88, 88, 96), (255, 204, 0), (224, 32, 32), (56, 56, 64)
SUBSAMPLES = 4


def shape_at(x, y):
    """The colour of the design at (x, y) in the unit square, or None where it is clear.
    Edges sit on sixteenths, so that the 16-pixel images stay crisp."""
    if 1 / 16 <= x <= 7 / 16 and 14 / 16 <= y <= 15 / 16:
        return BASE
    if (x - 0.25) ** 2 + (y - 0.1) ** 2 <= 0.08 ** 2:
        return KNOB
    if 3 / 16 <= x <= 5 / 16 and 2 / 16 <= y <= 14 / 16:
        return POLE
    if 5 / 16 < x <= 15 / 16:
        top = 2 / 16 + 0.045 * (1 - math.cos((x - 5 / 16) / (10 / 16) * 2 * math.pi))
        if top <= y <= top + 7 / 16:
            return FLAG
    return None


def render(size):
    """Per pixel, top row first: (straight RGB, coverage 0..1, dominant colour or None)."""
    pixels = []
    for row in range(size):
        for col in range(size):
            hits = {}
            for sy in range(SUBSAMPLES):
                for sx in range(SUBSAMPLES):
                    colour = shape_at((col + (sx + 0.5) / SUBSAMPLES) / size,
                                      (row + (sy + 0.5) / SUBSAMPLES) / size)
                    if colour:
                        hits[colour] = hits.get(colour, 0) + 1
            covered = sum(hits.values())
            if not covered:
                pixels.append(((0, 0, 0), 0.0, None))
                continue
            rgb = tuple(sum(c[i] * n for c, n in hits.items()) // covered for i in range(3))
            pixels.append((rgb, covered / SUBSAMPLES ** 2, max(hits, key=hits.get)))
    return pixels


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], rgb)))


def padded(row):
    return row + b"\0" * (-len(row) % 4)


def bitmap(size, bits):
    """One ICO image: BITMAPINFOHEADER, palette, colour rows and mask rows, bottom-up."""
    pixels = render(size)
    palette = VGA if bits == 4 else VGA + [POLE, KNOB, FLAG, BASE] if bits == 8 else []
    palette = palette + [(0, 0, 0)] * ((1 << bits) - len(palette) if palette else 0)
    colour_rows, mask_rows = [], []
    for row in reversed(range(size)):
        line = pixels[row * size:(row + 1) * size]
        clear = [coverage < 0.5 for _, coverage, _ in line]
        if bits == 32:
            data = b"".join(bytes((b, g, r, round(coverage * 255))) for (r, g, b), coverage, _ in line)
        else:
            indices = [0 if off else nearest(palette, dominant) for (_, _, dominant), off in zip(line, clear)]
            if bits == 4:
                indices += [0] * (size % 2)
                data = bytes(indices[i] << 4 | indices[i + 1] for i in range(0, len(indices), 2))
            else:
                data = bytes(indices)
        colour_rows.append(padded(data))
        mask = 0
        for off in clear:
            mask = mask << 1 | off
        mask_rows.append(padded(mask.to_bytes(size // 8, "big")))
    body = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(body), 0, 0, 0, 0)
    return header + b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + body


def icon_file():
    images = [bitmap(size, bits) for size, bits in IMAGES]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for (size, bits), image in zip(IMAGES, images):
        directory += struct.pack("<BBBBHHII", size, size, 16 if bits == 4 else 0, 0, 1, bits,
                                 len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def decode(image):
    """Reads one stored image back: rows top first of (RGB, opacity 0..1)."""
    _, size, _, _, bits = struct.unpack_from("<IiiHH", image)
    palette = [(image[40 + 4 * i + 2], image[40 + 4 * i + 1], image[40 + 4 * i]) for i in range((1 << bits) if bits <= 8 else 0)]
    start = 40 + 4 * len(palette)
    stride, mask_stride = len(padded(bytes(size * bits // 8))), len(padded(bytes(size // 8)))
    rows = []
    for row in range(size):
        line, mask = image[start + row * stride:], image[start + size * stride + row * mask_stride:]
        pixels = []
        for col in range(size):
            clear = mask[col // 8] >> (7 - col % 8) & 1
            if bits == 32:
                b, g, r, a = line[4 * col:4 * col + 4]
                pixels.append(((r, g, b), a / 255))
            else:
                index = line[col] if bits == 8 else line[col // 2] >> (4 * (1 - col % 2)) & 15
                pixels.append((palette[index], 0.0 if clear else 1.0))
        rows.insert(0, pixels)
    return rows


def preview_png(ico, scale=6, gap=8):
    """Every image of the icon file side by side, enlarged, on a light background."""
    count = struct.unpack_from("<H", ico, 4)[0]
    entries = [struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i) for i in range(count)]
    width = sum(e[0] * scale + gap for e in entries) + gap
    height = max(e[0] for e in entries) * scale + 2 * gap
    canvas = [[(236, 236, 236)] * width for _ in range(height)]
    left = gap
    for size, _, _, _, _, _, length, offset in entries:
        paste(canvas, decode(ico[offset:offset + length]), left, gap, scale)
        left += size * scale + gap
    return png(canvas)


def paste(canvas, rows, left, top, scale):
    """Draws decoded rows onto the canvas at (left, top), each pixel as a scale x scale block."""
    for row, pixels in enumerate(rows):
        for col, (rgb, opacity) in enumerate(pixels):
            for y in range(top + row * scale, top + (row + 1) * scale):
                for x in range(left + col * scale, left + (col + 1) * scale):
                    canvas[y][x] = tuple(round(c * opacity + b * (1 - opacity)) for c, b in zip(rgb, canvas[y][x]))


def png(canvas):
    """An RGB PNG file of rows of (r, g, b) pixels."""
    width, height = len(canvas[0]), len(canvas)
    raw = b"".join(b"\0" + bytes(v for pixel in line for v in pixel) for line in canvas)
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    ico = icon_file()
    Path(__file__).resolve().parent.parent.joinpath("res", "flagpost.ico").write_bytes(ico)
    if len(sys.argv) == 3 and sys.argv[1] == "--preview":
        Path(sys.argv[2]).write_bytes(preview_png(ico))
