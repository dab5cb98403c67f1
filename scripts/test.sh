#!/usr/bin/env bash
# Runs every test of sorvel2: sets up the machine, then runs each stage in
# scripts/stages/ in name order (normal build, sanitizer build, fuzzing, the
# Windows cross-build, benchmark smoke run ...). Stops at the first failing
# stage. Build folders go under build-ci/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export SORVEL2_ROOT=$PWD
# Warnings are errors in every build of the run, also in the folders that
# scripts/package.sh and scripts/build-web.sh configure (CMakeLists.txt reads it).
export SORVEL2_WERROR=ON
export SORVEL2_CI_BUILD=$PWD/build-ci
mkdir -p "$SORVEL2_CI_BUILD"
# One compiler cache for the run's builds: a file compiled the same way in
# two stages is compiled once (the package's Linux build hits the release
# stage's objects, the benchmark smoke run's the engine-only stage's).
# A hit gives the same object and replays the warnings.
export CCACHE_DIR=$SORVEL2_CI_BUILD/ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
: > "$SORVEL2_CI_BUILD/results.txt"

for stage in scripts/stages/[0-9]*.sh; do
  echo "=== stage $(basename "$stage" .sh) ==="
  start=$(date +%s)
  bash "$stage"
  echo "=== stage $(basename "$stage" .sh) passed in $(( $(date +%s) - start )) s ==="
done

# Sum what the ctest runs counted (each stage appends "passed failed").
awk '{p += $1; f += $2} END {printf "all stages: %d passed, %d failed\n", p, f}' "$SORVEL2_CI_BUILD/results.txt"
