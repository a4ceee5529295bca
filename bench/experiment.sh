#!/usr/bin/env bash
# A coding experiment with the reference encoder: two raw sequences, an anchor and a test
# configuration (RDOQ off), four QPs, 16 cells with -j 2, one run. Prints, one figure a line:
#   experiment_efficiency       the cells' encoder CPU time summed over (2 cores x the
#                               experiment's wall time) (target >= 0.9: the last cells run in
#                               segments, so no core idles at the end)
#   experiment_overhead_share   the program's own CPU time over the cells' encoder CPU time
#                               (target <= 0.01)
#   experiment_vs_shell_loop    the wall time of the same 16 encoder command lines run two at a
#                               time by xargs -P 2, the way labs run them, over the
#                               experiment's: the peer, measured in the same run, so that other
#                               load on the machine shows in both
#   experiment_tail_idle_share  the share of the experiment's wall time after its second-last
#                               cell was done (one encoder or none busy, unless in segments)
# and the figures they come from. Needs MORLUNEX_BUILD, BENCH_WORK and the reference encoder
# (MORLUNEX_REFERENCE_BIN, else ../shared/testdata/reference-encoder/bin); prints a note and
# nothing else without it.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
reference=${MORLUNEX_REFERENCE_BIN:-$root/../shared/testdata/reference-encoder/bin}
if [ ! -x "$reference/TAppEncoder" ]; then
    echo "# experiment: the reference encoder is not there ($reference); skipped" >&2
    exit 0
fi
size=${BENCH_EXPERIMENT_SIZE:-176x144}
frames=${BENCH_EXPERIMENT_FRAMES:-96}
work=$BENCH_WORK/experiment
rm -rf "$work"
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
cli=$MORLUNEX_BUILD/bin/morlunex-cli

for source in "testsrc2" "mandelbrot"; do
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source=size=$size:rate=25" \
        -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$work/${source}_$size.yuv"
done
cp "$MORLUNEX_BUILD/bin/hevczent.cfg" "$work/anchor.cfg"
{ cat "$work/anchor.cfg"; printf 'RDOQ : 0\nRDOQTS : 0\n'; } > "$work/test.cfg"
cat > "$work/plan.json" << EOF
{
  "sequences": [
    {"name": "Pattern", "path": "testsrc2_$size.yuv", "size": "$size", "fps": 25, "class": "D"},
    {"name": "Fractal", "path": "mandelbrot_$size.yuv", "size": "$size", "fps": 25, "class": "D"}
  ],
  "configurations": [
    {"name": "anchor", "anchor": true, "encoder": "$reference/TAppEncoder", "cfg": "anchor.cfg"},
    {"name": "noRDOQ", "encoder": "$reference/TAppEncoder", "cfg": "test.cfg"}
  ],
  "qps": [22, 27, 32, 37]
}
EOF

start=$(now)
"$cli" --experiment "$work/plan.json" -j 2 -q --progress json 2> "$work/progress.json"
wall=$(since "$start")
encoders=$(grep -ho '"encoder_cpu_s": [0-9.e+-]*' "$work"/plan.results/*/*.record |
           awk '{ s += $2 } END { printf "%.3f", s }')
runner=$(grep '"final":true' "$work/progress.json" | sed -n 's/.*"runner_cpu_s":\([0-9.e+-]*\).*/\1/p')
segmented=$({ grep -l "in segments" "$work"/plan.results/*/*.log 2> /dev/null || true; } | wc -l)
second_last=$(grep '"event":"done"' "$work/progress.json" | tail -n 2 | head -n 1 |
              sed -n 's/.*"elapsed_s":\([0-9.]*\).*/\1/p')

# The peer: each cell's own command line (its configuration as the experiment wrote it), the
# lowest QPs first as in the experiment, two at a time.
width=${size%x*}
height=${size#*x}
mkdir -p "$work/loop"
for qp in 22 27 32 37; do
    for sequence in Pattern:testsrc2 Fractal:mandelbrot; do
        for configuration in anchor noRDOQ; do
            name=${sequence%%:*}
            printf '%s\0' "$reference/TAppEncoder -c $work/plan.results/$configuration/${name}_QP$qp.cfg \
-i $work/${sequence#*:}_$size.yuv -b $work/loop/${configuration}_${name}_QP$qp.265 -wdt $width -hgt $height -q $qp"
        done
    done
done > "$work/loop/commands"
start=$(now)
xargs -0 -P 2 -I{} sh -c '{} > /dev/null 2>&1' < "$work/loop/commands"
loop=$(since "$start")
awk -v c="$encoders" -v w="$wall" 'BEGIN { printf "experiment_efficiency %.3f\n", c / (2 * w) }'
awk -v r="$runner" -v c="$encoders" 'BEGIN { printf "experiment_overhead_share %.4f\n", r / c }'
awk -v l="$loop" -v w="$wall" 'BEGIN { printf "experiment_vs_shell_loop %.3f\n", l / w }'
awk -v s="$second_last" -v w="$wall" 'BEGIN { printf "experiment_tail_idle_share %.3f\n", (w - s) / w }'
echo "shell_loop_wall_s $loop"
echo "experiment_wall_s $wall"
echo "experiment_encoder_cpu_s $encoders"
echo "experiment_runner_cpu_s $runner"
echo "experiment_cells_in_segments $segmented"
