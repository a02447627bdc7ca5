#!/usr/bin/env bash
# Installs what is missing, makes a Release build in build/ and reads the bundled samples.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUIRNA_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

for sample in samples/harbour-notes.pdf samples/opening-hours.png; do
  echo "== quirna-ocr $sample"
  build/quirna-ocr "$sample"
done
