#!/usr/bin/env bash
# Plants known faults in the program, one at a time, and tells for each whether the native test
# suite catches it: the evidence that a smaller suite still catches what the larger one caught.
#
#   bash scripts/planted-faults.sh [BUILD_DIR] [FAULT...]
#
# FAULT names the faults to plant, in the order given (default: all, in the list's order).
# BUILD_DIR (default build/planted) is configured from the native preset, without benchmarks.
# Each fault is one sed script applied to one program file (src/ or sim/) in this tree. The file
# is restored after the run of that fault, and on any exit. Per fault: build, then every native
# test but the Linux end-to-end runs; only when those pass, the end-to-end runs too (they take
# minutes). The package check is never run: no fault touches packaging. Windows-only code
# (src/*/win32, sim/win32) cannot be built natively and carries no fault here.
# A failing test is run once more before it counts (the end-to-end runs have timing that a busy
# machine can miss). Prints one line per fault: caught (with the first failing test, or the
# build's own image check), survived, not-applied (the script no longer matches the file) or
# build-failed.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build/planted}")
shift || true
slow='^(e2e-linux|package)\.'

# name | file | sed script
faults=$(cat <<'EOF'
identify-wrong-vendor|src/device/Identification.cpp|s/if (idVendor != vendorId)/if (idVendor != vendorId \&\& idVendor != 0x07FE)/
identify-iproduct-index|src/device/Identification.cpp|s/descriptor\[15\]/descriptor[14]/
version-text-offset|src/device/Identification.cpp|s/reply.begin() + 4/reply.begin() + 5/
upload-wvalue|src/device/UsbProtocol.hpp|/uploadRequest/,/}/s/.value = block,/.value = static_cast<std::uint16_t>(block + 1),/
status-byte-index|src/device/UsbProtocol.hpp|s/dfuStatusStateByte = 4/dfuStatusStateByte = 3/
engine-short-status|src/engine/Updater.cpp|s/if (count == status.size() \&\& status/if (status/
engine-short-readback|src/engine/Updater.cpp|s/return imageOffset_ == imageSize_ ? BlockCheck::whole : BlockCheck::differs;/return BlockCheck::whole;/
catalog-serial-char|src/firmware/FirmwareCatalog.cpp|s/serial\[1\] == '6'/serial[1] == '5'/
header-payload-byte|src/firmware/FirmwareImageHeader.cpp|s/image\[2\]) << 16/image[2]) << 8/
offer-serial-length|src/firmware/UnitOffer.cpp|s/serial.size() < 5/serial.size() < 4/
layout-message-rect|src/ui/WindowLayout.hpp|s|w / 2 + 95, 105|w / 2 + 96, 105|
button-hot-border|src/ui/ButtonLook.hpp|s/return {2, edge, face, textColour};/return {1, edge, face, textColour};/
window-ok-inverted|src/ui/UpdaterWindow.cpp|s/view_.showControl(okButton_, !offer.hasImage());/view_.showControl(okButton_, offer.hasImage());/
window-end-not-kept|src/ui/UpdaterWindow.cpp|s/if (finished_) {/if (finished_ \&\& false) {/
libusb-access-hresult|src/device/libusb/LibusbError.cpp|s/{LIBUSB_ERROR_ACCESS, errorAccessDenied,/{LIBUSB_ERROR_ACCESS, errorBusy,/
libusb-pipe-status|src/device/libusb/LibusbError.cpp|s/{LIBUSB_ERROR_PIPE, errorGenFailure, stalled}/{LIBUSB_ERROR_PIPE, errorGenFailure, other}/
libusb-notfound-status|src/device/libusb/LibusbError.cpp|s/{LIBUSB_ERROR_NOT_FOUND, errorNotFound, notFound}/{LIBUSB_ERROR_NOT_FOUND, errorNotFound, gone}/
libusb-close-dropped|src/device/libusb/LibusbDeviceAccess.cpp|0,/libusb_close(handle);/s/libusb_close(handle);//
libusb-product-missed|src/device/libusb/LibusbDeviceAccess.cpp|s/product == unitProductIdLater/product == unitProductId/
libusb-wlength-unchecked|src/device/libusb/LibusbTransport.cpp|s/if (setup.length > length || /if (setup.length > length + 64 || /
hotplug-event-swapped|src/device/libusb/LibusbHotplugMonitor.cpp|s/event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)/event != LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)/
qt-caption-colour|src/ui/qt/PaintedButton.cpp|s/painter.setPen(toQColor(look.caption));/painter.setPen(toQColor(look.pen));/
qt-status-alignment|src/ui/qt/QtWindowView.cpp|s/Qt::AlignLeft | Qt::AlignVCenter/Qt::AlignCenter/
qt-progress-colour|src/ui/qt/PaintedProgressBar.cpp|s/filled(6, 176, 37)/filled(6, 176, 38)/
sim-corrupt-noop|sim/SimulatedUnit.cpp|s/reply\[0\] ^= 0xFF;/reply[0] ^= 0x00;/
sim-download-sequence|sim/SimulatedUnit.cpp|0,/setup.value != nextDownloadBlock_/s/setup.value != nextDownloadBlock_/setup.value < nextDownloadBlock_/
sim-fail-status|sim/SimulatedUnit.cpp|s/status = DeviceStatus::other;/status = DeviceStatus::stalled;/
dfu-result-dropped|src/engine/DfuRequest.cpp|s/result_ = device->controlTransfer(/const DeviceResult ended = device->controlTransfer(/;s/post(result_.ok()/post(ended.ok()/
bus-stall-errno|sim/umockdev/UsbfsNode.cpp|s/return -EPIPE;/return -EPROTO;/
bus-gone-errno|sim/umockdev/UsbfsNode.cpp|s/error = ENODEV;/error = EIO;/
cli-json-total-dropped|src/app/cli/ProgressReporter.cpp|s/{"total", phase.total},//
engine-block-count-whole|src/engine/Updater.cpp|s/(size + usb::dfuBlockSize - 1)/(size + usb::dfuBlockSize)/
transfer-timeout-short|src/device/UsbProtocol.hpp|s/transferTimeout{5000}/transferTimeout{50}/
engine-retry-none|src/engine/OpenRetryPolicy.hpp|s/int moreTries = 5;/int moreTries = 0;/
retry-remedy-early|src/engine/Updater.cpp|s/if (!retrying && opened.result.status/if (opened.result.status/
EOF
)

restore() {
    if [[ -n "${backup:-}" && -f "$backup" ]]; then
        cp "$backup" "$src/$file" && rm -f "$backup"
    fi
    backup=
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# The first failing test of a ctest log, or nothing.
first_failure() {
    sed -n '/The following tests FAILED:/{n;p;q}' "$1" | sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/'
}

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    (cd "$src" && cmake --preset native -B "$build" -DTAVIK_BUILD_BENCHMARKS=OFF >/dev/null) || exit 1
fi
logs="$build/planted-logs"
mkdir -p "$logs"

# PLANTED_FAULTS_TRUST_CLEAN=1 skips the tests of the unchanged tree (when just seen to pass).
echo "== unchanged tree"
if ! cmake --build "$build" -j2 >"$logs/clean-build.txt" 2>&1 ||
    { [[ -z "${PLANTED_FAULTS_TRUST_CLEAN:-}" ]] &&
        ! ctest --test-dir "$build" -E '^package\.' -j2 --repeat until-pass:2 \
            >"$logs/clean-test.txt" 2>&1; }; then
    echo "the unchanged tree does not pass (see $logs/clean-*.txt): nothing to measure" >&2
    exit 1
fi

# The faults named on the command line, in that order; all of them when none is named.
if [[ $# -gt 0 ]]; then
    chosen=
    for wanted in "$@"; do
        line=$(grep "^$wanted|" <<<"$faults") || { echo "no fault named $wanted" >&2; exit 2; }
        chosen+="$line"$'\n'
    done
    faults=$chosen
fi

caught=0
total=0
while IFS='|' read -r name file script; do
    [[ -z "$name" ]] && continue
    total=$((total + 1))
    backup=$(mktemp)
    cp "$src/$file" "$backup"
    sed -i -e "$script" "$src/$file"
    if cmp -s "$backup" "$src/$file"; then
        printf '%-28s not-applied  %s\n' "$name" "$file"
        restore
        continue
    fi
    verdict=survived
    by=
    if ! cmake --build "$build" -j2 >"$logs/$name-build.txt" 2>&1; then
        verdict=build-failed
        # The build's own check of the embedded images is a test too.
        if grep -q "FIRMWARE IMAGE CHECK FAILED" "$logs/$name-build.txt"; then
            verdict=caught
            by=firmware-image-check
        fi
    elif ! ctest --test-dir "$build" -E "$slow" -j2 --repeat until-pass:2 --stop-on-failure \
        --timeout 120 >"$logs/$name-test.txt" 2>&1; then
        verdict=caught
        by=$(first_failure "$logs/$name-test.txt")
    elif ! ctest --test-dir "$build" -R '^e2e-linux\.' -j2 --repeat until-pass:2 \
        --stop-on-failure >"$logs/$name-e2e.txt" 2>&1; then
        verdict=caught
        by=$(first_failure "$logs/$name-e2e.txt")
    fi
    [[ $verdict == caught ]] && caught=$((caught + 1))
    printf '%-28s %-12s %s\n' "$name" "$verdict" "${by:+by $by}"
    restore
done <<<"$faults"

echo "== $caught of $total caught"
# Leave the build as the unchanged tree.
cmake --build "$build" -j2 >/dev/null 2>&1
