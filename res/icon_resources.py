#!/usr/bin/python3
"""Cuts an .ico file into what the resource compiler stores: one RT_ICON per image and one
icon-group directory that names them by id, so that several icon groups can share the images.

    icon_resources.py ICO OUTDIR    writes OUTDIR/icon-1.bin ... icon-N.bin and OUTDIR/icons.grp
"""
import struct
import sys
from pathlib import Path

ico = Path(sys.argv[1]).read_bytes()
out = Path(sys.argv[2])
out.mkdir(parents=True, exist_ok=True)

reserved, kind, count = struct.unpack_from("<HHH", ico)
if (reserved, kind) != (0, 1) or count == 0:
    sys.exit(f"{sys.argv[1]}: not an icon file")

# A file entry ends with the image's offset in the file; a group entry ends with the image's
# RT_ICON id instead, and is two bytes shorter.
group = struct.pack("<HHH", 0, 1, count)
for ident in range(1, count + 1):
    width, height, colours, zero, planes, bits, length, offset = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * (ident - 1))
    image = ico[offset:offset + length]
    if len(image) != length:
        sys.exit(f"{sys.argv[1]}: image {ident} runs past the end of the file")
    (out / f"icon-{ident}.bin").write_bytes(image)
    group += struct.pack("<BBBBHHIH", width, height, colours, zero, planes, bits, length, ident)
(out / "icons.grp").write_bytes(group)
