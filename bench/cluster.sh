#!/usr/bin/env bash
# The simulated cluster (cluster_bench, bench/cluster_bench.cpp): 8, 16, 32 and 48 morlunex-cli
# processes, each with one encoder (-j 1) and a host name of its own (unshare --uts), on one
# shared folder, with a stand-in encoder that sleeps 100 ms a picture and uses no core
# (bench/sleeping-encoder in the build, which behaves as bench/cluster/sleeping-encoder.sh without
# starting a shell and its tools for every run), so that on this machine the scheduling alone is timed:
# a job of 9600 pictures in segments of 50, an experiment of 125 sequences x 4 configurations
# x 4 QPs (2000 cells of 10 pictures, one second each), and a holder killed outright while
# others wait for its segment (claim timeout 6 s). Prints, one figure a line, for each number
# of processes P (suffix _at_P):
#   cluster_job_makespan_ratio, cluster_experiment_makespan_ratio
#                               wall time over the ideal: the encoders' work over P
#                               (target <= 1.03 at 48)
#   ..._tail_idle_share, ..._start_idle_share
#                               the processes' time after their last encoder run and before
#                               their first, over P x the wall time
#   ..._cpu_per_segment_share, ..._cpu_per_cell_share
#                               the program's own CPU time per segment or cell over its encoding
#                               time (target < 0.01)
#   ..._<call>_per_segment, ..._<call>_per_cell
#                               the program's file-system calls: opens, renames, links, unlinks,
#                               listings (folders listed), entries (names read), stats, and the
#                               same on /proc (counted by bench/fscount, preloaded)
#   cluster_takeover_seconds    from the kill to the segment's encoder starting elsewhere
#                               (target: the claim timeout plus one refresh, 7 s)
# then the figures at 48 without the suffix, the calls of a job and an experiment a quarter the
# size at 48 (_quarter), and where the plot of the makespan ratios went
# (CLUSTER_PLOT, default $MORLUNEX_BUILD/cluster_makespan.png; docs/cluster_makespan.png is one).
# CLUSTER_PROCESSES (8,16,32,48), CLUSTER_ENCODER (the stand-in; the script measures what its
# tools cost too) and CLUSTER_OPTIONS (more cluster_bench options, see --help)
# change the sizes. Needs MORLUNEX_BUILD, BENCH_WORK, ffmpeg with libx265, and unshare --uts
# (root); prints a note and nothing else without it.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory with the benchmarks}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
if ! unshare --uts true 2> /dev/null; then
    echo "cluster n/a: unshare --uts is not allowed here (it needs root): no host names of their own"
    exit 0
fi
work=$BENCH_WORK/cluster
mkdir -p "$work"
status=0
# shellcheck disable=SC2086 # CLUSTER_OPTIONS holds several options
"$MORLUNEX_BUILD/bench/cluster_bench" --cli "$MORLUNEX_BUILD/bin/morlunex-cli" \
    --encoder "${CLUSTER_ENCODER:-$MORLUNEX_BUILD/bench/sleeping-encoder}" --fscount "$MORLUNEX_BUILD/bench/fscount.so" \
    --work "$work" --processes "${CLUSTER_PROCESSES:-8,16,32,48}" \
    --job-pictures 9600 --segment-length 50 --sequences 125 --configurations 4 --cell-pictures 10 \
    --ms-per-picture 100 --claim-timeout 6 --plot "${CLUSTER_PLOT:-$MORLUNEX_BUILD/cluster_makespan.png}" \
    ${CLUSTER_OPTIONS:-} || status=$?
rm -rf "$work"
exit "$status"
