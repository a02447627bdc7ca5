#!/usr/bin/env bash
# The package on a Debian 12 that has none of the build dependencies: a minimal system made with
# debootstrap in build-deb/fresh/, the package installed there with apt-get (no recommended
# packages), both tools run on samples/ and a small folder, their output against the build tree's,
# the package removed. Not in CI: fetching the base system takes minutes.
#
#   sudo bash tests/fresh-install.sh    (builds the package first when build-deb/ has none)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "fresh-install: $*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot)"

version=$(sed -n 's/^project(quirna-ocr VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-deb/quirna-ocr_${version}_$(dpkg --print-architecture).deb
[[ -f "$deb" ]] || bash scripts/build-deb.sh
bash scripts/install-deps.sh debootstrap
build=(build-deb/src/obj-*)
build=${build[0]}

root=$(pwd)/build-deb/fresh
mounted=()
cleanup() {
  local point unmounted=1
  for point in "${mounted[@]}"; do umount "$point" || unmounted=0; done
  # Never into a file system still mounted there.
  [[ $unmounted -eq 0 ]] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
rm -rf "$root"

echo "fresh-install: debootstrap --variant=minbase bookworm"
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; fail "debootstrap failed"; }
for point in proc sys; do
  mount -t "${point/sys/sysfs}" "$point" "$root/$point"
  mounted=("$root/$point" "${mounted[@]}")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}
base=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)

mkdir "$root/tmp/in"
inputs=(samples/harbour-notes.pdf samples/opening-hours.png tests/data/owner-password.pdf
        tests/data/line.tif tests/data/line.heic tests/data/line.gif tests/data/line.jpg)
cp "${inputs[@]}" "$root/tmp/in/"
cp "$deb" "$root/tmp/"
in_root apt-get update -qq
in_root apt-get install -y -qq --no-install-recommends \
  "/tmp/${deb##*/}" >"$root.log" 2>&1 || { cat "$root.log" >&2; fail "apt-get install failed"; }
total=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)
tools=$(in_root dpkg-query -W -f='${Package}\n' |
        grep -E -- '-dev$|^(gcc|g\+\+|cpp|cmake|make)(-[0-9]+)?$' || true)
[[ -z "$tools" ]] || fail "the package brought build tools or headers: $tools"

for input in "${inputs[@]}"; do
  name=${input##*/}
  expected=$("$build/quirna-ocr" "$input")
  if [[ $input == samples/* ]]; then
    actual=$(in_root quirna-ocr "/tmp/in/$name" 2>"$root.err") || true
    [[ "$actual" == "$expected" && ! -s "$root.err" ]] ||
      fail "quirna-ocr reads $input otherwise there than the build tree"
  fi
  printf '%s\n' "$expected" >"$root/tmp/$name.expected"
done
in_root quirna-ocr-batch --quiet --output /tmp/out /tmp/in/ 2>"$root.err" ||
  fail "quirna-ocr-batch on the folder failed there"
[[ ! -s "$root.err" ]] || fail "quirna-ocr-batch wrote to standard error: $(cat "$root.err")"
for input in "${inputs[@]}"; do
  name=${input##*/}
  cmp "$root/tmp/$name.expected" "$root/tmp/out/$name.json" ||
    fail "quirna-ocr-batch reads $input otherwise there than the build tree"
done

in_root apt-get remove -y -qq quirna-ocr >/dev/null
[[ ! -e "$root/usr/bin/quirna-ocr" && ! -e "$root/usr/share/quirna-ocr" ]] ||
  fail "apt-get remove left files of quirna-ocr"
rm -f "$root.log" "$root.err"
echo "fresh-install: $deb on a minimal Debian 12 ($base packages, $total with it and what it" \
  "depends on; no compiler, no -dev package) reads samples/ and the folder as the build tree does"
