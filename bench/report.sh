#!/usr/bin/env bash
# What the quality report costs: the 1,500-picture 1080p job of job.sh run by morlunex-cli with
# --report and without, alternating, best of each. Prints, one figure a line:
#   report_cost_share          wall time with --report / without, minus 1 (target < 0.01)
#   report_job_seconds, plain_job_seconds   the two best wall times
#   report_rows                rows in the report (the clip's pictures)
#   report_work_seconds        the report's own work on that job's recorded encoder output,
#                              timed alone: reading the lines, the summary, the JSON and CSV files
#   report_work_share          that over the job's wall time: the cost share without the noise of
#                              a shared machine
# Needs MORLUNEX_BUILD (a Release build with bench/ and bin/) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

frames=${BENCH_JOB_FRAMES:-1500}
runs=${BENCH_REPORT_RUNS:-2}
work=$BENCH_WORK/report
mkdir -p "$work"
clip=$work/clip_1080p.mp4
cli=$MORLUNEX_BUILD/bin/morlunex-cli
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# The clip and the settings of job.sh.
make_video_1080p "$clip" "$frames"
make_job_config "$work/job.cfg" 32 32

# run NAME [extra arguments]: one job, its wall time on standard output.
run() {
    local name=$1
    shift
    local start
    # The encoder's lines, which -q keeps off standard output, go to a file on both sides.
    rm -f "$work/$name.log"
    start=$(now)
    "$cli" -q --progress none --encoder-log "$work/$name.log" -c "$work/job.cfg" -o "$work/$name.265" "$@" "$clip" \
        > "$work/$name.out" 2> "$work/$name.err"
    since "$start"
}

plain_runs=()
report_runs=()
# Alternating, and each side first in turn: a 2-core machine is noisy, and the order must not
# favour either side.
for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
        plain_runs+=("$(run plain)")
        report_runs+=("$(run report --report "$work/report.json")")
    else
        report_runs+=("$(run report --report "$work/report.json")")
        plain_runs+=("$(run plain)")
    fi
done
echo "wall times, s: without --report ${plain_runs[*]}; with ${report_runs[*]}" >&2
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
plain=$(best "${plain_runs[@]}")
with_report=$(best "${report_runs[@]}")

awk -v r="$with_report" -v p="$plain" 'BEGIN { printf "report_cost_share %.4f\n", r / p - 1 }'
echo "report_job_seconds $with_report"
echo "plain_job_seconds $plain"
"$MORLUNEX_BUILD/bench/report_bench" "$work/report.log" "$work/report.265" "$work" 5 > "$work/work.out"
work_seconds=$(awk '/^report_work_seconds/ { print $2 }' "$work/work.out")
echo "report_rows $(awk '/^report_rows/ { print $2 }' "$work/work.out")"
echo "report_work_seconds $work_seconds"
awk -v w="$work_seconds" -v p="$plain" 'BEGIN { printf "report_work_share %.6f\n", w / p }'
