#!/usr/bin/env bash
# The demo: builds the native Linux program (only the targets the demo needs) and runs it,
# unchanged, on a virtual X display (Xvfb) against the simulated unit on an emulated USB bus
# (umockdev), which the program reaches through the real libusb: no unit at first; a unit of
# the 105 model arrives, is offered the update, is updated, restarts into its application and
# leaves the bus. Screenshots of each stage, the program's standard output and the unit's wire
# log go into a folder under out/, whose path is printed at the end.
# The Windows program's demo, under Wine: scripts/demo-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build="$root/build/native"
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" \
    --target tavik-updater tavik-usb-host tavik-paint-trace tavik-x-window

out="$root/out/demo-$(date +%Y%m%d-%H%M%S)"
TAVIK_UPDATER="$build/tavik-updater" TAVIK_USB_HOST="$build/sim/umockdev/tavik-usb-host" \
    TAVIK_PAINT_TRACE_LIB="$build/tests/e2e-linux/libtavik-paint-trace.so" \
    TAVIK_X_WINDOW="$build/tests/e2e-linux/tavik-x-window" TAVIK_IMAGES="$root/resources" \
    bash tests/e2e-linux/run-scenario.sh tests/e2e-linux/demo.scn "$out"

echo
echo "The demo's screenshots and logs are in: $out"
ls "$out"/*.png | sed 's|^.*/|  |'
echo "  stdout.txt (the program's log), wire.log (every request the unit saw)"
