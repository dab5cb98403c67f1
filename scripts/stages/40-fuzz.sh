#!/usr/bin/env bash
# Fuzz every reader that takes outside input, for a bounded time each
# (SORVEL2_FUZZ_SECONDS, default 30), from its committed corpus and with its
# dictionary. The readers read from memory, so a run costs microseconds.
# Any finding fails the stage.
set -euo pipefail
dir=$SORVEL2_CI_BUILD/fuzz
seconds=${SORVEL2_FUZZ_SECONDS:-30}
CC=clang-14 CXX=clang++-14 cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSORVEL2_FUZZ=ON -DSORVEL2_ENGINE_ONLY=ON -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF \
      -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
ninja -C "$dir"
# The fuzzers run side by side, one a core: each is single-threaded, so
# every one still gets its whole time.
found=0
names=() pids=() corpora=()
for fuzzer in "$dir"/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  reader=${name#fuzz_}
  corpus=$(mktemp -d)
  seeds="$SORVEL2_ROOT/fuzz/corpus/$reader"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  dict=()
  [ -f "$SORVEL2_ROOT/fuzz/$reader.dict" ] && dict=(-dict="$SORVEL2_ROOT/fuzz/$reader.dict")
  echo "fuzzing $name for $seconds s"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" -artifact_prefix="$dir/$name-" \
      "$corpus" >"$dir/$name.log" 2>&1 &
  names+=("$name") pids+=($!) corpora+=("$corpus")
done
for n in "${!names[@]}"; do
  name=${names[$n]}
  rc=0
  wait "${pids[$n]}" || rc=$?
  echo "$name:"
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|DONE|ERROR|SUMMARY|deadly' \
      "$dir/$name.log" || true
  rm -rf "${corpora[$n]}"
  # libFuzzer exits non-zero on a finding and saves the input; either fails the stage.
  if [ "$rc" -ne 0 ] || ls "$dir/$name-"* >/dev/null 2>&1; then
    echo "$name: finding (exit $rc), input and log in $dir"
    tail -40 "$dir/$name.log"
    found=1
  fi
done
exit "$found"
