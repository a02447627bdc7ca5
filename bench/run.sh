#!/usr/bin/env bash
# Measures quirna-ocr against Tesseract driven by hand (pdftoppm, then tesseract per page) on the
# same inputs in the same run, and writes the results table into bench/README.md.
#
#   bash bench/run.sh           # full set, about 15-25 minutes on 2 cores
#   bash bench/run.sh --quick   # English and German only, no 50-page document; README untouched
set -euo pipefail

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h | --help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $arg" >&2; exit 2 ;;
  esac
done

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

# The Debian FAQ ships the same born-digital PDF (xdvipdfmx, A4) in all four languages.
declare -A package_of=([en]=debian-faq [de]=debian-faq-de [fr]=debian-faq-fr [nl]=debian-faq-nl)
if ((quick)); then languages=(en de); else languages=(en de fr nl); fi
mkdir -p "$work/debs" "$work/root"
for lang in "${languages[@]}"; do
  pdf="$work/root/usr/share/doc/debian/FAQ/debian-faq.$lang.pdf"
  [[ -s "$pdf" ]] && continue
  package=${package_of[$lang]}
  if ! ls "$work/debs/${package}"_*.deb >/dev/null 2>&1; then
    (cd "$work/debs" && { apt-get download "$package" 2>/dev/null ||
      { apt-get update -qq && apt-get download "$package"; }; }) >&2
  fi
  dpkg-deb -x "$(ls "$work/debs/${package}"_*.deb | head -n1)" "$work/root"
  gunzip -kf "$pdf.gz"
done

inputs="$work/inputs"
truth="$work/truth"
out="$work/out"
rm -rf "$inputs" "$truth" "$out"
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

names=() groups=() pages=() files=()
add_input() { names+=("$1"); groups+=("$2"); pages+=("$3"); files+=("$4"); }

log "making inputs"
# Pages 9-18 are body text in every language (the table of contents comes before).
for lang in "${languages[@]}"; do
  source_pdf="$work/root/usr/share/doc/debian/FAQ/debian-faq.$lang.pdf"
  qpdf --empty --pages "$source_pdf" 9-18 -- "$inputs/$lang-10p.pdf"
  write_truth "$source_pdf" 9 18 "$lang-10p"
  add_input "$lang-10p" pdf 10 "$inputs/$lang-10p.pdf"
done
if ((!quick)); then
  en_pdf="$work/root/usr/share/doc/debian/FAQ/debian-faq.en.pdf"
  qpdf --empty --pages "$en_pdf" 9-58 -- "$inputs/en-50p.pdf"
  write_truth "$en_pdf" 9 58 "en-50p"
  add_input "en-50p" pdf-long 50 "$inputs/en-50p.pdf"
fi

# Photo-like: tilted, lit from one corner, slightly out of focus, sensor noise, JPEG at 60.
declare -A angle_of=([en]=1.5 [de]=-2 [fr]=2.5 [nl]=-3)
lighting=(\( +clone -sparse-color Barycentric '0,0 gray98 %[fx:w-1],%[fx:h-1] gray60' \)
  -compose Multiply -composite)
for lang in "${languages[@]}"; do
  source_pdf="$work/root/usr/share/doc/debian/FAQ/debian-faq.$lang.pdf"
  pdftoppm -r 144 -png -f 10 -l 10 -singlefile "$source_pdf" "$inputs/$lang-page"
  write_truth "$source_pdf" 10 10 "$lang-page"
  add_input "$lang-page" image 1 "$inputs/$lang-page.png"
  "$convert" "$inputs/$lang-page.png" -background white -rotate "${angle_of[$lang]}" +repage \
    "${lighting[@]}" -blur 0x0.8 -seed 1 -attenuate 1.0 +noise Gaussian -quality 60 \
    "$inputs/$lang-photo.jpg"
  cp -r "$truth/$lang-page" "$truth/$lang-photo"
  add_input "$lang-photo" photo 1 "$inputs/$lang-photo.jpg"
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
    add_input "en-$variant" photo 1 "$file"
  done
fi

results="$work/results.tsv"
columns=(input group pages tool wall user sys rss_kb load status output truth)
(IFS=$'\t'; echo "${columns[*]}") >"$results"

# Runs "$@" under /usr/bin/time and appends a results row; CPU and peak RSS cover every process
# the command waited for, so a pipeline's CPU is summed and its RSS is its largest process.
measure() {  # name group pages tool output stdout-file command...
  local name=$1 group=$2 npages=$3 tool=$4 output=$5 stdout=$6 timing status=0 load
  shift 6
  timing=$(mktemp)
  load=$(cut -d' ' -f1 /proc/loadavg)
  /usr/bin/time -f '%e %U %S %M' -o "$timing" "$@" >"$stdout" 2>>"$work/stderr.log" || status=$?
  read -r wall user sys rss < <(tail -n1 "$timing")
  rm -f "$timing"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$group" "$npages" "$tool" \
    "$wall" "$user" "$sys" "$rss" "$load" "$status" "$output" "$truth/$name" >>"$results"
  log "$(printf '%-12s %-16s wall %6ss  cpu %6ss  rss %6s KB  exit %s' "$name" "$tool" "$wall" \
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
  measure "$name" "${groups[$1]}" "${pages[$1]}" quirna "$out/$name/quirna.json" \
    "$out/$name/quirna.json" env -u OMP_THREAD_LIMIT -u OMP_NUM_THREADS "$quirna" "${files[$1]}"
}

run_peer() {  # index tool
  local name=${names[$1]} tool=$2
  local dir="$out/$name/$tool"
  mkdir -p "$dir"
  local limit=(env OMP_THREAD_LIMIT=1)
  [[ "$tool" == peer-omp-default ]] && limit=(env -u OMP_THREAD_LIMIT -u OMP_NUM_THREADS)
  if [[ "${groups[$1]}" == pdf* ]]; then
    local script=$peer_sequential
    [[ "$tool" == peer-par ]] && script=$peer_parallel
    measure "$name" "${groups[$1]}" "${pages[$1]}" "$tool" "$dir" /dev/null \
      "${limit[@]}" bash -c "$script" _ "${files[$1]}" "$dir" "$langs" "$cores"
  else
    measure "$name" "${groups[$1]}" 1 "$tool" "$dir" "$dir/page-1.txt" \
      "${limit[@]}" tesseract "${files[$1]}" - -l "$langs"
  fi
}

# Taken before our own runs add to the load average.
started=$SECONDS
load_before=$(uptime)
# Untimed warm-up, so the first timed run does not pay for loading the models from disk.
"$quirna" "$inputs/${languages[0]}-page.png" >/dev/null || true
OMP_THREAD_LIMIT=1 tesseract "$inputs/${languages[0]}-page.png" - -l "$langs" &>/dev/null || true

log "measuring ${#names[@]} inputs; load: $load_before"
for i in "${!names[@]}"; do
  mkdir -p "$out/${names[$i]}"
  run_quirna "$i"
  run_peer "$i" peer-seq
  [[ "${groups[$i]}" == pdf* ]] && run_peer "$i" peer-par
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
  echo "The measurements took $(((SECONDS - started) / 60)) minutes."
} >"$meta"

echo
cat "$meta"
echo
if ((quick)); then
  python3 "$bench/score.py" "$results" | tee "$work/results.md"
else
  python3 "$bench/score.py" "$results" --readme "$bench/README.md" --meta "$meta" |
    tee "$work/results.md"
fi
