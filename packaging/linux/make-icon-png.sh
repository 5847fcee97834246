#!/usr/bin/env bash
# Renders the icon's 48x48 PNG (the size the icon theme asks every application for) from the SVG.
# Run by hand after changing the SVG; the PNG is kept in the repository so the build needs no
# renderer. Metadata and time stamps are left out so the same SVG gives the same file.
set -euo pipefail
cd "$(dirname "$0")"
convert -background none -density 96 tavik-updater.svg -resize 48x48 -depth 8 -strip \
    -define png:exclude-chunks=date,time tavik-updater-48.png
