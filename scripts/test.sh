#!/usr/bin/env bash
# Builds and runs every test: formatting, the native tests (plain, with other valid images,
# AddressSanitizer, ThreadSanitizer), the fuzz targets for a few seconds each, the Windows cross
# build with its tests under Wine, and two release builds of HEAD that must be byte for byte the
# same.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
start=$(date +%s)

echo "== clang-format"
git ls-files -- '*.cpp' '*.hpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in native native-other-images native-asan native-tsan fuzz windows; do
    echo "== $preset"
    if [ "$preset" = native-other-images ]; then
        # Three other valid images (other sizes, one a whole number of blocks, other bytes):
        # the core and command-line tests must hold for whatever images the program carries.
        mkdir -p build/other-images
        make_image=build/native/make_placeholder_image
        "$make_image" build/other-images/firmware-103.bin 128000 "2.2.7+611" 7
        "$make_image" build/other-images/firmware-104.bin 200017 "1.2.4+930" 8
        "$make_image" build/other-images/firmware-105.bin 99999 "1.2.1+1960" 9
    fi
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
done

echo "== reproducible release"
bash scripts/check-reproducible.sh

echo "== all tests passed in $(( $(date +%s) - start )) s"
