#!/usr/bin/python3
"""`make screenshot`: docs/about.png, the About box as Wine's X11 driver puts it on a screen, and
docs/icon.png, the icon at its three sizes as flagpost.exe stores it.

    PYTHONPATH=common xvfb-run -a screenshot.py BUILD_PATHS [FOLDER]      (see common/build_paths.py)

The pictures go to FOLDER, by default the source's docs/; the prefix uses the X11 driver. about_shot.exe opens the box through the main window's About
command and saves the screen area it covers; it runs in a Wine virtual desktop, where Wine draws
frames and captions itself, since there is no window manager.
"""
import os
import shutil
import struct
import sys
import tempfile
from pathlib import Path

import pefile

from make_icon import decode, paste, png

import build_paths
import wine_sh

PATHS = build_paths.read(sys.argv[1])
PREFIX, ABOUT_SHOT, FLAGPOST = (PATHS[name] for name in ("prefix_x11", "about_shot", "flagpost"))
DOCS = sys.argv[2] if len(sys.argv) > 2 else os.path.join(PATHS["source"], "docs")
ENV = dict(os.environ, WINEPREFIX=PREFIX, FLAGPOST_GRAPHICS="x11")
BACKGROUND = (236, 236, 236)


def wine(*command):
    code, output = wine_sh.run(PATHS, "prefix_x11", *command, env=ENV)
    if code != 0:
        sys.exit(f"screenshot: wine.sh {' '.join(command)} ended with {code}:\n{output}")


def bmp_rows(data):
    """Rows, top first, of (r, g, b) from a bottom-up 24-bit BMP file."""
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 24 and height > 0, "not a bottom-up 24-bit BMP"
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        line = data[offset + y * stride:offset + (y + 1) * stride]
        rows.append([(line[3 * x + 2], line[3 * x + 1], line[3 * x]) for x in range(width)])
    return rows


def about_box():
    wine("--restart")    # makes the prefix, if it is new, before its Fonts folder is needed
    # Debian's Wine does not find its own TrueType fonts by itself; without Marlett the close box
    # shows a letter "r". Windows has these in its Fonts folder, so they go there.
    fonts = Path(PREFIX, "drive_c", "windows", "Fonts")
    missing = [font for font in ("marlett.ttf", "tahoma.ttf", "tahomabd.ttf") if not (fonts / font).exists()]
    for font in missing:
        shutil.copy(Path("/usr/share/wine/fonts", font), fonts)
    if missing:
        wine("--restart")    # a fresh boot that sees them
    try:
        with tempfile.TemporaryDirectory() as work:
            shot = Path(work, "about.bmp")
            wine("explorer", "/desktop=Flagpost,480x320", ABOUT_SHOT, build_paths.windows_path(shot))
            if not shot.exists():
                sys.exit("about_shot.exe saved no picture of the About box")
            return bmp_rows(shot.read_bytes())
    finally:
        wine_sh.run(PATHS, "prefix_x11", "--shutdown", env=ENV)


def icon_preview(scale=4, gap=12):
    """The 32-bit images of group 107, 48, 32 and 16 pixels: at their size, then enlarged."""
    pe = pefile.PE(FLAGPOST)
    images = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id == 3:
            for entry in kind.directory.entries:
                data_entry = entry.directory.entries[0].data.struct
                image = pe.get_data(data_entry.OffsetToData, data_entry.Size)
                size, bits = struct.unpack_from("<i", image, 4)[0], struct.unpack_from("<H", image, 14)[0]
                if bits == 32:
                    images[size] = decode(image)
    sizes = [48, 32, 16]
    width = gap + sum(size + gap for size in sizes) + sum(size * scale + gap for size in sizes)
    height = 48 * scale + 2 * gap
    canvas = [[BACKGROUND] * width for _ in range(height)]
    left = gap
    for index, factor in enumerate([1, 1, 1, scale, scale, scale]):
        size = sizes[index % 3]
        paste(canvas, images[size], left, gap + (48 * scale - size * factor) // 2, factor)
        left += size * factor + gap
    return canvas


def main():
    docs = Path(DOCS)
    docs.mkdir(exist_ok=True)
    (docs / "about.png").write_bytes(png(about_box()))
    (docs / "icon.png").write_bytes(png(icon_preview()))
    print(f"wrote {docs / 'about.png'} and {docs / 'icon.png'}")


if __name__ == "__main__":
    main()
