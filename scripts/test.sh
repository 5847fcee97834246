#!/usr/bin/env bash
# Builds and runs every test: formatting, the native tests (plain, AddressSanitizer,
# ThreadSanitizer), the fuzz targets for a few seconds each, the Windows cross build with its
# tests under Wine, and two release builds of HEAD that must be byte for byte the same.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
start=$(date +%s)

echo "== clang-format"
git ls-files -- '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in native native-asan native-tsan fuzz windows; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
done

echo "== reproducible release"
bash scripts/check-reproducible.sh

echo "== all tests passed in $(( $(date +%s) - start )) s"
