#!/usr/bin/env bash
# Counting a video stream's pictures from its packets, as the job does before it cuts an input
# whose container states no count, against decoding the same input, on a 1080p Matroska file
# written without an index (to a pipe, so the muxer cannot go back for one). Prints:
#   count_share        the count's time over the decode's (target <= 0.05)
#   count_seconds, decode_seconds, pictures
# Needs MORLUNEX_BUILD (a Release build with bench/) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

frames=${BENCH_COUNT_FRAMES:-400}
work=$BENCH_WORK/count
mkdir -p "$work"
make_video_1080p "$work/clip.mp4" "$frames" -g 50
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/clip.mp4" -c copy -f matroska - > "$work/noindex.mkv"
"$MORLUNEX_BUILD/bench/count_bench" "$work/noindex.mkv" | grep -v '^decoded_pictures'
