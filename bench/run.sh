#!/usr/bin/env bash
# Builds the project for speed into build-bench/ and runs every benchmark part. Each part
# prints one line per figure: a name and a value (ratios against a peer measured in the
# same run, sizes in MB). Every part runs, whatever the others did: a part that cannot run says
# why and the others go on, and the run ends with a summary naming every part that failed, with
# its status (then the run's status is 1; 0 when every part ran to its end).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
# GNU time measures the CPU time of processes the job starts.
PACKAGES+=(time)
install_packages
build_into build-bench -DCMAKE_BUILD_TYPE=Release -DMORLUNEX_TESTS=OFF -DMORLUNEX_BENCH=ON
export MORLUNEX_BUILD=$PWD/build-bench
export QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export BENCH_WORK=$work
parts=(decode encoder job depth mux cli segments count hm vvc report stockcfg experiment experimentview cluster)
failed=()
ran=0
for part in "${parts[@]}"; do
    echo "== $part"
    if [ ! -x "bench/$part.sh" ]; then
        echo "$part n/a: bench/$part.sh is missing or not executable"
        failed+=("$part (not runnable)")
        continue
    fi
    start=$(date +%s)
    status=0
    "bench/$part.sh" || status=$?
    echo "== $part ended with status $status after $(( $(date +%s) - start )) s"
    ran=$((ran + 1))
    [ "$status" -eq 0 ] || failed+=("$part (status $status)")
done
echo "== summary: ${#parts[@]} parts, $ran ran, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ "${#failed[@]}" -eq 0 ]
