#!/usr/bin/env bash
# Fuzz every reader that takes outside input, for a bounded time each
# (SORVEL2_FUZZ_SECONDS, default 60). Any finding fails the stage.
set -euo pipefail
dir=$SORVEL2_CI_BUILD/fuzz
seconds=${SORVEL2_FUZZ_SECONDS:-60}
CC=clang-14 CXX=clang++-14 cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSORVEL2_FUZZ=ON -DSORVEL2_ENGINE_ONLY=ON -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF \
      -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
ninja -C "$dir"
for fuzzer in "$dir"/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus=$(mktemp -d)
  seeds="$SORVEL2_ROOT/fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "fuzzing $name for $seconds s"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" "$corpus" 2>&1 \
    | grep -E 'stat::number_of_executed_units|Done|ERROR|SUMMARY' || true
  # libFuzzer exits non-zero on a finding; re-check that no crash artifact was left.
  if ls "$dir/$name-"* >/dev/null 2>&1; then echo "$name: finding saved in $dir"; exit 1; fi
  rm -rf "$corpus"
done
