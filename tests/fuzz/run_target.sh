#!/usr/bin/env bash
# run_target.sh BINARY SEEDS WORK SECONDS
# Runs one fuzz target for about SECONDS: first on its seeds, then on inputs of its own, which
# it keeps in WORK/corpus (the seed folder is only read, and a later run goes on from there).
# An input that crashes it, or that one run takes more than 30 s over, is kept in WORK/ under
# the fault's name; the status is then not 0.
set -euo pipefail
binary=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/tmp"
# The targets write their files in a folder of their own under TMPDIR, which a crash leaves.
export TMPDIR="$work/tmp"
exec "$binary" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds"
