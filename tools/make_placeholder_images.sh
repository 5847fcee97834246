#!/usr/bin/env bash
# Makes the three placeholder firmware images in resources/ again, bit for bit.
# Usage: tools/make_placeholder_images.sh PATH/TO/make_placeholder_image
set -euo pipefail
maker=${1:?path to make_placeholder_image}
dir=$(cd "$(dirname "$0")/../resources" && pwd)
"$maker" "$dir/firmware-103.bin" 169516 "2.2.7+611" 103
"$maker" "$dir/firmware-104.bin" 353356 "1.2.4+930" 104
"$maker" "$dir/firmware-105.bin" 270060 "1.2.1+1960" 105
