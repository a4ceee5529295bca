#!/usr/bin/env bash
# The whole encode job (the window driven headless: decoding on a worker thread into the named
# pipe the bundled encoder reads) beside the ffmpeg tool transcoding the same clip (1080p, with a
# stereo AAC track, which neither side's bitstream output carries) with the
# same x265 library, preset, QP and intra period; the output rewrite; and the log pane's cost
# per line. Prints, one figure a line:
#   job_vs_ffmpeg_x265_ratio   our wall time / the tool's (target <= 1.0)
#   job_temp_peak_mb           largest disk use of the temporary directory during a job (<= 16)
#   ui_max_stall_ms            longest gap between ticks of a 10 ms timer on the window's
#                              thread during a job (<= 100)
#   job_bytes / ffmpeg_x265_bytes, job_psnr_y / ffmpeg_x265_psnr_y   against the source
#   rewrite_seconds_per_1000_pictures, rewrite_share_of_job   the output rewrite alone, and
#                              its time over the job's for the same pictures (< 0.01)
#   log_append_ratio           time per line for 100,000 lines / for 10,000 (target <= 1.5)
# Needs MORLUNEX_BUILD (a Release build with bench/ and bin/) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"

frames=${BENCH_JOB_FRAMES:-1500}
qp=32
period=32
preset=medium
work=$BENCH_WORK/job
mkdir -p "$work"
clip=$work/clip_1080p.mp4
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

source "$(dirname "$0")/clip_1080p.sh"
make_clip_1080p "$clip" "$frames"

# The window's own default configuration, with the settings both sides share made explicit.
make_job_config "$work/job.cfg" "$qp" "$period"

source "$(dirname "$0")/jobpair.sh"
run_pair "${BENCH_JOB_RUNS:-2}" "$clip" "$work/job.cfg" "$work" \
    "qp=$qp:keyint=$period:min-keyint=$period:scenecut=0:repeat-headers=1:log-level=error" \
    -preset "$preset"
stalls=($(awk '/^ui_max_stall_ms/ { print $2 }' "$work"/job.*.out))
temp_peaks=($(awk '/^job_temp_peak_mb/ { print $2 }' "$work"/job.*.out))

awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "job_vs_ffmpeg_x265_ratio %.3f\n", o / t }'
echo "job_temp_peak_mb $(worst "${temp_peaks[@]}")"
echo "ui_max_stall_ms $(worst "${stalls[@]}")"
echo "job_seconds $ours"
echo "ffmpeg_x265_seconds $theirs"
echo "job_bytes $(stat -c %s "$work/ours.265")"
echo "ffmpeg_x265_bytes $(stat -c %s "$work/theirs.265")"
echo "job_psnr_y $(psnr_y "$work/ours.265" "$clip")"
echo "ffmpeg_x265_psnr_y $(psnr_y "$work/theirs.265" "$clip")"

# The rewrite the job ran at its end, once more on a copy of its output, timed alone.
"$MORLUNEX_BUILD/bench/rewrite_bench" "$work/ours.265" 3 > "$work/rewrite.out"
rewrite_seconds=$(awk '/^rewrite_seconds/ { print $2 }' "$work/rewrite.out")
rewrite_pictures=$(awk '/^rewrite_pictures/ { print $2 }' "$work/rewrite.out")
awk -v s="$rewrite_seconds" -v p="$rewrite_pictures" -v j="$ours" 'BEGIN {
    printf "rewrite_seconds_per_1000_pictures %.4f\n", s / p * 1000
    printf "rewrite_share_of_job %.5f\n", s / j
}'

# Best of three: the 10,000-line run lasts a fraction of a second, so one run is mostly noise.
per_line() {
    for _ in 1 2 3; do "$MORLUNEX_BUILD/bench/job_bench" log "$1" 2>/dev/null | awk '{ print $2 }'; done |
        sort -g | head -n 1
}
short=$(per_line 10000)
long=$(per_line 100000)
awk -v s="$short" -v l="$long" 'BEGIN { printf "log_append_ratio %.3f\n", l / s }'
