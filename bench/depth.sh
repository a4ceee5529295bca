#!/usr/bin/env bash
# The whole encode job on a 10-bit input with hevczent10.cfg (the window driven headless:
# decoding 10-bit pictures on a worker thread into the named pipe, two bytes a sample, that
# the bundled encoder codes in Main 10) beside the ffmpeg tool transcoding the same clip with
# the same x265 library at 10 bits, preset, QP and intra period. Prints, one figure a line:
#   depth10_job_vs_ffmpeg_x265_ratio   our wall time / the tool's (target <= 1.0)
#   depth10_job_seconds, depth10_ffmpeg_x265_seconds
#   depth10_job_bytes / depth10_ffmpeg_x265_bytes, depth10_job_psnr_y / depth10_ffmpeg_x265_psnr_y
#                                      against the source, at 10 bits
# Needs MORLUNEX_BUILD (a Release build with bench/ and bin/) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"

frames=${BENCH_DEPTH_FRAMES:-300}
qp=32
period=32
preset=medium
work=$BENCH_WORK/depth
mkdir -p "$work"
clip=$work/clip_1080p10.mp4
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# A 10-bit 4:2:0 camera-like file: fine noise keeps the low bits busy.
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1920x1080:rate=25,format=yuv420p10le,noise=alls=6:allf=t" -frames:v "$frames" \
    -c:v libx264 -preset veryfast -bf 3 -pix_fmt yuv420p10le "$clip"

# The shipped Main 10 configuration, with the settings both sides share made explicit.
{
    cat "$MORLUNEX_BUILD/bin/hevczent10.cfg"
    printf 'QP : %s\nIntraPeriod : %s\n' "$qp" "$period"
} > "$work/job.cfg"

source "$(dirname "$0")/jobpair.sh"
run_pair "${BENCH_DEPTH_RUNS:-2}" "$clip" "$work/job.cfg" "$work" \
    "qp=$qp:keyint=$period:min-keyint=$period:scenecut=0:repeat-headers=1:log-level=error" \
    -preset "$preset" -pix_fmt yuv420p10le

grep -q 'Main 10' <(ffprobe -v error -show_entries stream=profile -of csv=p=0 "$work/ours.265") ||
    { echo "the job did not code Main 10" >&2; exit 1; }
awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "depth10_job_vs_ffmpeg_x265_ratio %.3f\n", o / t }'
echo "depth10_job_seconds $ours"
echo "depth10_ffmpeg_x265_seconds $theirs"
echo "depth10_job_bytes $(stat -c %s "$work/ours.265")"
echo "depth10_ffmpeg_x265_bytes $(stat -c %s "$work/theirs.265")"
echo "depth10_job_psnr_y $(psnr_y "$work/ours.265" "$clip" yuv420p10le)"
echo "depth10_ffmpeg_x265_psnr_y $(psnr_y "$work/theirs.265" "$clip" yuv420p10le)"
