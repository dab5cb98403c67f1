#!/usr/bin/env bash
# Normal build (g++, warnings as errors) and every test: Release, the build
# type most users pick, so what its optimiser warns about shows here.
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_CI_BUILD/release
cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEL2_WERROR=ON \
      -DSORVEL2_BUILD_TESTS=ON -DSORVEL2_BUILD_BENCH=ON >/dev/null
ninja -C "$dir"
run_ctest "$dir"
