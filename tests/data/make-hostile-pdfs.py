#!/usr/bin/env python3
"""Writes the hostile PDFs of the end-to-end table into the current folder (see README.md)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pdf_objects import pdf  # noqa: E402


def stream(dictionary, data):
    return b"<< %s /Length %d >>\nstream\n%s\nendstream" % (dictionary, len(data), data)


def page(resources, content):
    return [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
        b"/Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> "
        + resources + b" >> >>",
        stream(b"", b"BT /F1 24 Tf 72 700 Td (River levels) Tj ET " + content),
    ]


# 8 forms deep, each drawing the one below 8 times: 8^8 full-page fills from a page of text.
forms = [stream(b"/Type /XObject /Subtype /Form /BBox [0 0 612 792]", b"0 0 612 792 re f")]
for depth in range(1, 9):
    below = b"<< /XObject << /X %d 0 R >> >>" % (5 + depth - 1)
    forms.append(stream(b"/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources " + below,
                        b" ".join([b"/X Do"] * 8)))
with open("nested-forms.pdf", "wb") as f:
    f.write(pdf(page(b"/XObject << /X 13 0 R >>", b"/X Do") + forms))

# A 1-bit image claiming 100000 x 100000 pixels from 10 bytes of data.
image = stream(b"/Type /XObject /Subtype /Image /Width 100000 /Height 100000 /ColorSpace "
               b"/DeviceGray /BitsPerComponent 1", b"\0" * 10)
with open("sparse-image.pdf", "wb") as f:
    f.write(pdf(page(b"/XObject << /I 5 0 R >>", b"q 612 0 0 792 0 0 cm /I Do Q") + [image]))

# 24 transparency groups nested, each the size of a page of 1224 x 1584 units (31 MB at 144 DPI):
# a bitmap of the page for each, held all at once, for little drawing.
groups = [stream(b"/Type /XObject /Subtype /Form /BBox [0 0 1224 1584]", b"0 0 1224 1584 re f")]
for depth in range(1, 25):
    below = b"<< /XObject << /X %d 0 R >> >>" % (5 + depth - 1)
    groups.append(stream(b"/Type /XObject /Subtype /Form /BBox [0 0 1224 1584] "
                         b"/Group << /S /Transparency /I true >> /Resources " + below, b"/X Do"))
large = page(b"/XObject << /X %d 0 R >>" % (5 + 24), b"/X Do")
large[2] = large[2].replace(b"[0 0 612 792]", b"[0 0 1224 1584]")
with open("nested-groups.pdf", "wb") as f:
    f.write(pdf(large + groups))
