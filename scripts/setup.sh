#!/usr/bin/env bash
# Installs what building and testing the updater needs on Debian 12 or Ubuntu.
set -euo pipefail
packages=(
    cmake make g++ googletest            # native build and tests (GoogleTest built from source)
    g++-mingw-w64-x86-64-posix           # Windows cross build (posix threads for std::thread)
    wine wine64 fonts-wine               # cross-built tests and the whole program under Wine
    xvfb xauth x11-utils xdotool imagemagick  # a display for the window, screenshots
    clang-format                         # formatting check
    pkg-config libusb-1.0-0-dev qt6-base-dev  # the Linux program: libusb and Qt 6 Widgets
    umockdev libumockdev-dev             # an emulated USB stack for the Linux tests
    fonts-dejavu-core                    # a UI font for Qt, also without a desktop
    libx11-dev                           # the Linux end-to-end runs: the window seen from outside
    dpkg-dev lintian desktop-file-utils appstream  # the .deb: shared-library dependencies, checks
    libcli11-dev nlohmann-json3-dev      # the command line: its options, its JSON reports
    clang libclang-rt-14-dev             # fuzz targets (libFuzzer with ASan and UBSan)
    librapidcheck-dev                    # randomised whole runs (property-based tests)
    zip unzip                            # the release's Windows zip, and looking into it
)
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# With the recommended packages: Wine's fonts and libraries are among them, and the tests and the
# demo are run and looked at with them.
$sudo apt-get install -y -q "${packages[@]}"
