#!/usr/bin/python3
"""Writes mixed-language.pdf: a tall page of German prose in 12-pt Helvetica (the standard font,
not embedded) with a French paragraph among its later lines, all in the page's top half.

    python3 tests/data/make-mixed-language.py tests/data/mixed-language.pdf
"""
import os
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pdf_objects import pdf  # noqa: E402

GERMAN = [
    "Der Hafen der kleinen Stadt liegt am Ende einer langen Bucht, und die Fischer",
    "fahren jeden Morgen mit ihren Booten auf das Meer hinaus, wenn das Wetter es",
    "erlaubt. Im Winter ist die See oft zu rau, und dann bleiben die Boote im Hafen,",
    "wo sie von den Leuten der Werft auf den neuen Sommer vorbereitet werden. Die",
    "Arbeit ist hart, aber sie wird gut bezahlt, und viele junge Leute aus dem Ort",
    "finden hier eine Stelle, die ihnen auch im Alter noch ein sicheres Auskommen",
    "bietet. Seit einigen Jahren kommen im Sommer auch viele Gäste in die Stadt, die",
    "sich die alten Häuser am Markt ansehen und in den kleinen Gasthöfen am Wasser",
    "essen. Für die Fischer ist das nicht immer leicht, denn der Platz am Kai wird",
    "knapp, wenn die Ausflugsschiffe anlegen und die Besucher auf dem Steg stehen.",
    "Die Stadt hat deshalb einen zweiten Anleger gebaut, der nur für die Boote der",
    "Fischer gedacht ist und von dem aus der Fang direkt zur Halle gebracht wird.",
    "In einem Reiseführer aus Frankreich, den ein Gast im Gasthof liegen ließ, steht",
    "über den Markt der folgende Absatz, den der Wirt gern seinen Gästen vorliest:",
]
FRENCH = [
    "Au cœur de la vieille ville, les pêcheurs vendent leur poisson sur le quai où",
    "les marchands attendent déjà depuis l'aube. Après la pêche, les bateaux sont",
    "amarrés le long du port et les entrepôts se remplissent peu à peu; le marché",
    "est alors très animé et les prix changent avec la marée et avec la saison.",
]
AFTER = [
    "Der Wirt sagt, dass er den Text nicht ganz versteht, aber er mag den Klang der",
    "Sprache, und die Gäste aus dem Süden lachen oft über seine Aussprache. Wenn der",
    "Abend kommt, wird es im Hafen still, und nur die Möwen sind noch zu hören, bis",
    "die ersten Boote am nächsten Morgen wieder auf das Meer hinausfahren werden.",
    "Dann beginnt der Tag von vorn, und die Arbeit im Hafen geht weiter wie immer.",
]

HEIGHT = 1400  # the text stays in the page's top half


def escaped(line):
    return line.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")


text = [f"BT /F1 12 Tf 60 {HEIGHT - 50 - 16 * i} Td ({escaped(line)}) Tj ET"
        for i, line in enumerate(GERMAN + FRENCH + AFTER)]
content = zlib.compress("\n".join(text).encode("cp1252"), 9)
objects = [
    b"<< /Type /Catalog /Pages 2 0 R >>",
    b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 %d] /Resources << /Font << /F1 4 0 R >> >>"
    b" /Contents 5 0 R >>" % HEIGHT,
    b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(content) + content + b"\nendstream",
]
with open(sys.argv[1], "wb") as file:
    file.write(pdf(objects))
