#!/usr/bin/env python3
"""Writes the TIFF layouts of the end-to-end table from line.tiff (see README.md); needs tiffcp."""
import struct
import subprocess
import tempfile

tmp = tempfile.mkdtemp()
subprocess.run(["tiffcp", "-c", "none", "line.tiff", f"{tmp}/raw.tif"], check=True)
raw = open(f"{tmp}/raw.tif", "rb").read()
width, height = 612, 72
grey = bytes(255 if v >= 128 else 0 for v in raw[8:8 + width * height])  # 0 ink, 255 paper


def tiff(name, entries, *strips):
    """An uncompressed little-endian TIFF of whole-image strips (one a plane when planar)."""
    tags = dict(entries)
    tags.update({256: [width], 257: [height], 259: [1], 278: [height]})
    data = b"".join(strips)
    header = 8 + 2 + 12 * (len(tags) + 2) + 4
    tags[273] = [header + sum(len(s) for s in strips[:i]) for i in range(len(strips))]
    tags[279] = [len(s) for s in strips]
    ifd, heap = struct.pack("<H", len(tags)), bytearray()
    for tag in sorted(tags):
        values = tags[tag]
        kind, fmt = (4, "<I") if tag in (273, 279) else (3, "<H")
        packed = b"".join(struct.pack(fmt, v) for v in values)
        if len(packed) <= 4:
            ifd += struct.pack("<HHI", tag, kind, len(values)) + packed.ljust(4, b"\0")
        else:
            ifd += struct.pack("<HHII", tag, kind, len(values), header + len(data) + len(heap))
            heap += packed
    open(f"{tmp}/{name}", "wb").write(b"II*\0" + struct.pack("<I", 8) + ifd + bytes(4) + data + heap)


def zipped(name, *options, to=None):
    subprocess.run(["tiffcp", "-c", "zip", *options, f"{tmp}/{name}", to or name], check=True)


def sixteen(values):
    return b"".join(struct.pack("<H", v * 257) for v in values)


# Grey and unassociated alpha, 16 bits each: black everywhere, the ink in the alpha.
tiff("grey16-alpha.tif", {258: [16, 16], 262: [1], 277: [2], 338: [2]},
     b"".join(sixteen([0, 255 - v]) for v in grey))
zipped("grey16-alpha.tif")
zipped("grey16-alpha.tif", "-t", "-w", "64", "-l", "64", to="tiled16-alpha.tif")
# RGB in three planes.
tiff("planar.tif", {258: [8, 8, 8], 262: [2], 277: [3], 284: [2]}, grey, grey, grey)
zipped("planar.tif")
# CMYK, the ink in K.
tiff("cmyk.tif", {258: [8] * 4, 262: [5], 277: [4]}, b"".join(bytes([0, 0, 0, 255 - v]) for v in grey))
zipped("cmyk.tif")
# An 8-bit palette of greys.
tiff("palette.tif", {258: [8], 262: [3], 277: [1], 320: [i * 257 for i in range(256)] * 3}, grey)
zipped("palette.tif")
# 16-bit grey in 64 x 64 tiles: the last column of tiles is cut by the image's right edge.
tiff("grey16.tif", {258: [16], 262: [1], 277: [1]}, sixteen(grey))
zipped("grey16.tif", "-t", "-w", "64", "-l", "64", to="tiled16.tif")
# RGB as JPEG in YCbCr, and 1-bit CCITT G3.
tiff("rgb.tif", {258: [8, 8, 8], 262: [2], 277: [3]}, b"".join(bytes([v] * 3) for v in grey))
subprocess.run(["tiffcp", "-c", "jpeg:25", "-r", "16", f"{tmp}/rgb.tif", "ycbcr-jpeg.tif"], check=True)
subprocess.run(["tiffcp", "-c", "g3", "line.tif", "g3.tif"], check=True)
