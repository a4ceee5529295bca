#!/usr/bin/env bash
# scripts/fuzz.sh [-j JOBS] [SECONDS] [TARGET...]
# Builds the fuzz targets (clang's libFuzzer, with AddressSanitizer and
# UndefinedBehaviorSanitizer, optimised) into build-fuzz/ and runs each for SECONDS (default
# 300), JOBS at once (default 1), or only the targets named (nalunits, slices, ...). Each target
# starts from its seeds in tests/fuzz/corpus/TARGET and keeps what it finds besides in
# build-fuzz/fuzz/work/TARGET/corpus, so that the next run goes on from there. An input that
# crashes a target is kept there too and named at the end, and the status is then 1. A fault
# found and mended: add its input to the target's seeds, where every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=1
if [ "${1:-}" = -j ]; then
    jobs=$2
    shift 2
fi
seconds=300
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
source scripts/setup.sh
install_packages "${SANITIZER_PACKAGES[@]}"

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORLUNEX_SANITIZE=ON -DMORLUNEX_FUZZ=ON -DMORLUNEX_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_targets

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for binary in build-fuzz/fuzz/fuzz_*; do
        targets+=("${binary##*/fuzz_}")
    done
fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"

# run TARGET: its whole output in build-fuzz/fuzz/work/TARGET/log, its closing figures here.
run() {
    local name=$1 work=build-fuzz/fuzz/work/$1 status=0
    mkdir -p "$work"
    tests/fuzz/run_target.sh "build-fuzz/fuzz/fuzz_$name" "tests/fuzz/corpus/$name" "$work" "$seconds" \
        >"$work/log" 2>&1 || status=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    if [ "$status" = 0 ]; then
        echo "$name: ${runs:-?} inputs in ${seconds} s, no fault; corpus $(ls "$work/corpus" | wc -l) inputs"
    else
        echo "$name: FAULT (status $status) after ${runs:-?} inputs: $(ls "$work"/crash-* "$work"/timeout-* \
            "$work"/leak-* "$work"/oom-* 2>/dev/null | tr '\n' ' ')(see $work/log)"
        return 1
    fi
}

failed=0
pids=()
for name in "${targets[@]}"; do
    [ -x "build-fuzz/fuzz/fuzz_$name" ] || { echo "no fuzz target $name" >&2; exit 2; }
    run "$name" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
exit $failed
