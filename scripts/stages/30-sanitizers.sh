#!/usr/bin/env bash
# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer (clang 14).
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_CI_BUILD/asan
CC=clang-14 CXX=clang++-14 cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DSORVEL2_SANITIZE=ON -DSORVEL2_BUILD_TESTS=ON -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_WERROR=ON >/dev/null
ninja -C "$dir"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$SORVEL2_ROOT/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest "$dir"
