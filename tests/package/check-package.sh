#!/usr/bin/env bash
# Builds the .deb with cpack and checks it without installing it: lintian finds no error (it also
# checks stripping, permissions, ownership, the copyright file and the dependencies), the desktop
# entry and the AppStream metadata are valid, the package holds exactly the files we ship, the
# udev rule grants access to every unit the program identifies and to nothing else, the
# maintainer scripts reload udev when it runs and never fail when it does not, and a package made
# from placeholder images says so.
#
# Usage: check-package.sh CPACK BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail

cpack=$1
build=$2
source=$3
work=$4

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"

echo "== cpack"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack could not build the package" >&2
    exit 1
}
debs=("$work"/out/tavik-updater_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: expected one tavik-updater_*.deb in $work/out, found: ${debs[*]}" >&2
    exit 1
fi
deb=${debs[0]}
echo "$deb"

echo "== lintian"
# Every tag is shown; errors fail the check, warnings and the rest are for the reader.
lintian_rc=0
lintian --info --pedantic --fail-on error "$deb" >"$work/lintian.log" 2>"$work/lintian.err" ||
    lintian_rc=$?
cat "$work/lintian.log"
if [ "$lintian_rc" -ne 0 ] || grep -q '^E: ' "$work/lintian.log"; then
    grep -v 'running with root privileges' "$work/lintian.err" >&2 || true
    fail "lintian reports errors (exit code $lintian_rc)"
fi

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
root=$work/root

echo "== files"
# Exactly these regular files: a missing one breaks the install, an extra one (a test library,
# a header) is something we did not mean to ship.
expected_files="\
lib/udev/rules.d/70-tavik-updater.rules
usr/bin/tavik-cli
usr/bin/tavik-updater
usr/share/applications/tavik-updater.desktop
usr/share/doc/tavik-updater/changelog.gz
usr/share/doc/tavik-updater/copyright
usr/share/icons/hicolor/48x48/apps/tavik-updater.png
usr/share/icons/hicolor/scalable/apps/tavik-updater.svg
usr/share/man/man1/tavik-cli.1.gz
usr/share/man/man1/tavik-updater.1.gz
usr/share/metainfo/tavik-updater.metainfo.xml"
actual_files=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual_files" != "$expected_files" ]; then
    fail "the package's files differ from the expected list:"
    diff <(echo "$expected_files") <(echo "$actual_files") >&2 || true
fi

echo "== desktop entry and AppStream metadata"
desktop=$root/usr/share/applications/tavik-updater.desktop
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    for icon_file in "scalable/apps/$icon.svg" "48x48/apps/$icon.png"; do
        [ -f "$root/usr/share/icons/hicolor/$icon_file" ] ||
            fail "the desktop entry's icon '$icon' has no $icon_file"
    done
fi
metainfo=$root/usr/share/metainfo/tavik-updater.metainfo.xml
if [ -f "$metainfo" ]; then
    # The component id is not reverse-DNS yet (no domain of ours): only errors fail.
    if ! command -v appstreamcli >/dev/null; then
        fail "appstreamcli is missing: the AppStream metadata is not checked"
    else
        appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 || true
        cat "$work/appstream.log"
        if grep -q '^E: ' "$work/appstream.log"; then
            fail "appstreamcli finds errors in the AppStream metadata"
        fi
    fi
fi

echo "== udev rule"
# The ids the program identifies, read from the program's own sources: the rule, the AppStream
# modaliases and the program must name the same units.
identification=$source/src/device/Identification.hpp
vendor=$(sed -n 's/.*unitVendorId = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p' "$identification")
products=$(sed -n 's/.*unit[A-Za-z]*ProductId[A-Za-z]* = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p' \
    "$identification")
if [ -z "$vendor" ] || [ -z "$products" ]; then
    fail "no vendor or product ids found in $identification"
fi
rules=("$root"/lib/udev/rules.d/*.rules)
if [ ${#rules[@]} -ne 1 ] || [ ! -f "${rules[0]}" ]; then
    fail "expected one udev rule file, found: ${rules[*]}"
else
    rule=${rules[0]}
    number=$(basename "$rule" | sed -n 's/^\([0-9][0-9]\)-.*/\1/p')
    # uaccess is applied in 73-seat-late.rules: a tag added later is never applied.
    if [ -z "$number" ] || [ "$((10#$number))" -ge 73 ]; then
        fail "$(basename "$rule") does not sort before 73-seat-late.rules"
    fi
    tagged_lines=$(grep -v '^[[:space:]]*#' "$rule" | grep -c 'TAG+="uaccess"' || true)
    product_count=$(wc -w <<<"$products")
    [ "$tagged_lines" -eq "$product_count" ] ||
        fail "the rule tags $tagged_lines kinds of device, the program identifies $product_count"
    for product in $products; do
        v=${vendor,,}
        p=${product,,}
        line='SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="'$v'", '
        line+='ATTR{idProduct}=="'$p'", TAG+="uaccess"'
        grep -qxF "$line" "$rule" || fail "the udev rule has no line granting access to $v:$p"
        modalias="usb:v${vendor^^}p${product^^}d\*"
        [ ! -f "$metainfo" ] || grep -q "<modalias>$modalias</modalias>" "$metainfo" ||
            fail "the AppStream metadata does not name $modalias"
    done
fi

echo "== maintainer scripts"
# Each script runs for real with a recording udevadm first in PATH and the path of udev's control
# socket moved into the work folder. Columns: script, argument, control socket present,
# udevadm exit code ("none": no udevadm at all), whether udev is told.
cases="\
postinst configure       yes 0    yes
postinst configure       yes 1    yes
postinst configure       no  0    no
postinst configure       yes none no
postrm   remove          yes 0    yes
postrm   remove          yes 1    yes
postrm   remove          no  0    no
postrm   remove          yes none no"
control_socket=/run/udev/control
for script in postinst postrm; do
    grep -qF "$control_socket" "$work/control/$script" ||
        fail "$script does not look for udev's control socket at $control_socket"
done
make_socket() {
    perl -MIO::Socket::UNIX -e \
        'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$!"' \
        "$1"
}
case_number=0
while read -r script argument socket udevadm_rc told; do
    case_number=$((case_number + 1))
    dir=$work/scripts/$case_number
    mkdir -p "$dir/bin" "$dir/run"
    sed "s|$control_socket|$dir/run/control|g" "$work/control/$script" >"$dir/$script"
    chmod 755 "$dir/$script"
    [ "$socket" = no ] || make_socket "$dir/run/control"
    if [ "$udevadm_rc" != none ]; then
        printf '#!/bin/sh\necho "$*" >>"%s"\nexit %s\n' "$dir/udevadm.log" "$udevadm_rc" \
            >"$dir/bin/udevadm"
        chmod 755 "$dir/bin/udevadm"
    fi
    label="$script $argument (socket: $socket, udevadm: $udevadm_rc)"
    # Only the recording udevadm is reachable: the scripts need nothing but the shell's builtins.
    rc=0
    PATH=$dir/bin "$dir/$script" "$argument" >"$dir/output" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || fail "$label exits with $rc: $(cat "$dir/output")"
    calls=$(cat "$dir/udevadm.log" 2>/dev/null || true)
    if [ "$told" = yes ]; then
        grep -qx 'control --reload-rules' <<<"$calls" ||
            fail "$label does not reload the rules; udevadm calls: ${calls:-none}"
        grep -q '^trigger .*--subsystem-match=usb' <<<"$calls" ||
            fail "$label does not trigger the usb subsystem; udevadm calls: ${calls:-none}"
    elif [ -n "$calls" ]; then
        fail "$label calls udevadm: $calls"
    fi
done <<<"$cases"

echo "== placeholder images"
copyright=$root/usr/share/doc/tavik-updater/copyright
# A package made from the placeholder images must say so, and one made from real images must not.
firmware_dir=$(sed -n 's/^TAVIK_FIRMWARE_DIR:PATH=//p' "$build/CMakeCache.txt")
placeholders=no
for image in "$firmware_dir"/firmware-*.bin; do
    if [ "$(dd if="$image" bs=1 skip=64 count=23 2>/dev/null)" = "TAVIK PLACEHOLDER IMAGE" ]; then
        placeholders=yes
    fi
done
description=$(dpkg-deb -f "$deb" Description)
if [ "$placeholders" = yes ]; then
    grep -q 'TEST BUILD' <<<"$description" ||
        fail "the images in $firmware_dir are placeholders, the description does not say so"
    grep -q 'placeholder images' "$copyright" ||
        fail "the images in $firmware_dir are placeholders, the copyright file does not say so"
elif grep -q 'TEST BUILD' <<<"$description"; then
    fail "the images in $firmware_dir are not placeholders, the description says they are"
fi

if [ "$failures" -ne 0 ]; then
    echo "== $failures check(s) failed" >&2
    exit 1
fi
echo "== the package passed every check"
