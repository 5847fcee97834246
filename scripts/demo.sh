#!/usr/bin/env bash
# Builds the updater natively and for Windows. (The run against the simulated unit under Wine
# and Xvfb joins this script once the Windows program exists.)
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in native windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done
echo "Built: build/native and build/windows"
