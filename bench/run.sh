#!/usr/bin/env bash
# Measures quirna-ocr against Tesseract driven by hand (pdftoppm, then tesseract per page) on the
# same inputs in the same run, and writes the results table into bench/README.md.
#
#   bash bench/run.sh               # full set, about 45-60 minutes on 2 cores
#   bash bench/run.sh --quick       # English and German FAQ and four other pages
#   bash bench/run.sh --only REGEX  # only the inputs whose name matches (grep -E)
#   bash bench/run.sh --no-peer     # quirna-ocr only; the peer's rows from the last results.tsv
#   bash bench/run.sh --half check  # only the checking half (or tune: the tuning half)
# --only, --half and --no-peer combine. Only the full set, peer included, rewrites the README.
set -euo pipefail

quick=0 only='' peer=1 half=''
while (($#)); do
  case "$1" in
    --quick) quick=1 ;;
    --only) only=${2:?--only needs a regular expression}; shift ;;
    --only=*) only=${1#--only=} ;;
    --no-peer) peer=0 ;;
    --half) half=${2:?--half needs tune or check}; shift ;;
    --half=*) half=${1#--half=} ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
[[ -z "$half" || "$half" == tune || "$half" == check ]] ||
  { echo "--half takes tune or check, not '$half'" >&2; exit 2; }
# Only a complete run may stand in the README.
partial=$((quick || ${#only} || ${#half} || !peer ? 1 : 0))

bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$bench")
work="$bench/work"
langs="eng+nld+deu+fra"
cores=$(nproc)
convert=/usr/bin/convert  # /usr/local/bin may hold a stand-in that only makes previews
mkdir -p "$work"

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

install_missing() {
  local missing=() package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  log "installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

bash "$repo/scripts/install-deps.sh"
install_missing poppler-utils qpdf imagemagick time python3 \
  tesseract-ocr tesseract-ocr-eng tesseract-ocr-nld tesseract-ocr-deu tesseract-ocr-fra
if ! "$convert" -version 2>/dev/null | grep -q ImageMagick; then
  echo "$convert is not ImageMagick's convert" >&2
  exit 1
fi
python3 "$bench/score.py" --self-check >/dev/null

log "building quirna-ocr (Release) in bench/work/build"
if ! { cmake -S "$repo" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DQUIRNA_TESTS=OFF &&
  cmake --build "$work/build" -j"$cores"; } >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  exit 1
fi
quirna="$work/build/quirna-ocr"
# Others edit the tree while this runs; what was built is what gets reported.
revision=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=$(git -C "$repo" status --porcelain -- . ':!bench' 2>/dev/null | wc -l)

mkdir -p "$work/debs" "$work/root"
# Unpacks a Debian package into bench/work/root once and prints the path of one of its files,
# gunzipped when the package ships it compressed.
fetch() {  # package path-in-package
  local package=$1 file="$work/root/${2%.gz}"
  if [[ ! -s "$file" ]]; then
    if ! ls "$work/debs/${package}"_*.deb >/dev/null 2>&1; then
      (cd "$work/debs" && { apt-get download "$package" 2>/dev/null ||
        { apt-get update -qq && apt-get download "$package"; }; }) >&2
    fi
    dpkg-deb -x "$(ls "$work/debs/${package}"_*.deb | head -n1)" "$work/root"
    [[ "$2" == *.gz ]] && gunzip -kf "$work/root/$2"
  fi
  echo "$file"
}

# The Debian FAQ ships the same born-digital PDF (xdvipdfmx, A4) in all four languages.
declare -A package_of=([en]=debian-faq [de]=debian-faq-de [fr]=debian-faq-fr [nl]=debian-faq-nl)
if ((quick)); then languages=(en de); else languages=(en de fr nl); fi
declare -A faq_of=()
for lang in "${languages[@]}"; do
  faq_of[$lang]=$(fetch "${package_of[$lang]}" "usr/share/doc/debian/FAQ/debian-faq.$lang.pdf.gz")
done

# Single pages from other documentation that Debian ships: small type, tables of contents,
# reference cards, footnotes, two columns, tables, letters and code, from several producers.
# name, package, file in the package, page, kind, then flags: p also makes a photo-like
# variant, q keeps the page in --quick, c puts it in the checking half (read, never tuned on).
other_pages=(
  "refcard-en-p1       debian-refcard          usr/share/doc/debian-refcard/refcard-en-a4.pdf.gz 1 refcard -"
  "refcard-de-p1       debian-refcard          usr/share/doc/debian-refcard/refcard-de-a4.pdf.gz 1 refcard pq"
  "refcard-fr-p2       debian-refcard          usr/share/doc/debian-refcard/refcard-fr-a4.pdf.gz 2 refcard c"
  "refcard-nl-p2       debian-refcard          usr/share/doc/debian-refcard/refcard-nl-a4.pdf.gz 2 refcard p"
  "dref-en-toc         debian-reference-en     usr/share/debian-reference/debian-reference.en.pdf 6 toc pq"
  "dref-de-table       debian-reference-de     usr/share/debian-reference/debian-reference.de.pdf 49 table -"
  "dref-fr-code        debian-reference-fr     usr/share/debian-reference/debian-reference.fr.pdf 64 code p"
  "devref-de-toc       developers-reference-de usr/share/developers-reference/de/developers-reference.pdf 4 toc c"
  "devref-fr-footnotes developers-reference-fr usr/share/developers-reference/fr/developers-reference.pdf 20 footnotes pq"
  "mom-fr-toc          groff                   usr/share/doc/groff-base/examples/mom/mon_premier_doc.pdf.gz 2 toc -"
  "mom-two-column      groff                   usr/share/doc/groff-base/examples/mom/sample_docs.pdf.gz 10 two-column p"
  "mom-letter-en       groff                   usr/share/doc/groff-base/examples/mom/letter.pdf.gz 1 letter pq"
  "koma-letter-de      texlive-lang-german     usr/share/doc/texlive-doc/latex/koma-script-examples/Kapitel-4/result/letter-23.pdf 1 letter pc"
  "l2kurz-de-table     texlive-lang-german     usr/share/doc/texlive-doc/latex/lshort-german/l2kurz.pdf 14 table pc"
  "latexsheet-de-p1    texlive-lang-german     usr/share/doc/texlive-doc/latex/latexcheat-de/latexsheet-de.pdf 1 refcard c"
  "lshort-nl-footnotes texlive-lang-european   usr/share/doc/texlive-doc/latex/lshort-dutch/lshort-nl-1.3.pdf 19 footnotes pc"
  "lshort-nl-code      texlive-lang-european   usr/share/doc/texlive-doc/latex/lshort-dutch/lshort-nl-1.3.pdf 21 code c"
  "charis-faq-en       fonts-sil-charis        usr/share/doc/fonts-sil-charis/documentation/pdf/faq.pdf.gz 1 body p"
  # Pages the reading rules were not tuned on when they were added: three columns, forms,
  # letters, short table cells, heads over two columns, a paragraph in another language.
  "pari-refcard-p1       pari-doc                      usr/share/pari/doc/refcard.pdf 1 three-column p"
  "pari-refcard-p3       pari-doc                      usr/share/pari/doc/refcard.pdf 3 three-column c"
  "pari-ell-p1           pari-doc                      usr/share/pari/doc/refcard-ell.pdf 1 three-column pc"
  "asy-refcard-p1        asymptote-doc                 usr/share/doc/asymptote/asyRefCard.pdf 1 refcard -"
  "asy-refcard-p2        asymptote-doc                 usr/share/doc/asymptote/asyRefCard.pdf 2 refcard pc"
  "gnuplot-toc           gnuplot-doc                   usr/share/doc/gnuplot/gnuplot.pdf 2 toc p"
  "gap-tut-toc           gap-doc                       usr/share/gap/doc/tut/manual.pdf 3 toc c"
  "gap-tut-code          gap-doc                       usr/share/gap/doc/tut/manual.pdf 11 code -"
  "texlive-en-toc        texlive-base                  usr/share/doc/texlive-doc/texlive/texlive-en/texlive-en.pdf 2 toc c"
  "mom-pdf-toc           groff                         usr/share/doc/groff-base/examples/mom/mom-pdf.pdf.gz 2 toc -"
  "lily-usage-de-toc     lilypond-doc-pdf-de           usr/share/doc/lilypond/html/Documentation/usage.de.pdf 3 toc c"
  "euro-abstract         texlive-fonts-recommended-doc usr/share/doc/texlive-doc/latex/euro/euro.pdf 1 two-column p"
  "startex-ideas         texlive-formats-extra         usr/share/doc/texlive-doc/otherformats/startex/ideas.pdf 1 two-column pc"
  "germkorr-mixed        texlive-lang-german           usr/share/doc/texlive-doc/latex/germkorr/germkorr.pdf 1 mixed c"
  "lily-web-nl-mixed     lilypond-doc-pdf-nl           usr/share/doc/lilypond/html/Documentation/web.nl.pdf 37 mixed p"
  "mom-typesetting-mixed groff                         usr/share/doc/groff-base/examples/mom/typesetting.pdf.gz 1 mixed c"
  "koma-brief-din        texlive-lang-german           usr/share/doc/texlive-doc/latex/koma-script-examples/Anhang-C/result/briefDIN.pdf 1 letter -"
  "koma-nippon-letter    texlive-lang-german           usr/share/doc/texlive-doc/latex/koma-script-examples/Anhang-C/result/letter-nipponA.pdf 1 letter pc"
  "milog-form            texlive-lang-german           usr/share/doc/texlive-doc/latex/milog/milog-formular.pdf 1 form -"
  "milog-table           texlive-lang-german           usr/share/doc/texlive-doc/latex/milog/milog-example.pdf 1 table pc"
  "booktabs-de-table     texlive-lang-german           usr/share/doc/texlive-doc/latex/booktabs-de/booktabs-de.pdf 2 table -"
  "europecv-form         texlive-lang-german           usr/share/doc/texlive-doc/latex/translation-europecv-de/templates/cv_template_de.pdf 1 form c"
  "jura-footnotes        texlive-lang-german           usr/share/doc/texlive-doc/latex/hausarbeit-jura/hausarbeit-jura.pdf 3 footnotes p"
  "lualatex-de-footnotes texlive-lang-german           usr/share/doc/texlive-doc/latex/lualatex-doc-de/lualatex-doc-DE.pdf 1 footnotes c"
  "texdoc-en             texlive-base                  usr/share/doc/texlive-doc/support/texdoc/texdoc.pdf 1 body -"
  "lily-learning-fr      lilypond-doc-pdf-fr           usr/share/doc/lilypond/html/Documentation/learning.fr.pdf 26 body pc"
  "lily-learning-nl      lilypond-doc-pdf-nl           usr/share/doc/lilypond/html/Documentation/learning.nl.pdf 25 body -"
  "lily-essay-de         lilypond-doc-pdf-de           usr/share/doc/lilypond/html/Documentation/essay.de.pdf 26 body c"
  "lily-web-de-code      lilypond-doc-pdf-de           usr/share/doc/lilypond/html/Documentation/web.de.pdf 73 code c"
  "lily-web-fr-body      lilypond-doc-pdf-fr           usr/share/doc/lilypond/html/Documentation/web.fr.pdf 78 body -"
  # A source listing beside what it typesets (Spanish: the tool's models do not cover it, so its
  # words score low for both tools; it is here for its order).
  "lshort-es-code        texlive-lang-spanish          usr/share/doc/texlive-doc/latex/lshort-spanish/lshort-a4.pdf 20 code -"
)

inputs="$work/inputs"
truth="$work/truth"
out="$work/out"
# out/ is kept: --no-peer points at the peer's earlier outputs there.
rm -rf "$inputs" "$truth"
mkdir -p "$inputs" "$truth" "$out"
: >"$work/stderr.log"

# Truth is the PDF's own text layer, one file per page.
write_truth() {  # pdf first last name
  local page number=1
  mkdir -p "$truth/$4"
  for ((page = $2; page <= $3; page++, number++)); do
    pdftotext -enc UTF-8 -f "$page" -l "$page" "$1" \
      "$(printf '%s/%s/page-%03d.txt' "$truth" "$4" "$number")"
  done
}

wanted() {  # name [half]
  [[ -z "$half" || "$half" == "${2:-tune}" ]] || return 1
  [[ -z "$only" ]] || grep -qE -- "$only" <<<"$1"
}

names=() groups=() pages=() files=() kinds=() sources=() halves=()
# source: for a photo-like input, the clean image it was made from. The FAQ is all tuning half.
add_input() {  # name group pages file kind [source [half]]
  wanted "$1" "${7:-tune}" || return 0
  names+=("$1"); groups+=("$2"); pages+=("$3"); files+=("$4"); kinds+=("$5"); sources+=("${6:--}")
  halves+=("${7:-tune}")
}

log "making inputs"
# Pages 9-18 are body text in every language (the table of contents comes before).
for lang in "${languages[@]}"; do
  qpdf --empty --pages "${faq_of[$lang]}" 9-18 -- "$inputs/$lang-10p.pdf"
  write_truth "${faq_of[$lang]}" 9 18 "$lang-10p"
  add_input "$lang-10p" pdf 10 "$inputs/$lang-10p.pdf" body
done
if ((!quick)); then
  qpdf --empty --pages "${faq_of[en]}" 9-58 -- "$inputs/en-50p.pdf"
  write_truth "${faq_of[en]}" 9 58 "en-50p"
  add_input "en-50p" pdf-long 50 "$inputs/en-50p.pdf" body
fi

# Photo-like: tilted, lit from one corner, slightly out of focus, sensor noise, JPEG at 60.
lighting=(\( +clone -sparse-color Barycentric '0,0 gray98 %[fx:w-1],%[fx:h-1] gray60' \)
  -compose Multiply -composite)
make_photo() {  # image angle output
  "$convert" "$1" -background white -rotate "$2" +repage "${lighting[@]}" -blur 0x0.8 \
    -seed 1 -attenuate 1.0 +noise Gaussian -quality 60 "$3"
}

declare -A angle_of=([en]=1.5 [de]=-2 [fr]=2.5 [nl]=-3)
for lang in "${languages[@]}"; do
  pdftoppm -r 144 -png -f 10 -l 10 -singlefile "${faq_of[$lang]}" "$inputs/$lang-page"
  write_truth "${faq_of[$lang]}" 10 10 "$lang-page"
  add_input "$lang-page" image 1 "$inputs/$lang-page.png" body
  make_photo "$inputs/$lang-page.png" "${angle_of[$lang]}" "$inputs/$lang-photo.jpg"
  cp -r "$truth/$lang-page" "$truth/$lang-photo"
  add_input "$lang-photo" photo 1 "$inputs/$lang-photo.jpg" body "$lang-page"
done
if ((!quick)); then
  # One degradation at a time, to show which one costs words.
  page="$inputs/en-page.png"
  "$convert" "$page" -background white -rotate 2.5 +repage "$inputs/en-rotated.png"
  "$convert" "$page" "${lighting[@]/gray60/gray45}" "$inputs/en-lighting.png"
  "$convert" "$page" -blur 0x1.2 "$inputs/en-blur.png"
  "$convert" "$page" -seed 1 -attenuate 1.5 +noise Gaussian "$inputs/en-noise.png"
  "$convert" "$page" -quality 60 "$inputs/en-jpeg60.jpg"
  for variant in rotated lighting blur noise jpeg60; do
    file=$(ls "$inputs/en-$variant".*)
    cp -r "$truth/en-page" "$truth/en-$variant"
    add_input "en-$variant" photo 1 "$file" body en-page
  done
fi

# Each other page as a one-page PDF, as a clean 144-DPI image and, where flagged, as a photo.
# The tilt goes with the page's place in the list, so --quick and --only make the same photos.
angles=(1.5 -2 2.5 -3)
for index in "${!other_pages[@]}"; do
  read -r base package path page kind flags <<<"${other_pages[$index]}"
  ((quick)) && [[ "$flags" != *q* ]] && continue
  part=tune
  [[ "$flags" == *c* ]] && part=check
  wanted "$base-pdf" $part || wanted "$base-img" $part || wanted "$base-photo" $part || continue
  source_pdf=$(fetch "$package" "$path")
  qpdf --empty --pages "$source_pdf" "$page" -- "$inputs/$base-pdf.pdf"
  write_truth "$source_pdf" "$page" "$page" "$base-pdf"
  add_input "$base-pdf" pdf 1 "$inputs/$base-pdf.pdf" "$kind" - $part
  pdftoppm -r 144 -png -f "$page" -l "$page" -singlefile "$source_pdf" "$inputs/$base-img"
  cp -r "$truth/$base-pdf" "$truth/$base-img"
  add_input "$base-img" image 1 "$inputs/$base-img.png" "$kind" - $part
  [[ "$flags" == *p* ]] || continue
  make_photo "$inputs/$base-img.png" "${angles[index % ${#angles[@]}]}" "$inputs/$base-photo.jpg"
  cp -r "$truth/$base-pdf" "$truth/$base-photo"
  add_input "$base-photo" photo 1 "$inputs/$base-photo.jpg" "$kind" "$base-img" $part
done
if ((${#names[@]} == 0)); then
  echo "no input matches --only '$only'${half:+ in the $half half}" >&2
  exit 2
fi

results="$work/results.tsv"
previous="$work/results.previous.tsv"
[[ -s "$results" ]] && mv "$results" "$previous"
columns=(input group kind source pages tool wall user sys rss_kb load status output truth half)
(IFS=$'\t'; echo "${columns[*]}") >"$results"

# Runs "$@" under /usr/bin/time and appends a results row; CPU and peak RSS cover every process
# the command waited for, so a pipeline's CPU is summed and its RSS is its largest process.
measure() {  # index pages tool output stdout-file command...
  local name=${names[$1]} npages=$2 tool=$3 output=$4 stdout=$5 timing status=0 load
  local row=("${names[$1]}" "${groups[$1]}" "${kinds[$1]}" "${sources[$1]}") in_half=${halves[$1]}
  shift 5
  timing=$(mktemp)
  load=$(cut -d' ' -f1 /proc/loadavg)
  /usr/bin/time -f '%e %U %S %M' -o "$timing" "$@" >"$stdout" 2>>"$work/stderr.log" || status=$?
  read -r wall user sys rss < <(tail -n1 "$timing")
  rm -f "$timing"
  row+=("$npages" "$tool" "$wall" "$user" "$sys" "$rss" "$load" "$status" "$output" "$truth/$name"
    "$in_half")
  (IFS=$'\t'; echo "${row[*]}") >>"$results"
  log "$(printf '%-20s %-16s wall %6ss  cpu %6ss  rss %6s KB  exit %s' "$name" "$tool" "$wall" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN{print u + s}')" "$rss" "$status")"
}

# The peer as a user would script it: render every page, then one tesseract per page image.
peer_sequential='pdftoppm -r 144 -png "$1" "$2/p" &&
  for image in "$2"/p-*.png; do tesseract "$image" - -l "$3" >"${image%.png}.txt"; done'
peer_parallel='pdftoppm -r 144 -png "$1" "$2/p" &&
  printf "%s\0" "$2"/p-*.png |
  xargs -0 -P "$4" -I{} sh -c '\''tesseract "$1" - -l "$2" >"${1%.png}.txt"'\'' _ {} "$3"'

run_quirna() {  # index
  local name=${names[$1]}
  measure "$1" "${pages[$1]}" quirna "$out/$name/quirna.json" \
    "$out/$name/quirna.json" env -u OMP_THREAD_LIMIT -u OMP_NUM_THREADS "$quirna" "${files[$1]}"
}

run_peer() {  # index tool
  local name=${names[$1]} tool=$2
  local dir="$out/$name/$tool"
  rm -rf "$dir"
  mkdir -p "$dir"
  local limit=(env OMP_THREAD_LIMIT=1)
  [[ "$tool" == peer-omp-default ]] && limit=(env -u OMP_THREAD_LIMIT -u OMP_NUM_THREADS)
  if [[ "${groups[$1]}" == pdf* ]]; then
    local script=$peer_sequential
    [[ "$tool" == peer-par ]] && script=$peer_parallel
    measure "$1" "${pages[$1]}" "$tool" "$dir" /dev/null \
      "${limit[@]}" bash -c "$script" _ "${files[$1]}" "$dir" "$langs" "$cores"
  else
    measure "$1" 1 "$tool" "$dir" "$dir/page-1.txt" \
      "${limit[@]}" tesseract "${files[$1]}" - -l "$langs"
  fi
}

# Copies the peer's rows for an input from the previous results, when it had the same columns.
reuse_peer() {  # index
  [[ -s "$previous" && "$(head -n1 "$previous")" == "$(head -n1 "$results")" ]] || return 1
  awk -F'\t' -v name="${names[$1]}" 'NR > 1 && $1 == name && $6 != "quirna" { print; found = 1 }
    END { exit !found }' "$previous" >>"$results"
}

# Taken before our own runs add to the load average.
started=$SECONDS
load_before=$(uptime)
# Untimed warm-up, so the first timed run does not pay for loading the models from disk.
"$quirna" "$inputs/${languages[0]}-page.png" >/dev/null || true
((peer)) && { OMP_THREAD_LIMIT=1 tesseract "$inputs/${languages[0]}-page.png" - -l "$langs" \
  &>/dev/null || true; }

log "measuring ${#names[@]} inputs; load: $load_before"
for i in "${!names[@]}"; do
  mkdir -p "$out/${names[$i]}"
  run_quirna "$i"
  if ((!peer)); then
    reuse_peer "$i" || log "${names[$i]}: no earlier peer results to reuse"
    continue
  fi
  run_peer "$i" peer-seq
  # Spreading a single page over the cores changes nothing.
  [[ "${groups[$i]}" == pdf* && ${pages[$i]} -gt 1 ]] && run_peer "$i" peer-par
  # The OpenMP default shows what an unconfigured peer burns; it is slow, so only here.
  case "${names[$i]}" in
    en-page) run_peer "$i" peer-omp-default ;;
    en-10p) ((quick)) || run_peer "$i" peer-omp-default ;;
  esac
done
load_after=$(uptime)

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
memory=$(free -h | awk '/^Mem:/{print $2}')
meta="$work/meta.md"
{
  echo "Run on $(date -u '+%Y-%m-%d %H:%M UTC'), $cores cores ($cpu_model), $memory memory,"
  echo "quirna-ocr built from $revision with $dirty uncommitted file(s) in the working tree;"
  echo "$(tesseract --version 2>&1 | head -n1), $(pdftoppm -v 2>&1 | head -n1)."
  echo
  echo "- uptime before: \`${load_before## }\`"
  echo "- uptime after: \`${load_after## }\`"
  echo
  # This run alone keeps the load at most near the core count.
  busy=$(awk -v a="${load_before##*average: }" -v b="${load_after##*average: }" -v n="$cores" \
    'BEGIN { split(a, x, ","); split(b, y, ","); print (x[1] > 0.5 || y[1] > n + 0.5) ? 1 : 0 }')
  if ((busy)); then
    echo "Other work was running on the machine (load above 0.5 before this run started, or above"
    echo "the core count after it), so times are inflated and noisy; where \`peer-seq\` shows a"
    echo "wall time well above its CPU time, it was waiting for a core. The parallel runs"
    echo "(quirna on a PDF, \`peer-par\`) lose most, as they seldom get both cores."
  fi
  ((peer)) || echo "The peer was not run: its rows are those of the run before."
  echo "The measurements took $(((SECONDS - started) / 60)) minutes."
} >"$meta"

echo
cat "$meta"
echo
if ((partial)); then
  python3 "$bench/score.py" "$results" | tee "$work/results.md"
else
  python3 "$bench/score.py" "$results" --readme "$bench/README.md" --meta "$meta" |
    tee "$work/results.md"
fi
