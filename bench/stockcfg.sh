#!/usr/bin/env bash
# The reference encoder's stock random-access file (TemporalFilter on, source keys in front)
# through the job's complete file, against the same file with the filter off through the pipe,
# each against the encoder run by hand on the same raw pictures in the same run.
# Prints, one figure a line:
#   file_route_s                    the job, stock file: pictures through a complete file
#   pipe_route_s                    the job, the same file with TemporalFilter 0: through the pipe
#   reroute_s                       the job, TemporalFilter 0 in the file but turned on on the
#                                   encoder's command line: the pipe, the second open seen, the
#                                   run again through a complete file
#   file_route_vs_pipe_route_ratio  file_route_s / pipe_route_s (the filter's own cost included)
#   file_route_vs_by_hand_ratio     the file route / the encoder by hand with the filter on, run
#                                   right after it: the median of BENCH_STOCK_RUNS (3) runs, with
#                                   the spread on a line of its own
#   pipe_route_vs_by_hand_ratio     the pipe route / the encoder by hand with the filter off, the same
#   preparing_share                 the file route's seconds before the encoder starts / file_route_s
#   complete_file_mb                the complete file's size
# Needs MORLUNEX_BUILD, BENCH_WORK and the reference encoder (MORLUNEX_REFERENCE_BIN, else
# ../shared/testdata/reference-encoder/bin); prints a note and nothing else without it.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

find_reference || exit 0
size=${BENCH_STOCK_SIZE:-176x144}
frames=${BENCH_STOCK_FRAMES:-40}
runs=${BENCH_STOCK_RUNS:-3}
work=$BENCH_WORK/stockcfg
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
cli=$MORLUNEX_BUILD/bin/morlunex-cli
encoder=$reference/TAppEncoder
width=${size%x*}
height=${size#*x}

ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25" \
    -frames:v "$frames" -c:v libx264 -preset veryfast -pix_fmt yuv420p "$work/clip.mp4"
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/clip.mp4" -f rawvideo -pix_fmt yuv420p "$work/clip.yuv"
keys='FrameRate : 25\nFramesToBeEncoded : 1000000\nInputBitDepth : 8\nInputChromaFormat : 420\nFrameSkip : 0\n'
{ printf "$keys"; cat "$stock"; } > "$work/ra.cfg"
sed 's/^TemporalFilter  *: *1/TemporalFilter : 0/' "$work/ra.cfg" > "$work/ra_nofilter.cfg"
printf '#!/bin/sh\nexec "%s" "$@" --TemporalFilter=1\n' "$encoder" > "$work/filter_on.sh"
chmod +x "$work/filter_on.sh"

best() { printf '%s\n' "$@" | sort -g | head -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

file_runs=() pipe_runs=() reroute_runs=() hand_filter_runs=() hand_plain_runs=() preparing=()
file_ratios=() pipe_ratios=()
cd "$work"
# Each route runs right beside the encoder by hand it is compared with, so that a slow spell of
# the machine falls on both sides of a ratio; the ratios are the medians of the runs'.
for ((i = 0; i < runs; i++)); do
    start=$(now)
    "$cli" -q -e "$encoder" -c ra.cfg -o file.265 --progress json clip.mp4 > /dev/null 2> file.json
    file_runs+=("$(since "$start")")
    # The first report without the preparing step is the one made as the encoder starts.
    preparing+=("$(awk '/"elapsed_s"/ && !/"preparing":true/ { sub(/.*"elapsed_s":/, ""); sub(/[,}].*/, ""); print; exit }' file.json)")

    start=$(now)
    "$encoder" -c ra.cfg -i clip.yuv -b hand.265 -wdt "$width" -hgt "$height" > /dev/null 2>&1
    hand_filter_runs+=("$(since "$start")")
    file_ratios+=("$(ratio "${file_runs[-1]}" "${hand_filter_runs[-1]}")")

    start=$(now)
    "$cli" -q -e "$encoder" -c ra_nofilter.cfg -o pipe.265 clip.mp4 > /dev/null 2>&1
    pipe_runs+=("$(since "$start")")

    start=$(now)
    "$encoder" -c ra_nofilter.cfg -i clip.yuv -b hand.265 -wdt "$width" -hgt "$height" > /dev/null 2>&1
    hand_plain_runs+=("$(since "$start")")
    pipe_ratios+=("$(ratio "${pipe_runs[-1]}" "${hand_plain_runs[-1]}")")

    start=$(now)
    "$cli" -q -e "$work/filter_on.sh" -c ra_nofilter.cfg -o reroute.265 clip.mp4 > /dev/null 2>&1
    reroute_runs+=("$(since "$start")")
done

file_s=$(best "${file_runs[@]}")
pipe_s=$(best "${pipe_runs[@]}")
echo "file_route_s $file_s"
echo "pipe_route_s $pipe_s"
echo "reroute_s $(best "${reroute_runs[@]}")"
echo "file_route_vs_pipe_route_ratio $(ratio "$file_s" "$pipe_s")"
echo "file_route_vs_by_hand_ratio $(median_of "${file_ratios[@]}")"
echo "file_route_vs_by_hand_runs $(spread_of "${file_ratios[@]}")"
echo "pipe_route_vs_by_hand_ratio $(median_of "${pipe_ratios[@]}")"
echo "pipe_route_vs_by_hand_runs $(spread_of "${pipe_ratios[@]}")"
echo "preparing_share $(ratio "$(best "${preparing[@]}")" "$file_s")"
echo "complete_file_mb $(awk -v b="$(stat -c %s clip.yuv)" 'BEGIN { printf "%.1f", b / 1e6 }')"
