#!/usr/bin/env bash
# Wall time of whole update runs of the Linux program against the simulated unit on the
# emulated USB bus (umockdev), from the click on "Update Now" to "Success" on screen, N runs
# (3) of each scenario named (update-104 when none is). The emulated bus costs more per request
# than real hardware would (each transfer is several ioctls answered by another process, and
# libusb polls the emulated node without pause while a unit is open): these are figures of the
# test set-up, not of the program on a real unit.
# Needs the native build: cmake --build --preset native --target tavik-updater tavik-usb-host
# tavik-paint-trace tavik-x-window. A scenario is looked for in tests/e2e-linux/scenarios, then
# in tests/e2e-linux/timing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${RUNS:-3}
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(update-104)
build="$root/build/native"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TAVIK_UPDATER="$build/tavik-updater" TAVIK_USB_HOST="$build/sim/umockdev/tavik-usb-host"
export TAVIK_PAINT_TRACE_LIB="$build/tests/e2e-linux/libtavik-paint-trace.so"
export TAVIK_X_WINDOW="$build/tests/e2e-linux/tavik-x-window" TAVIK_IMAGES="$root/resources"
echo "scenario  requests of the run  run times (ms)  median (ms)  per request (ms)"
for name in "${scenarios[@]}"; do
    times=()
    for i in $(seq 1 "$runs"); do
        # The whole runs of the 104 and 105 images are kept for timing (timing/), not as tests.
        file=tests/e2e-linux/scenarios/$name.scn
        [ -f "$file" ] || file=tests/e2e-linux/timing/$name.scn
        bash tests/e2e-linux/run-scenario.sh "$file" "$work/$name" >/dev/null
        times+=("$(cat "$work/$name/run-time-ms")")
    done
    # Every request the unit answered, less the six of the identification.
    requests=$(($(grep -c '^[0-9]' "$work/$name/wire.log") - 6))
    median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
    echo "$name  $requests  ${times[*]}  $median  $(awk -v t="$median" -v n="$requests" 'BEGIN { printf "%.2f", t / n }')"
done
