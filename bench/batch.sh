#!/usr/bin/env bash
# quirna-ocr-batch against quirna-ocr driven by GNU parallel and by a shell loop, on the same
# files in the same run: 40 full-page images, 100 small images of a few lines, the 48 single pages
# of bench/run.sh as one-page PDFs, a 40-page PDF.
# Prints a Markdown table of wall time, CPU and peak RSS; raw rows in bench/work/batch.tsv.
#
#   bash bench/batch.sh              # about 20 minutes on 2 cores
#   bash bench/batch.sh pages book   # only these rows (of full, small, pages, book)
set -euo pipefail
sets=("$@")
((${#sets[@]})) || sets=(full small pages book)

bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$bench")
work="$bench/work"
cores=$(nproc)
mkdir -p "$work"
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

bash "$repo/scripts/install-deps.sh"
missing=()
for package in poppler-utils qpdf imagemagick time parallel; do
  [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == "install ok installed" ]] ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

log "building (Release) in bench/work/build"
{ cmake -S "$repo" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DQUIRNA_TESTS=OFF &&
  cmake --build "$work/build" -j"$cores"; } >"$work/build.log" 2>&1
single="$work/build/quirna-ocr"
batch="$work/build/quirna-ocr-batch"

inputs="$work/batch-inputs"
if [[ ! -d "$inputs/full" ]]; then
  # Body pages of the English Debian FAQ, a born-digital A4 book.
  faq="$work/root/usr/share/doc/debian/FAQ/debian-faq.en.pdf"
  if [[ ! -s "$faq" ]]; then
    mkdir -p "$work/debs"
    (cd "$work/debs" && { apt-get download debian-faq 2>/dev/null ||
      { apt-get update -qq && apt-get download debian-faq; }; }) >&2
    dpkg-deb -x "$(ls "$work"/debs/debian-faq_*.deb | head -n1)" "$work/root"
    gunzip -kf "$faq.gz"
  fi
  log "making inputs"
  mkdir -p "$inputs/full" "$inputs/small"
  mkdir -p "$inputs/pdf"
  qpdf --empty --pages "$faq" 9-48 -- "$inputs/pdf/book-40p.pdf"
  pdftoppm -r 144 -png "$inputs/pdf/book-40p.pdf" "$inputs/full/page"
  # Strips of three or four lines from the full pages: labels, snippets, screenshots.
  n=0
  for page in "$inputs"/full/page-*.png; do
    for top in 260 700 1140; do
      ((n++ < 100)) || break 2
      convert "$page" -crop 1000x110+120+$top +repage "$(printf '%s/small/strip-%03d.png' \
        "$inputs" "$n")"
    done
  done
fi
if [[ ! -d "$inputs/pages" ]]; then
  shopt -s nullglob
  singles=("$work"/inputs/*-pdf.pdf)
  shopt -u nullglob
  if ((${#singles[@]} == 0)); then
    echo "bench/work/inputs holds no single pages: run bash bench/run.sh --only -pdf --no-peer" >&2
    exit 1
  fi
  mkdir -p "$inputs/pages"
  cp "${singles[@]}" "$inputs/pages/"
fi

out="$work/batch-out"
rows="$work/batch.tsv"
rm -rf "$out"
mkdir -p "$out"
printf 'input\ttool\twall s\tCPU s\tpeak RSS MiB\n' >"$rows"
measure() {  # input tool command...
  local input=$1 tool=$2 timing
  shift 2
  timing=$(mktemp)
  /usr/bin/time -f '%e %U %S %M' -o "$timing" "$@"
  read -r wall user sys rss <"$timing"
  rm -f "$timing"
  printf '%s\t%s\t%s\t%.1f\t%d\n' "$input" "$tool" "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" \
    $((rss / 1024)) >>"$rows"
  log "$input $tool: wall $wall s"
}

"$single" "$inputs/full/page-01.png" >/dev/null  # models from disk into the page cache
load=$(cut -d' ' -f1 /proc/loadavg)
for set in full small pages; do
  [[ " ${sets[*]} " == *" $set "* ]] || continue
  mkdir -p "$out/$set-parallel" "$out/$set-loop"
  measure "$set" quirna-ocr-batch "$batch" --quiet --output "$out/$set-batch" "$inputs/$set"
  measure "$set" "parallel -j$cores" bash -c 'ls "$1"/* | parallel -j"$3" "$2 {} >$4/{/}.json"' \
    _ "$inputs/$set" "$single" "$cores" "$out/$set-parallel"
  measure "$set" "shell loop" bash -c 'for f in "$1"/*; do "$2" "$f" >"$3/${f##*/}.json"; done' \
    _ "$inputs/$set" "$single" "$out/$set-loop"
  diff -r --exclude=index.jsonl --exclude=.lock "$out/$set-batch" "$out/$set-parallel"
  diff -r "$out/$set-parallel" "$out/$set-loop"
done
if [[ " ${sets[*]} " == *" book "* ]]; then
  measure book-40p quirna-ocr-batch "$batch" --quiet --output "$out/pdf" "$inputs/pdf"
  measure book-40p quirna-ocr bash -c '"$1" "$2" >"$3"' _ "$single" "$inputs/pdf/book-40p.pdf" \
    "$out/book-40p.json"
  cmp "$out/pdf/book-40p.pdf.json" "$out/book-40p.json"
fi

echo "$(git -C "$repo" rev-parse --short HEAD), $cores cores, load $load at the start:"
echo
awk -F'\t' 'NR == 1 { print "| " $1 " | " $2 " | " $3 " | " $4 " | " $5 " |"; print "|---|---|--:|--:|--:|"; next }
  { print "| " $1 " | " $2 " | " $3 " | " $4 " | " $5 " |" }' "$rows"
