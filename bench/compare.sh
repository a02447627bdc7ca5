#!/usr/bin/env bash
# Measures an earlier commit of quirna-ocr against the working tree on the same inputs, the two
# runs of each input one after the other, so that a change's cost is not lost in the machine's
# noise between two full runs of bench/run.sh (whose inputs and truth it uses: run that first).
#
#   bash bench/compare.sh REV                  # every PDF input (group pdf and pdf-long)
#   bash bench/compare.sh REV INPUT...         # these inputs, e.g. dref-en-toc-pdf en-10p
#
# Prints word F1, CPU (user + system), peak RSS and wall time per input, then the sums.
set -euo pipefail

rev=${1:?usage: bench/compare.sh REV [INPUT...]}
shift
bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$bench")
work="$bench/work"
[[ -d "$work/truth" ]] || { echo "run bench/run.sh first: $work/truth is missing" >&2; exit 1; }

build() {  # build DIR SOURCE
  mkdir -p "$1"
  { cmake -S "$2" -B "$1" -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$1" -j"$(nproc)" --target quirna-ocr; } >"$1/build.log" 2>&1 ||
    { cat "$1/build.log" >&2; exit 1; }
}
commit=$(git -C "$repo" rev-parse --short "$rev")
before="$work/compare/$commit"
if [[ ! -x "$before/build/quirna-ocr" ]]; then
  rm -rf "$before/src"
  mkdir -p "$before/src"
  git -C "$repo" archive "$commit" | tar -x -C "$before/src"
  build "$before/build" "$before/src"
fi
build "$work/build" "$repo"

inputs=("$@")
if [[ ${#inputs[@]} -eq 0 ]]; then
  for file in "$work"/inputs/*-10p.pdf "$work"/inputs/*-50p.pdf "$work"/inputs/*-pdf.pdf; do
    name=$(basename "$file")
    inputs+=("${name%.*}")
  done
fi

out="$work/compare/out"
mkdir -p "$out"
for input in "${inputs[@]}"; do
  file=$(ls "$work/inputs/$input".*)
  for side in before after; do
    binary="$work/build/quirna-ocr"
    [[ $side == before ]] && binary="$before/build/quirna-ocr"
    /usr/bin/time -f '%U %S %M %e' -o "$out/$input.$side.time" \
      "$binary" "$file" >"$out/$input.$side.json" 2>/dev/null || true
  done
done

python3 - "$work" "$out" "$commit" "${inputs[@]}" <<'EOF'
import json, sys
from collections import Counter
work, out, commit, inputs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
sys.path.insert(0, work + '/..')
import score

def measure(input, side):
    pages = json.load(open(f'{out}/{input}.{side}.json'))
    common = truth = found = 0
    if isinstance(pages, list):
        for page in pages:
            number = max(1, page['pageNumber'])
            t = Counter(score.words(open(f'{work}/truth/{input}/page-{number:03d}.txt').read()))
            o = Counter(score.words(page['text']))
            common += sum((t & o).values()); truth += sum(t.values()); found += sum(o.values())
    user, system, rss, wall = open(f'{out}/{input}.{side}.time').read().split()[-4:]
    return common, truth, found, float(user) + float(system), int(rss) // 1024, float(wall)

def f1(common, truth, found):
    p, r = common / max(1, found), common / max(1, truth)
    return 2 * p * r / max(1e-9, p + r)

print(f'| input | F1 {commit} | F1 now | CPU s {commit} | CPU s now | RSS MiB {commit} | RSS MiB now | wall s {commit} | wall s now |')
print('|---|--:|--:|--:|--:|--:|--:|--:|--:|')
sums = {side: [0, 0, 0, 0.0] for side in ('before', 'after')}
for input in inputs:
    b, a = measure(input, 'before'), measure(input, 'after')
    if not input.endswith('-50p'):  # it repeats the 10-page cut's words
        for side, m in (('before', b), ('after', a)):
            for i in range(3):
                sums[side][i] += m[i]
    sums['before'][3] += b[3]; sums['after'][3] += a[3]
    print(f'| {input} | {f1(*b[:3]):.3f} | {f1(*a[:3]):.3f} | {b[3]:.2f} | {a[3]:.2f} | {b[4]} | {a[4]} | {b[5]:.1f} | {a[5]:.1f} |')
b, a = sums['before'], sums['after']
print(f'\nword error (without -50p): {1 - f1(*b[:3]):.4f} -> {1 - f1(*a[:3]):.4f}; '
      f'CPU: {b[3]:.1f} -> {a[3]:.1f} s ({a[3] - b[3]:+.1f} s, {a[3] / b[3]:.2f}x)')
EOF
