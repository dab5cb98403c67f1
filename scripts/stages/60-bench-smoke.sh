#!/usr/bin/env bash
# Benchmark smoke run: builds the speed benchmark and runs it briefly on the
# small grids, so that every path (reference and each fast one) still runs,
# and its lockstep mode once.
# Nothing is timed against a target here.
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_CI_BUILD/bench
cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL2_ENGINE_ONLY=ON \
      -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_TOOLS=OFF -DSORVEL2_BUILD_BENCH=ON >/dev/null
ninja -C "$dir" sorvel2_speed_bench
"$dir/bench/sorvel2_speed_bench" --benchmark_filter='/grid:32/balls:10/T:20/|^Route.*/threads:1/grid:64/balls:10/' --benchmark_min_time=0.01 \
    --benchmark_counters_tabular=true
# The lockstep mode that tools/ab_frames.py drives (two builds frame by
# frame in turn), here with one build against itself on a small row.
ab_self() {
  python3 "$SORVEL2_ROOT/tools/ab_frames.py" --row sparse:1/threads:1/grid:64/balls:10 --warm 1 "$@" \
      "$dir/bench/sorvel2_speed_bench" "$dir/bench/sorvel2_speed_bench"
}
ab_self --frames 4
# Split at a frame time no frame reaches: every round is quiet, none busy.
split=$(ab_self --frames 4 --split 1000000)
echo "$split"
if ! grep -q '^quiet rounds: 4, B / A' <<<"$split" || ! grep -q '^busy rounds: 0, too few' <<<"$split"; then
  echo "bench smoke: ab_frames --split did not sort the rounds by their frame times" >&2
  exit 1
fi
# Two pairs of fresh processes: a ratio for each, and the rounds of both pooled.
pairs=$(ab_self --frames 3 --pairs 2)
echo "$pairs"
if ! grep -Eq '^B / A by pair of processes: [0-9.]+, [0-9.]+$' <<<"$pairs" || ! grep -q '^6 rounds$' <<<"$pairs"; then
  echo "bench smoke: ab_frames --pairs did not give a ratio per pair and pool their rounds" >&2
  exit 1
fi
# A row it cannot run is refused, with a message, not timed as something else.
# (The last --row given is the one taken.)
if ab_self --row sparse:1/threads:1/grid:5000/balls:10 --frames 2 2>/dev/null; then
  echo "bench smoke: ab_frames ran a row the benchmark cannot make" >&2
  exit 1
fi
