#!/usr/bin/env bash
# The engine alone: configured without OpenGL, GLU or SDL, built and tested.
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_CI_BUILD/engine-only
cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DSORVEL2_ENGINE_ONLY=ON -DSORVEL2_BUILD_TESTS=ON -DSORVEL2_BUILD_BENCH=OFF \
      -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
ninja -C "$dir"
run_ctest "$dir"
