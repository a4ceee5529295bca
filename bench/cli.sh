#!/usr/bin/env bash
# morlunex-cli on a 1080p clip: segments encoded side by side against one piece, and the
# command-line program against the window's job (driven headless) on the same clip.
# Prints, one figure a line:
#   segments2_speedup          one piece's wall time / (2 segments under parallel -j2 + the
#                              join), the bundled encoder single-threaded (target >= 1.7)
#   encoder_pair_scaling       the ceiling for the figure above on this machine: the bundled
#                              encoder's throughput with two copies at once / one alone, on
#                              raw pictures (2.0 where cores do not slow each other down)
#   joined_pictures            pictures in the joined bitstream (the clip's count)
#   cli_vs_window_job_ratio    the CLI's wall time / the window's job (target <= 1.02)
# Needs MORLUNEX_BUILD (a Release build with bench/ and bin/), BENCH_WORK and GNU parallel.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

frames=${BENCH_CLI_FRAMES:-200}
runs=${BENCH_CLI_RUNS:-2}
half=$((frames / 2))
work=$BENCH_WORK/cli
mkdir -p "$work"
clip=$work/clip_1080p.mp4
cli=$MORLUNEX_BUILD/bin/morlunex-cli
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
# GNU parallel keeps its own files under HOME.
export HOME=$work

# Keyframes every 2 s, as in most real inputs: a segment's start then costs at most 50
# pictures decoded and dropped, not a quarter of this short clip.
make_video_1080p "$clip" "$frames" -g 50

# One encoder thread, so that the speedup shows what running segments side by side gains.
make_single_thread_config "$work/single.cfg"
best() { printf '%s\n' "$@" | sort -g | head -n 1; }

whole_runs=()
split_runs=()
cli_runs=()
window_runs=()
# Alternating runs, best of each: a 2-core machine is noisy, and the order must favour no side.
for ((i = 0; i < runs; i++)); do
    start=$(now)
    "$cli" -q -c "$work/single.cfg" -o "$work/whole.265" "$clip" > /dev/null
    whole_runs+=("$(since "$start")")

    start=$(now)
    parallel --will-cite -j 2 --halt now,fail=1 \
        "$cli" -q -c "$work/single.cfg" --start {} --frames "$half" -o "$work/part_{}.265" "$clip" \
        ::: 0 "$half" > /dev/null
    "$cli" -q --overwrite --join "$work/joined.265" "$work/part_0.265" "$work/part_$half.265"
    split_runs+=("$(since "$start")")

    start=$(now)
    "$cli" -q -o "$work/cli.265" "$clip" > /dev/null
    cli_runs+=("$(since "$start")")

    "$MORLUNEX_BUILD/bench/job_bench" job "$clip" "$MORLUNEX_BUILD/bin/TAppEncoder_hm80.exe" \
        "$MORLUNEX_BUILD/bin/hevczent.cfg" "$work/window.265" > "$work/window.out" 2> "$work/window.err"
    window_runs+=("$(awk '/^job_seconds/ { print $2 }' "$work/window.out")")
done
whole=$(best "${whole_runs[@]}")
split=$(best "${split_runs[@]}")
ours=$(best "${cli_runs[@]}")
window=$(best "${window_runs[@]}")

# Two encoders at once against one, without the transcoder: what the cores allow.
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -frames:v 40 -vf pad=1920:1088 \
    -f rawvideo -pix_fmt yuv420p "$work/raw40.yuv"
pair=$(encoder_pair_scaling "$work/single.cfg" "$work/raw40.yuv" 1920 1088)
rm -f "$work/raw40.yuv"

awk -v w="$whole" -v s="$split" 'BEGIN { printf "segments2_speedup %.3f\n", w / s }'
echo "encoder_pair_scaling $pair"
echo "one_piece_seconds $whole"
echo "two_segments_seconds $split"
echo "joined_pictures $(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=nb_read_frames -of csv=p=0 "$work/joined.265")"
awk -v c="$ours" -v w="$window" 'BEGIN { printf "cli_vs_window_job_ratio %.3f\n", c / w }'
echo "cli_seconds $ours"
echo "window_job_seconds $window"
