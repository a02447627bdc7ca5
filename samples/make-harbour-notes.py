#!/usr/bin/python3
"""Writes harbour-notes.pdf: a US Letter page with a heading over two columns of eight lines, in
Nimbus Sans (metric-compatible with Helvetica) embedded as a subset, so that the page looks the
same on every machine. Needs Debian's fonts-urw-base35 and python3-fonttools.

    /usr/bin/python3 samples/make-harbour-notes.py samples/harbour-notes.pdf
"""
import sys

from fontTools.subset import Options, Subsetter
from fontTools.ttLib import TTFont

FONT = "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf"
HEADING = "Field Notes from the Harbour"
LEFT = ["The morning tide came in slowly and the", "fishing boats waited near the old pier",
        "until the water was deep enough to let", "them pass the sandbank at the entrance.",
        "Gulls followed the first boat out and", "the harbour master counted eleven crews",
        "leaving before the bell rang at seven,", "two more than on any day last week."]
RIGHT = ["In the afternoon the wind turned west", "and the boats came back with full nets,",
         "mostly herring and a few large cod that", "were sold at the market within an hour.",
         "The new crane on the north quay lifted", "its first load without trouble, and the",
         "engineers said the repairs to the wall", "will be finished before the winter."]

text = HEADING + "".join(LEFT + RIGHT)
font = TTFont(FONT)
subsetter = Subsetter(Options())
subsetter.populate(text=text)
subsetter.subset(font)
program = font["CFF "].compile(font)
cmap = font.getBestCmap()
scale = 1000 / font["head"].unitsPerEm
first, last = 32, 126
widths = [round(font["hmtx"][cmap[c]][0] * scale) if c in cmap else 0 for c in range(first, last + 1)]

lines = [f"BT /F1 20 Tf 60 720 Td ({HEADING}) Tj ET"]
for column, x in ((LEFT, 60), (RIGHT, 336)):
    lines += [f"BT /F1 11 Tf {x} {680 - 18 * i} Td ({line}) Tj ET" for i, line in enumerate(column)]
content = "\n".join(lines).encode("latin-1")
objects = [
    b"<< /Type /Catalog /Pages 2 0 R >>",
    b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 4 0 R >> >>"
    b" /Contents 7 0 R >>",
    f"<< /Type /Font /Subtype /Type1 /BaseFont /QUIRNA+NimbusSans-Regular /FirstChar {first}"
    f" /LastChar {last} /Widths [{' '.join(map(str, widths))}] /FontDescriptor 5 0 R"
    " /Encoding /WinAnsiEncoding >>".encode(),
    b"<< /Type /FontDescriptor /FontName /QUIRNA+NimbusSans-Regular /Flags 32"
    b" /FontBBox [-210 -300 1032 1075] /ItalicAngle 0 /Ascent 718 /Descent -207 /CapHeight 718"
    b" /StemV 88 /FontFile3 6 0 R >>",
    b"<< /Subtype /Type1C /Length %d >>\nstream\n" % len(program) + program + b"\nendstream",
    b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
]
out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
offsets = []
for number, body in enumerate(objects, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
with open(sys.argv[1], "wb") as file:
    file.write(out)
