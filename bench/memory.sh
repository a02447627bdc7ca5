#!/usr/bin/env bash
# Peak resident memory of quirna-ocr on long documents and on the largest bitmaps it accepts: makes
# the inputs (in bench/work/memory), measures each with /usr/bin/time -v and prints the README's
# memory table (peak RSS, and user CPU time, which a shared machine leaves steadier than wall
# time). Fails when any input takes more than 650 MiB. Needs the inputs of bench/run.sh (run it
# once; QUIRNA_INPUTS=DIR names them elsewhere) and its Release build in bench/work/build
# (QUIRNA_OCR=BINARY names another).
#
#   bash bench/memory.sh            # every row
#   bash bench/memory.sh REGEX      # only the inputs whose file name matches (grep -E)
set -euo pipefail
cd "$(dirname "$0")/.."

work=bench/work
made=$work/memory
quirna=${QUIRNA_OCR:-$work/build/quirna-ocr}
inputs=${QUIRNA_INPUTS:-$work/inputs}
limitMiB=650
only=${1:-.}
mkdir -p "$made"
for needed in "$quirna" "$inputs/en-page.png" "$inputs/de-page.png"; do
  [[ -e $needed ]] || { echo "missing $needed: run bench/run.sh first" >&2; exit 1; }
done

# ImageMagick's own policy refuses images this large; one beside the inputs lifts it for these runs.
cat >"$made/policy.xml" <<'EOF'
<policymap>
  <policy domain="resource" name="memory" value="4GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="width" value="64KP"/>
  <policy domain="resource" name="height" value="64KP"/>
  <policy domain="resource" name="area" value="4GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
EOF
magick() { MAGICK_CONFIGURE_PATH=$made /usr/bin/convert "$@"; }

# 11585 x 11585 is the largest square within the pixel cap (2^27).
big=$made/big-grey.png
[[ -e $big ]] || magick -size 11585x11585 xc:white "$inputs/en-page.png" -geometry +200+300 \
  -composite "$inputs/de-page.png" -geometry +6000+5000 -composite -colorspace Gray -depth 8 \
  -type Grayscale "$big"
[[ -e $made/big-rgb.png ]] || magick "$big" -type TrueColor "PNG24:$made/big-rgb.png"
[[ -e $made/big-rgb.jpg ]] || magick "$big" -type TrueColor -quality 90 "$made/big-rgb.jpg"
[[ -e $made/big-rgb.tif ]] || magick "$big" -type TrueColor -compress lzw "$made/big-rgb.tif"
[[ -e $made/big-few.png ]] || magick -size 11585x11585 xc:white \
  \( "$inputs/en-page.png" -crop 1191x300+0+150 \) -geometry +3000+4000 -composite \
  -colorspace Gray -depth 8 -type Grayscale "$made/big-few.png"
[[ -e $made/noise-rgb.png ]] || magick -size 8000x8000 xc:white -colorspace sRGB \
  +noise Random -depth 8 -type TrueColor "PNG24:$made/noise-rgb.png"
[[ -e $made/noise-grey.png ]] || magick "$made/noise-rgb.png" -colorspace Gray -depth 8 \
  -type Grayscale "$made/noise-grey.png"
# A PDF of 1000 empty A4 pages, and one page of 5792.5 pt a side (11585 px at 144 DPI) with three
# blocks of 40 lines of Helvetica.
python3 - "$made" <<'EOF'
import os, sys
def write(path, objects):
    data = b'%PDF-1.4\n'
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(data))
        data += b'%d 0 obj\n%s\nendobj\n' % (number, body.encode())
    xref = len(data)
    data += b'xref\n0 %d\n0000000000 65535 f \n' % (len(objects) + 1)
    data += b''.join(b'%010d 00000 n \n' % offset for offset in offsets)
    data += b'trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n' % (len(objects) + 1, xref)
    open(path, 'wb').write(data)
made = sys.argv[1]
kids = ' '.join('%d 0 R' % (i + 3) for i in range(1000))
write(os.path.join(made, 'blank-1000.pdf'),
      ['<< /Type /Catalog /Pages 2 0 R >>', '<< /Type /Pages /Kids [%s] /Count 1000 >>' % kids] +
      ['<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>'] * 1000)
line = 'The quick brown fox jumps over the lazy dog while the harbour master counts the boats'
text = '\n'.join('BT /F1 11 Tf %d %.1f Td (%s %d) Tj ET' % (80 + b * 1800, 5692.5 - b * 1900 - i * 14, line, i)
                 for b in range(3) for i in range(40))
write(os.path.join(made, 'big-page.pdf'),
      ['<< /Type /Catalog /Pages 2 0 R >>', '<< /Type /Pages /Kids [3 0 R] /Count 1 >>',
       '<< /Type /Page /Parent 2 0 R /MediaBox [0 0 5792.5 5792.5] '
       '/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>',
       '<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>',
       '<< /Length %d >>\nstream\n%s\nendstream' % (len(text), text)])
EOF
qpdf --empty --pages "$made/big-page.pdf" "$made/big-page.pdf" -- "$made/big-pages.pdf"

rows=(
  "$inputs/en-10p.pdf|10-page A4 PDF (Debian FAQ in English, see \`bench/\`)"
  "$inputs/en-50p.pdf|50-page A4 PDF (same book; some pages need all four models)"
  "$made/blank-1000.pdf|1000 blank pages"
  "$inputs/dref-en-toc-pdf.pdf|a one-page A4 contents page in small type, drawn twice (\`dref-en-toc\` in \`bench/\`)"
  "$made/big-grey.png|the largest accepted image: 11585 × 11585 grey PNG with text"
  "$made/big-rgb.png|the same as an RGB PNG"
  "$made/big-rgb.jpg|the same as an RGB JPEG"
  "$made/big-rgb.tif|the same as an RGB TIFF"
  "$made/big-few.png|11585 × 11585 grey PNG with seven lines of text (read in bands by its size alone)"
  "$made/big-page.pdf|a PDF page drawn at 11585 × 11585 pixels, 120 lines of text"
  "$made/big-pages.pdf|two such pages"
  "$made/noise-grey.png|8000 × 8000 PNG of random noise (the slowest kind of bitmap found)"
  "$made/noise-rgb.png|the same noise in colour"
)
echo "| input | peak RSS | CPU time |"
echo "|---|--:|--:|"
failed=0
for row in "${rows[@]}"; do
  file=${row%%|*}
  grep -qE "$only" <<<"$(basename "$file")" || continue
  /usr/bin/time -v "$quirna" "$file" >"$made/out.json" 2>"$made/time.txt" || true
  kib=$(awk -F': ' '/Maximum resident/ {print $2}' "$made/time.txt")
  cpu=$(awk -F': ' '/User time/ {print $2}' "$made/time.txt")
  mib=$((kib / 1024))
  echo "| ${row#*|} | $mib MiB | $cpu s |"
  ((mib <= limitMiB)) || { echo "  over $limitMiB MiB: $file" >&2; failed=1; }
done
exit $failed
