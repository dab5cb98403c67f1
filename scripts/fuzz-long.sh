#!/usr/bin/env bash
# Long fuzzing: runs each fuzzer for RUNS executions (default 10,000,000),
# split over all cores (one libFuzzer process per core, SORVEL2_FUZZ_JOBS to
# change, all sharing one working copy of the committed corpus), then merges
# what they found new into fuzz/corpus/<reader>, minimised (-merge=1 adds
# only inputs that reach coverage the corpus does not have yet).
#
#   scripts/fuzz-long.sh [RUNS]
#
# Prints, per reader: runs, wall time, runs a second, coverage (cov: edges,
# ft: features) of the merged corpus, files added, and findings. A finding
# (crash, broken rule, leak, timeout) is kept in BUILD/findings and makes the
# script end with 1. The fuzz build goes to build-fuzz (SORVEL2_FUZZ_BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-10000000}
jobs=${SORVEL2_FUZZ_JOBS:-$(nproc)}
dir=${SORVEL2_FUZZ_BUILD:-$root/build-fuzz}
case $runs in '' | *[!0-9]*) echo "usage: $0 [RUNS]" >&2; exit 2 ;; esac

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSORVEL2_FUZZ=ON -DSORVEL2_ENGINE_ONLY=ON -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF \
      -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
# Quiet when the build goes well; a failing one shows the compiler's output.
built=$(ninja -C "$dir" -j "$jobs" 2>&1) || { echo "$built" >&2; exit 1; }
mkdir -p "$dir/findings"

work=$(mktemp -d)
pids=()
stop_jobs() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap stop_jobs EXIT

found=0
summary=()
for fuzzer in "$dir"/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  reader=$(basename "$fuzzer"); reader=${reader#fuzz_}
  corpus=$root/fuzz/corpus/$reader
  mkdir -p "$corpus" "$work/$reader/corpus"
  cp -r "$corpus"/. "$work/$reader/corpus"/
  dict=()
  [ -f "$root/fuzz/$reader.dict" ] && dict=(-dict="$root/fuzz/$reader.dict")
  per_job=$(( (runs + jobs - 1) / jobs ))
  echo "fuzzing $reader: $runs runs in $jobs processes"
  start=$(date +%s)
  pids=()
  for j in $(seq 1 "$jobs"); do
    "$fuzzer" -runs="$per_job" -seed="$j" -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$work/$reader/finding-$j-" "$work/$reader/corpus" >"$work/$reader/job$j.log" 2>&1 &
    pids+=("$!")
  done
  failed=0
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  pids=()
  took=$(( $(date +%s) - start ))

  done_runs=$(cat "$work/$reader"/job*.log | sed -n 's/^stat::number_of_executed_units: *//p' \
              | awk '{s += $1} END {print s + 0}')
  findings=$(find "$work/$reader" -maxdepth 1 -name 'finding-*' | wc -l)
  if [ "$findings" -gt 0 ] || [ "$failed" -gt 0 ]; then
    cp "$work/$reader"/finding-* "$work/$reader"/job*.log "$dir/findings/" 2>/dev/null || true
    grep -h -E 'ERROR|SUMMARY|deadly' "$work/$reader"/job*.log || true
    found=1
  fi
  before=$(find "$corpus" -type f | wc -l)
  "$fuzzer" -merge=1 "${dict[@]}" "$corpus" "$work/$reader/corpus" >"$work/$reader/merge.log" 2>&1
  after=$(find "$corpus" -type f | wc -l)
  # Coverage of the merged corpus: one pass over it, no mutation.
  cov=$("$fuzzer" -runs=0 "$corpus" 2>&1 | grep -E 'INITED|DONE' | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  rate=$(( took > 0 ? done_runs / took : done_runs ))
  line="$reader: $done_runs runs in $took s ($rate a second, $jobs processes), $cov, corpus $before -> $after files, findings $findings, failed processes $failed"
  echo "$line"
  summary+=("$line")
done
echo "--- summary ---"
printf '%s\n' "${summary[@]}"
exit "$found"
