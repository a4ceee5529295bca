#!/usr/bin/env bash
# Builds the project for speed into build-bench/ and runs every benchmark part. Each part
# prints one line per figure: a name and a value (ratios against a peer measured in the
# same run, sizes in MB).
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
for part in decode encoder job depth mux cli segments count hm vvc report stockcfg experiment experimentview; do
    if [ -x "bench/$part.sh" ]; then
        "bench/$part.sh"
    fi
done
