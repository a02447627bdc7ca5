#!/usr/bin/env bash
# Builds the Debian package from the working tree into build-deb/ and checks it with lintian.
# The version is the one project() states in CMakeLists.txt; debian/changelog is written from it.
set -euo pipefail
cd "$(dirname "$0")/.."

# debian/control's Build-Depends too, in case the list there has one that install-deps.sh lacks.
mapfile -t build_depends < <(awk '/^Build-Depends:/ { field = 1; sub(/^[^:]*:/, ""); print; next }
                                  field && /^[ \t]/ { print; next } { field = 0 }' debian/control |
  tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v '^$\|^debhelper-compat$')
bash scripts/install-deps.sh debhelper lintian "${build_depends[@]}"

version=$(sed -n 's/^project(quirna-ocr VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || { echo "build-deb: no version in CMakeLists.txt's project()" >&2; exit 1; }
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
# Dated by the last commit, so that a rebuild of the same tree gives the same package.
date=$(TZ=UTC date -R -d "@$(git log -1 --format=%ct)")
cat > debian/changelog <<END
quirna-ocr ($version) unstable; urgency=medium

  * Built from the source tree at commit $(git rev-parse --short HEAD).

 -- $maintainer  $date
END

# A copy of what git would commit (tracked and new files, nothing ignored), so that neither the
# build's obj-*/ nor debhelper's files land in the tree and no old build output gets in.
rm -rf build-deb/src
mkdir -p build-deb/src
git ls-files -z --cached --others --exclude-standard --deduplicate |
  while IFS= read -r -d '' file; do
    [[ -e "$file" || -L "$file" ]] && printf '%s\0' "$file"
  done | xargs -0 cp --parents -P -t build-deb/src
cp debian/changelog build-deb/src/debian/changelog

arch=$(dpkg --print-architecture)
deb="build-deb/quirna-ocr_${version}_${arch}.deb"
rm -f "$deb"
echo "build-deb: building $deb (log in build-deb/build.log)"
if ! (cd build-deb/src &&
      DEB_BUILD_OPTIONS="noautodbgsym nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc \
        >../build.log 2>&1); then
  tail -n 40 build-deb/build.log >&2
  echo "build-deb: dpkg-buildpackage failed" >&2
  exit 1
fi

if grep -E ': warning: ' build-deb/build.log; then
  # A warning inside a library header names our code only where it was inlined from.
  echo "build-deb: the Release build has compiler warnings, in or inlined from:"
  grep -B 40 ': warning: ' build-deb/build.log |
    grep -oE "(^| at )$(pwd)/build-deb/src/[^: ]+:[0-9]+" | sed "s|.*build-deb/src/|  |" | sort -u
else
  echo "build-deb: no compiler warnings"
fi

lintian --fail-on error --display-info "$deb"
echo "build-deb: $deb ($(stat -c %s "$deb") bytes)"
