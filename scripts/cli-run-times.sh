#!/usr/bin/env bash
# Wall times of `tavik-cli update --yes` of the 104 image against the simulated unit: natively
# through the real libusb on the emulated USB bus (after the native build), and under Wine with
# the replacement DLLs (after the Windows build; the prefix of the Windows end-to-end tests).
# Each time is the whole command, from its start (bus or Wine included) to its exit.
# Usage: cli-run-times.sh [RUNS] (3 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-3}
out="$root/out/cli-run-times"
rm -rf "$out"
mkdir -p "$out"
cat >"$out/update-104.scn" <<'SCN'
[unit]
product Tavik Quad
serial T1A00001
image embedded 104 version 1.2.4+887
SCN
ms() { echo $(($(date +%s%N) / 1000000)); }

# time_run LABEL DIR COMMAND...: one run; prints its wall time and the program's phase lines.
time_run() {
    local label=$1 dir=$2 start
    shift 2
    mkdir -p "$dir"
    start=$(ms)
    "$@" >"$dir/stdout-raw.txt" 2>"$dir/stderr.txt"
    echo "$label: $(($(ms) - start)) ms ($(grep -E '^(writing|verifying):' "$dir/stdout.txt" \
        "$dir/stdout-raw.txt" 2>/dev/null | sed 's/^[^:]*://' | sed 's/ of [0-9]* blocks (100%)//' |
        tr '\n' ';' | sed 's/;$//'))"
}

host="$root/build/native/sim/umockdev/tavik-usb-host"
if [ -x "$host" ]; then
    for i in $(seq 1 "$runs"); do
        time_run "native $i" "$out/native-$i" "$host" "$out/update-104.scn" "$out/native-$i" -- \
            "$root/build/native/src/app/cli/tavik-cli" update --yes
    done
fi

exe="$root/build/windows/src/app/cli/tavik-cli.exe"
prefix="$root/build/windows/e2e/prefix"
if [ -f "$exe" ] && [ -d "$prefix" ]; then
    for i in $(seq 1 "$runs"); do
        mkdir -p "$out/wine-$i"
        cp "$out/update-104.scn" "$out/wine-$i/scenario.txt"
        time_run "wine $i" "$out/wine-$i" env WINEPREFIX="$prefix" WINEDEBUG=-all \
            WINEDLLOVERRIDES="mscoree,mshtml=;winusb,cfgmgr32=n" \
            TAVIK_SIM_SCENARIO="Z:$(echo "$out/wine-$i/scenario.txt" | tr / '\\')" \
            wine "$exe" update --yes
        WINEPREFIX="$prefix" wineserver -w
    done
fi
