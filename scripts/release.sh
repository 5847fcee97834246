#!/usr/bin/env bash
# Makes the release of the commit checked out: out/release-VERSION/ with the Windows zip
# (the executables, README.md, LICENSE), the Debian package and SHA256SUMS over both.
#
# A release names a commit, so a work tree with changes (or files git does not ignore) is refused.
# Every build starts afresh in build/release/, apart from the test presets' builds. The outputs
# depend on the commit and the toolchain only: not on the folder, the clock, the time zone or the
# umask (scripts/check-reproducible.sh checks that), nor on the locale (set here).
#
# Usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "$(git status --porcelain)" ]; then
    echo "release.sh: refused: the work tree has changes that no commit names; commit them first" >&2
    exit 1
fi
commit=$(git rev-parse HEAD)
# The commit's time stands in for every time stamp of the outputs (cpack, the zip's members).
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
# Whatever the caller's locale: the tools' messages that CPack reads, and sort orders, in one.
export LC_ALL=C
jobs=$(nproc)
build=$PWD/build/release

rm -rf "$build"
options=(-DCMAKE_BUILD_TYPE=Release -DTAVIK_BUILD_TESTS=OFF -DTAVIK_WERROR=ON
         -DTAVIK_REPRODUCIBLE=ON)

echo "== Windows executables"
cmake -S . -B "$build/windows" --toolchain cmake/mingw-w64-x86_64.cmake "${options[@]}" >/dev/null
cmake --build "$build/windows" --target tavik-release-windows -j "$jobs"

echo "== Debian package"
# cpack installs what tavik-release-linux built, not everything the project builds.
cmake -S . -B "$build/linux" "${options[@]}" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build/linux" --target tavik-release-linux -j "$jobs"
# The archive members of the .deb get the modes the umask gives to cpack's temporary files.
(cd "$build/linux" && umask 022 && cpack -G DEB -B "$build/deb" >/dev/null)

version=$(cat "$build/windows/release/version.txt")
out=$PWD/out/release-$version
rm -rf "$out"
mkdir -p "$out"
cp "$build/deb/tavik-updater_${version}_amd64.deb" "$out/"

echo "== Windows zip"
# One folder in the zip; its members in a fixed order, with fixed permissions and the commit's
# time, no owner or extra time fields (-X), no folder entries (-D), one compression level. The
# zip format's member times are local times: UTC makes them the same everywhere.
name=tavik-updater-$version-windows-x86_64
stage=$build/zip/$name
mkdir -p "$stage"
mapfile -t executables <"$build/windows/release/windows-executables.txt"
members=()
for file in "${executables[@]}" README.md LICENSE; do
    mode=0644
    [[ $file == *.exe ]] && mode=0755
    install -m "$mode" "$file" "$stage/"
    members+=("$name/$(basename "$file")")
done
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
(cd "$build/zip" && TZ=UTC zip -X -D -9 -q "$out/$name.zip" "${members[@]}")

(cd "$out" && sha256sum -- *.deb *.zip >SHA256SUMS)
echo "== release of $commit in $out"
cat "$out/SHA256SUMS"
