#!/usr/bin/env bash
# Installs what is missing, checks formatting, builds with warnings as errors and runs every test.
# SANITIZE=1 builds in build-asan/ with AddressSanitizer and UBSan instead; SANITIZE=thread builds
# in build-tsan/ with ThreadSanitizer and runs the tests that drive the recognition pool (the PDF
# source, the pool, the batch tool).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

git ls-files -- '*.cc' '*.h' | xargs clang-format --dry-run -Werror

flags=(-DCMAKE_BUILD_TYPE=Debug -DQUIRNA_WERROR=ON)
filter=()
case "${SANITIZE:-0}" in
  1) dir=build-asan; flags+=(-DQUIRNA_SANITIZE=ON) ;;
  thread) dir=build-tsan; flags+=(-DQUIRNA_TSAN=ON); filter=(-R 'PDFSource|Pool|BatchTool') ;;
  *) dir=build-test ;;
esac
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" "${filter[@]}"
