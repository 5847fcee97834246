#!/usr/bin/env bash
# Builds the release of HEAD twice, from two clones in different folders, at two different times,
# with different time zones and umasks, and compares the two: the same SHA256SUMS, the
# same Windows executables. On a difference it names the first file that differs (inside the zip
# or the package too) and exits 1; it keeps both builds for a closer look then.
#
# It builds the commit HEAD names, never the work tree: uncommitted changes are not part of the
# check (it says so). To check a published release, check out its commit, run this, and compare
# the SHA256SUMS it prints with the published ones.
#
# Usage: scripts/check-reproducible.sh [WORK_DIR]   (new or empty; default: a new one under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain)" ]; then
    echo "note: the work tree has uncommitted changes; they are not checked: this builds $commit"
fi
work=${1:-$(mktemp -d /tmp/tavik-reproducible.XXXXXX)}
# The folder is removed after a successful check, so it must hold nothing else.
if [ -n "$(ls -A "$work" 2>/dev/null)" ]; then
    echo "check-reproducible.sh: refused: $work is not empty" >&2
    exit 1
fi
start=$(date +%s)

# First the short path, then a longer one at another depth, so that neither the length nor the
# depth of the source folder can hide.
trees=("$work/a/src" "$work/b/another/much/longer/folder/tavik-updater-$commit")
settings=("TZ=UTC umask=022" "TZ=Pacific/Kiritimati umask=077")
for i in 0 1; do
    tree=${trees[$i]}
    read -r tz mask <<<"${settings[$i]}"
    echo "== build $((i + 1)) of 2: $tree (${settings[$i]}, $(date -u +%H:%M:%S) UTC)"
    # A clone that borrows this repository's objects: quick, and HEAD is there even when no
    # branch names it.
    git clone --quiet --shared --no-checkout "$repo" "$tree"
    git -C "$tree" checkout --quiet --detach "$commit"
    (
        umask "${mask#umask=}"
        export "$tz"
        bash "$tree/scripts/release.sh" >"$work/build-$((i + 1)).log" 2>&1
    ) || {
        tail -n 30 "$work/build-$((i + 1)).log" >&2
        echo "FAIL: the release build in $tree failed (log: $work/build-$((i + 1)).log)" >&2
        exit 1
    }
done

out_a=$(echo "${trees[0]}"/out/release-*)
out_b=$(echo "${trees[1]}"/out/release-*)
# The release's files, then the Windows executables as built (before they went into the zip).
hashes() {
    cat "$1"/out/release-*/SHA256SUMS
    mapfile -t executables <"$1/build/release/windows/release/windows-executables.txt"
    (cd "$1/build/release/windows" && sha256sum -- "${executables[@]#"$1/build/release/windows/"}")
}
hashes "${trees[0]}" >"$work/hashes-1"
hashes "${trees[1]}" >"$work/hashes-2"
echo "== SHA-256 of build 1 and build 2, side by side"
paste -d ' ' <(awk '{print $1}' "$work/hashes-1") <(awk '{print $1 "  " $2}' "$work/hashes-2")

# Names the first file of two folders that differs, or returns 0 when they hold the same files
# with the same bytes.
first_difference() {
    local list_a list_b file
    list_a=$(cd "$1" && find . -type f | LC_ALL=C sort)
    list_b=$(cd "$2" && find . -type f | LC_ALL=C sort)
    if [ "$list_a" != "$list_b" ]; then
        echo "the file lists differ:"
        diff <(echo "$list_a") <(echo "$list_b") | head -n 5
        return 1
    fi
    while read -r file; do
        if ! cmp -s "$1/$file" "$2/$file"; then
            echo "first differing file: ${file#./} ($(cmp "$1/$file" "$2/$file" | cut -d' ' -f3-))"
            return 1
        fi
    done <<<"$list_a"
}

if cmp -s "$work/hashes-1" "$work/hashes-2"; then
    echo "== reproducible: both builds of $commit are byte for byte the same" \
         "($(($(date +%s) - start)) s)"
    rm -rf "$work"
    exit 0
fi

echo "FAIL: the two builds of $commit differ" >&2
first=$(paste -d ' ' "$work/hashes-1" "$work/hashes-2" | awk '$1 != $3 { print $2; exit }')
echo "first differing file: $first" >&2
# Inside the zip and the package: the files they hold, then the package's own archives.
for i in 0 1; do
    out=$(echo "${trees[$i]}"/out/release-*)
    unpacked=$work/unpacked-$((i + 1))
    mkdir -p "$unpacked/zip" "$unpacked/deb" "$unpacked/deb-members"
    unzip -q "$out"/*.zip -d "$unpacked/zip"
    dpkg-deb -R "$out"/*.deb "$unpacked/deb"
    (cd "$unpacked/deb-members" && ar x "$out"/*.deb)
    # What the archives say about their members: modes, owners, times, order.
    (
        cd "$out"
        unzip -Z -l ./*.zip | tail -n +2
        ar tv ./*.deb
        tar -tvzf "$unpacked/deb-members/control.tar.gz"
        tar -tvzf "$unpacked/deb-members/data.tar.gz"
    ) >"$unpacked/listing"
done
for part in zip deb deb-members; do
    first_difference "$work/unpacked-1/$part" "$work/unpacked-2/$part" >&2 || true
done
if ! cmp -s "$work/unpacked-1/listing" "$work/unpacked-2/listing"; then
    echo "the archives' member listings differ (first lines of the difference):" >&2
    diff "$work/unpacked-1/listing" "$work/unpacked-2/listing" | head -n 8 >&2 || true
fi
echo "both builds are kept in $work" >&2
exit 1
