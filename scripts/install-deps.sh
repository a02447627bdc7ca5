#!/usr/bin/env bash
# Installs the Debian 12 packages quirna-ocr needs to build, run and test; only what is missing.
# Further package names given as arguments (the packaging tools, say) are installed the same way.
set -euo pipefail

# fonts-urw-base35: a PDF that names the standard fonts (Helvetica, Times, Courier) without
# embedding them is drawn with faces of the same metrics, so its lines keep their width.
packages=(
  build-essential cmake pkg-config clang-format
  libgtest-dev nlohmann-json3-dev zlib1g-dev libjpeg-dev
  libtesseract-dev libleptonica-dev libheif-dev libpoppler-private-dev libtiff-dev
  tesseract-ocr-eng tesseract-ocr-nld tesseract-ocr-deu tesseract-ocr-fra
  fonts-dejavu-core fonts-urw-base35
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
