#!/usr/bin/env bash
# Installs the Debian packages the project needs (skipping what is installed) and builds
# the project into build/. Sourced by run.sh and test.sh.
set -euo pipefail

PACKAGES=(cmake g++ make pkg-config qt6-base-dev qt6-charts-dev libgl-dev
          libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev
          libx265-dev ffmpeg
          parallel desktop-file-utils appstream dpkg-dev file)
# The sanitizer build and the fuzz targets: clang, with its sanitizer and libFuzzer runtimes.
SANITIZER_PACKAGES=(clang libclang-rt-14-dev)

# install_packages [more packages...]
install_packages() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

# build_into DIR [cmake options...]
build_into() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
