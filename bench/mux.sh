#!/usr/bin/env bash
# The container step of the job: the job benchmark's 1,500-picture 1080p clip, with its stereo
# AAC track, through the whole job (the window driven headless, the bundled encoder) into an MP4
# file; then the mux alone, on the same bitstream and input. Prints, one figure a line:
#   mux_share_of_job      the mux's wall time over the whole job's (target < 0.01)
#   mux_seconds           the mux alone, best of three
#   mux_job_seconds       the whole job into MP4, the mux included
#   mux_seconds_per_1000_pictures
# Needs MORLUNEX_BUILD (a Release build with bench/ and bin/) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

frames=${BENCH_JOB_FRAMES:-1500}
work=$BENCH_WORK/mux
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# The job benchmark's clip when it has made one of this length, else the same anew.
clip=$BENCH_WORK/job/clip_1080p.mp4
if [ ! -s "$clip" ] || [ "$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames \
                                -of csv=p=0 "$clip")" != "$frames" ]; then
    clip=$work/clip_1080p.mp4
    make_clip_1080p "$clip" "$frames"
fi
make_job_config "$work/job.cfg" 32 32

"$MORLUNEX_BUILD/bench/job_bench" job "$clip" "$MORLUNEX_BUILD/bin/TAppEncoder_hm80.exe" \
    "$work/job.cfg" "$work/out.mp4" > "$work/job.out" 2> "$work/job.err"
job_seconds=$(awk '/^job_seconds/ { print $2 }' "$work/job.out")

# The bitstream the job muxed, back out of the container, and the mux on its own.
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/out.mp4" -map 0:v -c copy \
    -bsf:v hevc_mp4toannexb -f hevc "$work/out.265"
"$MORLUNEX_BUILD/bench/mux_bench" "$work/out.265" "$clip" "$work/again.mp4" 3 \
    > "$work/mux.out" 2> "$work/mux.err"
mux_seconds=$(awk '/^mux_seconds/ { print $2 }' "$work/mux.out")
pictures=$(awk '/^mux_pictures/ { print $2 }' "$work/mux.out")

awk -v m="$mux_seconds" -v j="$job_seconds" -v p="$pictures" 'BEGIN {
    printf "mux_share_of_job %.5f\n", m / j
    printf "mux_seconds %.3f\n", m
    printf "mux_job_seconds %.3f\n", j
    printf "mux_seconds_per_1000_pictures %.4f\n", m / p * 1000
}'
