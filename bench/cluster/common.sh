#!/usr/bin/env bash
# Sourced by the cluster scripts: installs the program as the recipes of docs/segments.md expect it (under
# /usr/local, found by non-interactive shells on every "node"), makes a shared folder with a
# clip, and checks a joined output. Everything it makes goes when the script ends.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${MORLUNEX_BUILD:-$root/build}
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
work=$(mktemp -d /tmp/morlunex-cluster-XXXXXX)
shared=$work/shared/work
mkdir -p "$shared"
chmod 755 "$work" "$work/shared"
frames=${CLUSTER_FRAMES:-240}
decoder=${MORLUNEX_REFERENCE_BIN:-$root/../shared/testdata/reference-encoder/bin}/TAppDecoder

cleanups=()
cleanup() {
    local i
    for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
    rm -rf "$work"
}
trap cleanup EXIT

install_program() {
    "${sudo[@]}" cmake --install "$build" --prefix /usr/local > "$work/install.log"
    cleanups+=("xargs -d '\\n' -a '$build/install_manifest.txt' ${sudo[*]} rm -f; ${sudo[*]} rmdir /usr/local/lib/morlunex 2>/dev/null")
    # The joined stream is checked picture by picture by the reference decoder: the bundled
    # encoder's library writes an MD5 of every decoded picture (a test installation only).
    echo 'MlxX265Params : hash=1' | "${sudo[@]}" tee -a /usr/local/lib/morlunex/hevczent.cfg > /dev/null
}

make_clip() {
    # The shared folder at the same path on every "machine", as the recipes name it.
    [ ! -e /shared/work ] || { echo "/shared/work exists already; not touching it"; exit 1; }
    "${sudo[@]}" mkdir -p /shared
    "${sudo[@]}" ln -sfn "$shared" /shared/work
    cleanups+=("${sudo[*]} rm -f /shared/work; ${sudo[*]} rmdir /shared")
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=640x360:rate=25" -frames:v "$frames" \
        -c:v libx264 -g 50 -pix_fmt yuv420p "$shared/long.mp4"
}

# check FILE: picture count, and the reference decoder's hash check where it is there.
check_output() {
    local file=$1 pictures
    pictures=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
        -of csv=p=0 "$file")
    echo "pictures in $(basename "$file"): $pictures of $frames"
    [ "$pictures" = "$frames" ] || { echo "FAILED: wrong picture count"; return 1; }
    if [ -x "$decoder" ]; then
        "$decoder" -b "$file" -o /dev/null > "$work/decode.log"
        echo "reference decoder: $(grep -c '(OK)' "$work/decode.log") hashes OK, $(grep -c 'ERROR' "$work/decode.log") errors"
        tail -n 3 "$work/decode.log"
        [ "$(grep -c '(OK)' "$work/decode.log")" = "$frames" ] || { echo "FAILED: hash check"; return 1; }
    fi
    [ ! -e "$file.parts" ] || { echo "FAILED: the parts folder is still there"; return 1; }
}

# run 'recipe text': prints the recipe as pasted, then runs it in the shared folder.
run_recipe() {
    printf '\n$ %s\n' "$1"
    (cd "$shared" && bash -c "$1")
}
