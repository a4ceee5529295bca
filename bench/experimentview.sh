#!/usr/bin/env bash
# The experiment view, one run. Prints, one figure a line:
#   experiment_view_open_s     from the view's making to a filled table, on a folder of 480
#                              finished cells (30 sequences, 4 configurations, 4 QPs) written by
#                              experiment_view_bench with the record and report writers, no
#                              encoding (target <= 0.5)
#   experiment_view_huge_open_s      from the view's making to its shown table, on a plan of 300
#                                    sequences, 6 configurations and 52 QPs (93,600 cells) whose
#                                    folder is not there yet (target <= 2)
#   experiment_view_bytes_per_cell   what a cell of that plan adds to the view's peak memory,
#                                    against the same plan with 3 sequences in its own run
#                                    (target well under 1024)
#   experiment_view_cpu_share  the view's own CPU time while it follows an experiment that
#                              morlunex-cli runs with the bundled encoder (2 raw sequences,
#                              2 configurations, 4 QPs, -j 2), over the experiment's wall time
#                              (target <= 0.01)
#   cell_read_digest_ratio     the time to read those 480 cells as the runner and the view do,
#                              with the digests of their bitstreams and reports checked against
#                              their stamps, over the same without digests (target <= 1.2)
#   file_digest_vs_b2sum       the digest of a 64 MiB bitstream (a 1080p sequence of 600
#                              pictures at about 20 Mbit/s) over b2sum reading the same file;
#                              file_stamp_check_s, the look that stands for it while the file
#                              is not touched
# and the figures they come from. Needs MORLUNEX_BUILD and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

bench=$MORLUNEX_BUILD/bench/experiment_view_bench
cli=$MORLUNEX_BUILD/bin/morlunex-cli
work=$BENCH_WORK/experimentview
rm -rf "$work"
mkdir -p "$work/open" "$work/follow"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# 480 finished cells.
head -c $((64 * 64 * 3 / 2 * 16)) /dev/zero > "$work/open/raw_64x64.yuv"
sequences=
for i in $(seq 1 30); do
    sequences+="${sequences:+, }{\"name\": \"S$i\", \"path\": \"raw_64x64.yuv\", \"size\": \"64x64\", \"fps\": 25, \"class\": \"$(( (i - 1) / 6 ))\"}"
done
configurations=
for c in 0 1 2 3; do
    printf 'MlxPreset : ultrafast\nQP : %d\n' "$c" > "$work/open/c$c.cfg"
    configurations+="${configurations:+, }{\"name\": \"c$c\", \"anchor\": $([ $c = 0 ] && echo true || echo false), \"encoder\": \"$MORLUNEX_BUILD/bin/morlunex-hevc-encoder\", \"cfg\": \"c$c.cfg\"}"
