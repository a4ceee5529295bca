#!/usr/bin/env bash
# Installs what the project needs, builds it and starts the transcoder. Without a video
# argument it first makes a short sample clip, so there is something to encode at once.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

install_packages
build_into build

input=${1:-}
if [ -z "$input" ]; then
    input=$PWD/build/sample.mp4
    if [ ! -f "$input" ]; then
        ffmpeg -nostdin -hide_banner -loglevel error -y \
            -f lavfi -i testsrc2=size=640x360:rate=25:duration=4 \
            -f lavfi -i sine=frequency=440:duration=4 \
            -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$input"
    fi
else
    input=$(realpath "$input")
fi
exec build/bin/morlunex "$input"
