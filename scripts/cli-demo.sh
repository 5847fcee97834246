#!/usr/bin/env bash
# The command line's demo: builds tavik-cli and the emulated-bus host (native preset, only those
# targets) and runs one session of each command against the simulated unit on an emulated USB
# bus (umockdev), reached through the real libusb: list with no unit, list, check, update, and a
# check for a script (JSON). Prints each command, what it printed and its exit code; every run's
# files (standard output and error, the unit's wire log and images) go into a folder under out/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build="$root/build/native"
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target tavik-cli tavik-usb-host >/dev/null

out="$root/out/cli-demo-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
cat >"$out/no-unit.scn" <<'SCN'
[unit]
arrive 600000
SCN
cat >"$out/older.scn" <<'SCN'
[unit]
product Tavik Quad
serial T1A00001
image embedded 104 version 1.2.4+887
SCN
cat >"$out/current.scn" <<'SCN'
[unit]
product Tavik Quad
serial T1A00001
image embedded 104
SCN

# run NAME SCENARIO ARGS...: one command against the scenario's unit, shown as in a terminal.
run() {
    local name=$1 scenario=$2 code=0
    shift 2
    mkdir -p "$out/$name"
    echo "\$ tavik-cli $*"
    "$build/sim/umockdev/tavik-usb-host" "$out/$scenario.scn" "$out/$name" -- \
        "$build/src/app/cli/tavik-cli" "$@" 2>"$out/$name/stderr.txt" || code=$?
    cat "$out/$name/stdout.txt" "$out/$name/stderr.txt"
    echo "(exit code $code)"
    echo
}

run 1-list-no-unit no-unit list
run 2-list older list
run 3-check older check
run 4-update older update --yes
run 5-check-json current --json --quiet check
echo "Each run's files are in: $out"
