#!/usr/bin/env bash
# Installs what is missing, checks formatting, builds with warnings as errors and runs every test.
# SANITIZE=1 builds in build-asan/ with AddressSanitizer and UBSan instead.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

git ls-files -- '*.cc' '*.h' | xargs clang-format --dry-run -Werror

if [[ "${SANITIZE:-0}" == 1 ]]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQUIRNA_WERROR=ON -DQUIRNA_SANITIZE=ON)
else
  dir=build-test
  flags=(-DCMAKE_BUILD_TYPE=Debug -DQUIRNA_WERROR=ON)
fi
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
