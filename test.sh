#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the whole test suite, then builds the
# tests once more with AddressSanitizer and UndefinedBehaviorSanitizer and runs them again.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

install_packages
export QT_QPA_PLATFORM=offscreen

build_into build
(cd build && ctest --output-on-failure -j 2)

echo "== Sanitizer run =="
build_into build-asan -DMORLUNEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
(cd build-asan && ctest --output-on-failure -j 2)
