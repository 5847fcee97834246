#!/usr/bin/env bash
# Wall time of a whole update run of each shipped image under Wine, from the press of "Update
# Now" to "Success" on screen (Wine's trace clock), against the simulated unit without any
# transfer delay: the end-to-end scenario update-105 and its timing-only siblings update-103
# and -104 (tests/e2e/timing), each run N times (3).
# Needs the Windows build (cmake --build --preset windows).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash tests/e2e/setup-prefix.sh "$work/prefix" build/windows/sim >/dev/null
export WINEPREFIX="$work/prefix" TAVIK_UPDATER="$root/build/windows/TavikUpdater.exe"
export TAVIK_PROBE="$root/build/windows/tests/e2e/window-probe.exe" TAVIK_IMAGES="$root/resources"
echo "image  requests of the run  run times (ms)  median (ms)  per request (ms)"
for id in 103 104 105; do
    times=()
    for i in $(seq 1 "$runs"); do
        scenario=tests/e2e/scenarios/update-$id.scn
        [ -f "$scenario" ] || scenario=tests/e2e/timing/update-$id.scn
        bash tests/e2e/run-scenario.sh "$scenario" "$work/$id" >/dev/null
        times+=("$(cat "$work/$id/run-time-ms")")
    done
    # Every request the unit answered, less the six of the identification.
    requests=$(($(grep -c '^[0-9]' "$work/$id/wire.log") - 6))
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
    echo "$id    $requests    ${times[*]}    $median    $(awk -v t="$median" -v n="$requests" 'BEGIN { printf "%.2f", t / n }')"
done
