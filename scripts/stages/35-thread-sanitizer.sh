#!/usr/bin/env bash
# The speed tests (every fast path and thread count against the reference
# code) under ThreadSanitizer: the worker threads hand work and results on
# through atomics, not locks, and it checks every such hand-off they make.
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_CI_BUILD/tsan
cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL2_ENGINE_ONLY=ON \
      -DSORVEL2_SANITIZE_THREAD=ON -DSORVEL2_BUILD_TESTS=ON -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=OFF \
      -DSORVEL2_WERROR=ON >/dev/null
ninja -C "$dir" sorvel2_speed_tests
# A report fails the test it comes from. (The check of the field's proofs
# sample by sample runs on the default thread count and adds only time.)
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_ctest "$dir" -R '^(FastField|BlockBounds|BlockTables|FastSurface|SparseSurface|Parallel)\.' -E 'EveryProvenBlockHasTheProvenClass'
