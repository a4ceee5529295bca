#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite. With --sanitize it
# then builds everything once more with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every suite again and each fuzz target for a short while (about three times the time of
# the plain run, so it is left out of the default; CI runs it).
set -euo pipefail
cd "$(dirname "$0")"
sanitize=0
for arg in "$@"; do
    case "$arg" in
        --sanitize) sanitize=1 ;;
        *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
    esac
done
source scripts/setup.sh

if [ "$sanitize" = 1 ]; then
    install_packages "${SANITIZER_PACKAGES[@]}"
else
    install_packages
fi
export QT_QPA_PLATFORM=offscreen

build_into build
(cd build && ctest --output-on-failure -j 2)
[ "$sanitize" = 1 ] || exit 0

echo "== Sanitizer run =="
build_into build-asan -DCMAKE_CXX_COMPILER=clang++ -DMORLUNEX_SANITIZE=ON -DMORLUNEX_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
(cd build-asan && ctest --output-on-failure -j 2)
