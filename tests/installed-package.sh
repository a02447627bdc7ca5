#!/usr/bin/env bash
# The Debian package as a user gets it: built, installed with apt-get on this machine, its files
# against the README's list, its version, the installed tools on samples/ and a folder against the
# build tree's, and every package the tools read a file of one that a bare machine would get with
# the package (so a dependency the build dependencies happen to bring here is still caught).
# Removed again at the end.
#
#   bash tests/installed-package.sh    (as root or with sudo; .ci/run runs it)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

fail() {
  echo "installed-package: $*" >&2
  exit 1
}

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
installed() {
  [[ $(dpkg-query -W -f='${Status}' quirna-ocr 2>/dev/null) == "install ok installed" ]]
}
installed && fail "quirna-ocr is installed already; remove it first (apt-get remove quirna-ocr)"

bash scripts/build-deb.sh
bash scripts/install-deps.sh strace
version=$(sed -n 's/^project(quirna-ocr VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-deb/quirna-ocr_${version}_$(dpkg --print-architecture).deb
build=(build-deb/src/obj-*)
build=${build[0]}
[[ -x "$build/quirna-ocr" ]] || fail "no build tree in build-deb/src/obj-*"

work=$(mktemp -d)
cleanup() {
  if installed; then
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y -qq quirna-ocr >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "installed-package: apt-get install ./$deb"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "./$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install failed"; }

# Files, not the folders that hold them.
dpkg -L quirna-ocr | while IFS= read -r path; do [[ -d "$path" ]] || echo "$path"; done |
  sort >"$work/installed"
sed -n '/^## Install/,/^## /p' README.md | sed -n 's|^    \(/[^ ]*\)$|\1|p' | sort >"$work/listed"
[[ -s "$work/listed" ]] || fail "no list of installed files under the README's Install"
diff -u "$work/listed" "$work/installed" || fail "dpkg -L differs from the README's list"

for page in quirna-ocr quirna-ocr-batch; do
  zcat "/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH .* \"quirna-ocr $version\"" ||
    fail "the manual page $page(1) does not name version $version in its .TH line"
done
batch_version=$(env -i PATH=/usr/bin:/bin quirna-ocr-batch --version 2>&1) || true
[[ "$batch_version" == "quirna-ocr-batch $version" ]] ||
  fail "quirna-ocr-batch --version printed '$batch_version', not 'quirna-ocr-batch $version'"

# The installed tools with nothing of this shell's environment, each run traced for the files it
# opens; their output must be the build tree's, byte for byte, with nothing on standard error.
traced() {
  local name=$1 status=0
  shift
  # strace inside env -i, so that only the tool is traced (env itself reads locale files).
  env -i PATH=/usr/bin:/bin strace -f -qq -e trace=open,openat -e status=successful \
    -o "$work/trace.$name" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
  [[ ! -s "$work/$name.err" ]] || { cat "$work/$name.err" >&2; fail "$* wrote to standard error"; }
  return $status
}
# The batch folder adds a PDF that names Helvetica without embedding it (drawn with the URW faces)
# and an image of each decoder's kind: what the samples do not reach of the libraries and fonts.
mkdir "$work/in"
inputs=(samples/harbour-notes.pdf samples/opening-hours.png tests/data/owner-password.pdf
        tests/data/line.tif tests/data/line.heic tests/data/line.gif tests/data/line.jpg)
for input in "${inputs[@]}"; do
  name=${input##*/}
  cp "$input" "$work/in/"
  "$build/quirna-ocr" "$input" >"$work/$name.expected"
  if [[ $input == samples/* ]]; then
    traced "$name" quirna-ocr "$repo/$input" || fail "quirna-ocr $input failed"
    cmp "$work/$name.expected" "$work/$name.out" ||
      fail "the installed quirna-ocr reads $input otherwise than the build tree"
  fi
done
traced batch quirna-ocr-batch --quiet --output "$work/out" "$work/in/" ||
  fail "quirna-ocr-batch on a folder failed"
for input in "${inputs[@]}"; do
  name=${input##*/}
  cmp "$work/$name.expected" "$work/out/$name.json" ||
    fail "the installed quirna-ocr-batch reads $input otherwise than the build tree's quirna-ocr"
done
[[ $(grep -c '"status":"ok"' "$work/out/index.jsonl") -eq ${#inputs[@]} ]] ||
  fail "index.jsonl has not an ok line for each input: $(cat "$work/out/index.jsonl")"

# Every opened regular file that a package owns must come from a package that apt would install
# with quirna-ocr on a machine that has nothing (asked with an empty package status, so that of
# alternatives it takes the one it would take there), one of priority required (on every Debian
# system: tzdata's zone files, say) or poppler-data (Poppler's optional tables: it reads them
# when present and runs as well without them).
sed -n 's/^[0-9]* *open\(at\)\?(.*"\(\/[^"]*\)".*) = [0-9].*/\2/p' "$work"/trace.* | sort -u |
  while IFS= read -r path; do
    [[ -f "$path" && "$path" != "$work"/* && "$path" != "$repo"/* ]] || continue
    real=$(realpath "$path")
    # With merged /usr, dpkg knows a file under the name its package ships it by.
    for name in "$path" "$real"; do
      echo "$name"
      case "$name" in
        /usr/*) echo "${name#/usr}" ;;
        *) echo "/usr$name" ;;
      esac
    done
  done | sort -u >"$work/opened"
[[ -s "$work/opened" ]] || fail "the traces name no opened file"
dpkg-query -S $(cat "$work/opened") 2>/dev/null | grep -v '^diversion ' |
  sed 's/: \//\t\//' >"$work/owners" || true
: >"$work/no-status"
apt-get --simulate --no-install-recommends -o Dir::State::status="$work/no-status" \
  install "./$deb" >"$work/bare.log" 2>&1 || { cat "$work/bare.log" >&2; fail "apt-get -s failed"; }
{
  echo poppler-data
  sed -n 's/^Inst \([^ ]*\) .*/\1/p' "$work/bare.log"
  dpkg-query -W -f='${Package} ${Priority}\n' | sed -n 's/ required$//p'
} | sed 's/:.*//' | sort -u >"$work/allowed"
grep -qx quirna-ocr "$work/allowed" || fail "apt-get -s would not install quirna-ocr"
# A file several packages share (a folder's cache, say) needs one of them allowed.
strays=$(awk -F'\t' 'NR == FNR { allowed[$1] = 1; next }
  { ok = 0; n = split($1, owners, ", ")
    for (i = 1; i <= n; ++i) { sub(/:.*/, "", owners[i]); if (owners[i] in allowed) ok = 1 }
    if (!ok) print "  " $1 ": " $2 }' "$work/allowed" "$work/owners")
[[ -z "$strays" ]] ||
  fail "opened files of packages quirna-ocr does not depend on:"$'\n'"$strays"
echo "installed-package: the tools opened files of" \
  "$(cut -f1 "$work/owners" | tr ',' '\n' | sed 's/^ *//; s/:.*//' | sort -u | wc -l) packages," \
  "all among the $(wc -l <"$work/allowed") allowed (what a bare machine gets with it," \
  "priority required, poppler-data)"

DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y -qq quirna-ocr >/dev/null
! installed || fail "apt-get remove left quirna-ocr installed"
while IFS= read -r path; do
  [[ ! -e "$path" ]] || fail "apt-get remove left $path"
done <"$work/installed"
echo "installed-package: $deb installs the README's files, reads samples/ as the build tree" \
  "does, depends on what it opens and is removed whole"