done
echo "{\"sequences\": [$sequences], \"configurations\": [$configurations], \"qps\": [22, 27, 32, 37]}" > "$work/open/plan.json"
"$bench" make "$work/open/plan.json"
# Read once so that the figure is the view's, not the disk's.
cat "$work/open/plan.results"/*/* > /dev/null
"$bench" open "$work/open/plan.json"

# A huge plan, and the same with 3 sequences for the peer.
mkdir -p "$work/huge"
head -c $((64 * 64 * 3 / 2 * 16)) /dev/zero > "$work/huge/raw_64x64.yuv"
huge_plan() {
    local count=$1 sequences= configurations=
    for i in $(seq 1 "$count"); do
        sequences+="${sequences:+, }{\"name\": \"S$i\", \"path\": \"raw_64x64.yuv\", \"size\": \"64x64\", \"fps\": 25, \"class\": \"$(( (i - 1) / 50 ))\"}"
    done
    for c in 0 1 2 3 4 5; do
        { cat "$MORLUNEX_BUILD/bin/hevczent.cfg"; echo 'MlxPreset : ultrafast'; } > "$work/huge/c$c.cfg"
        configurations+="${configurations:+, }{\"name\": \"c$c\", \"anchor\": $([ $c = 0 ] && echo true || echo false), \"encoder\": \"$MORLUNEX_BUILD/bin/morlunex-hevc-encoder\", \"cfg\": \"c$c.cfg\"}"
    done
    echo "{\"sequences\": [$sequences], \"configurations\": [$configurations], \"qps\": [$(seq -s ', ' 0 51)]}"
}
huge_plan 300 > "$work/huge/huge.json"
huge_plan 3 > "$work/huge/small.json"
"$bench" huge "$work/huge/small.json" > "$work/huge/small.txt"
"$bench" huge "$work/huge/huge.json" | tee "$work/huge/huge.txt"
awk '$1 == "experiment_view_huge_maxrss_kb" { kb[FILENAME] = $2 } $1 == "experiment_view_huge_cells" { n[FILENAME] = $2 }
     END { h = ARGV[2]; s = ARGV[1]
           printf "experiment_view_bytes_per_cell %.0f\n", (kb[h] - kb[s]) * 1024 / (n[h] - n[s]) }' \
    "$work/huge/small.txt" "$work/huge/huge.txt"
# The cells' digests, then one large bitstream's against b2sum reading the same file.
"$MORLUNEX_BUILD/bench/cell_digest_bench" cells "$work/open/plan.json"
head -c $((64 << 20)) /dev/urandom > "$work/big.265"
cat "$work/big.265" > /dev/null
"$MORLUNEX_BUILD/bench/cell_digest_bench" file "$work/big.265" | tee "$work/big.txt"
start=$(now)
b2sum "$work/big.265" > /dev/null
b2sum_s=$(since "$start")
echo "file_b2sum_s $b2sum_s"
awk -v b="$b2sum_s" '$1 == "file_digest_s" { printf "file_digest_vs_b2sum %.2f\n", $2 / b }' "$work/big.txt"
rm -f "$work/big.265"

# Following a running experiment.
for source in testsrc2 mandelbrot; do
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source=size=176x144:rate=25" \
        -frames:v "${BENCH_EXPERIMENT_FRAMES:-96}" -pix_fmt yuv420p -f rawvideo "$work/follow/${source}_176x144.yuv"
done
{ cat "$MORLUNEX_BUILD/bin/hevczent.cfg"; echo 'MlxPreset : ultrafast'; } > "$work/follow/fast.cfg"
{ cat "$MORLUNEX_BUILD/bin/hevczent.cfg"; echo 'MlxPreset : medium'; } > "$work/follow/medium.cfg"
cat > "$work/follow/plan.json" << PLAN
{
  "sequences": [
    {"name": "Pattern", "path": "testsrc2_176x144.yuv", "size": "176x144", "fps": 25},
    {"name": "Fractal", "path": "mandelbrot_176x144.yuv", "size": "176x144", "fps": 25}
  ],
  "configurations": [
    {"name": "fast", "anchor": true, "encoder": "$MORLUNEX_BUILD/bin/morlunex-hevc-encoder", "cfg": "fast.cfg"},
    {"name": "medium", "encoder": "$MORLUNEX_BUILD/bin/morlunex-hevc-encoder", "cfg": "medium.cfg"}
  ],
  "qps": [22, 27, 32, 37]
}
PLAN
"$bench" follow "$work/follow/plan.json" > "$work/follow/view.txt" &
view=$!
trap 'kill "$view" 2>/dev/null || true' EXIT
sleep 1
start=$(now)
(cd "$work/follow" && "$cli" --experiment plan.json -j 2 -q)
wall=$(since "$start")
wait "$view"
trap - EXIT
cat "$work/follow/view.txt"
echo "experiment_wall_s $wall"
cpu=$(awk '$1 == "experiment_view_cpu_s" { print $2 }' "$work/follow/view.txt")
awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "experiment_view_cpu_share %.4f\n", c / w }'
