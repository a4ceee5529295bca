#!/usr/bin/env bash
# Sourced by the benchmarks: the 1080p clips they share, the configurations both sides of a
# comparison use, and a clock.
#   make_clip_1080p PATH FRAMES   the ffmpeg tool's noisy test pattern at 25 fps in H.264 with
#                                 three B pictures, and a stereo AAC track as long
#   make_video_1080p PATH FRAMES [OPTION...]   the same pattern without sound, coded with the
#                                 ffmpeg tool's further OPTIONs (a keyframe interval, say)
#   make_job_config PATH QP PERIOD   the window's default configuration with QP and intra period
#   make_single_thread_config PATH   the window's default configuration, the encoder on one thread
#   encoder_pair_scaling CONFIG RAW W H   the bundled encoder's throughput with two copies at
#                                 once over one alone on the raw pictures RAW of W x H (2.0 where
#                                 cores do not slow each other down): what the machine allows
#   find_reference                the reference encoder's folder and its stock random-access
#                                 file in $reference and $stock; false with a note where absent
#   now, since START              the wall clock, and the seconds since START
#   median_of VALUE...            the median of the values
#   spread_of VALUE...            the values from least to most, joined by /
make_clip_1080p() {
    local seconds
    seconds=$(awk -v f="$2" 'BEGIN { printf "%.2f", f / 25 }')
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=6:allf=t" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" -frames:v "$2" \
        -c:v libx264 -preset veryfast -bf 3 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k "$1"
}

make_video_1080p() {
    local path=$1 frames=$2
    shift 2
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=6:allf=t" -frames:v "$frames" \
        -c:v libx264 -preset veryfast -bf 3 "$@" -pix_fmt yuv420p "$path"
}

make_job_config() {
    {
        cat "$MORLUNEX_BUILD/bin/hevczent.cfg"
        printf 'QP : %s\nIntraPeriod : %s\n' "$2" "$3"
    } > "$1"
}

make_single_thread_config() {
    {
        cat "$MORLUNEX_BUILD/bin/hevczent.cfg"
        printf 'MlxX265Params : pools=1:frame-threads=1\n'
    } > "$1"
}

now() { date +%s.%N; }
# The median of the values (the lower middle one of an even count).
median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The values from least to most, joined by / (the spread of runs taken in turn).
spread_of() { printf '%s\n' "$@" | sort -g | paste -sd/; }
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f", e - s }'; }

encoder_pair_scaling() {
    local config=$1 raw=$2 width=$3 height=$4 start alone pair
    bare() {
        "$MORLUNEX_BUILD/bin/morlunex-hevc-encoder" -c "$config" -i "$raw" -b "$raw.$1.265" \
            -wdt "$width" -hgt "$height" > /dev/null 2>&1
    }
    start=$(now)
    bare alone
    alone=$(since "$start")
    start=$(now)
    bare first &
    bare second
    wait
    pair=$(since "$start")
    rm -f "$raw".*.265
    awk -v a="$alone" -v p="$pair" 'BEGIN { printf "%.3f", 2 * a / p }'
}

find_reference() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    reference=${MORLUNEX_REFERENCE_BIN:-$root/../shared/testdata/reference-encoder/bin}
    stock=$root/../shared/testdata/reference-encoder/encoder_randomaccess_main.cfg
    if [ ! -x "$reference/TAppEncoder" ] || [ ! -f "$stock" ]; then
        echo "# $(basename "$0" .sh): the reference encoder or its stock files are not there; skipped" >&2
        return 1
    fi
}
