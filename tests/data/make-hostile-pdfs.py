#!/usr/bin/env python3
"""Writes the hostile PDFs of the end-to-end table into the current folder (see README.md)."""


def pdf(objects):
    out = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % at for at in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


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
