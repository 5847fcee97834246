#!/usr/bin/env bash
# The Windows demo: builds the Windows program and runs it, unchanged, under Wine and Xvfb against the
# simulated unit (the replacement winusb.dll and cfgmgr32.dll of sim/win32) through a whole
# update: no unit, a unit arrives and is offered the update, the update, success, the unit gone.
# Screenshots of each stage, the program's standard output and the unit's wire log go into a
# folder under out/, whose path is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

out="$root/out/demo-$(date +%Y%m%d-%H%M%S)"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
mkdir -p "$out"
bash tests/e2e/setup-prefix.sh "$prefix" build/windows/sim
WINEPREFIX="$prefix" TAVIK_UPDATER="$root/build/windows/TavikUpdater.exe" \
    TAVIK_PROBE="$root/build/windows/tests/e2e/window-probe.exe" TAVIK_IMAGES="$root/resources" \
    bash tests/e2e/run-scenario.sh tests/e2e/demo.scn "$out"

echo
echo "The demo's screenshots and logs are in: $out"
ls "$out"/*.png | sed 's|^.*/|  |'
echo "  stdout.txt (the program's log), wire.log (every request the unit saw)"
