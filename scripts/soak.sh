#!/usr/bin/env bash
# Soak run: the real program under a private Xvfb, on the shipped settings
# and on grid 128 with 50 balls, SECONDS each (default 120, about 18,000
# frames at the shipped settings on a 2-core machine). Fails if the program
# dies, if its resident memory keeps growing (median of the last quarter of
# the per-second samples more than 2 MB above that of the second quarter,
# and growing on both sides of the third: tests/app/run_program_test.py),
# or if Escape does not end it with 0. Prints frames (Mesa's frame-rate
# graph) and the memory medians per configuration.
#
#   scripts/soak.sh [SECONDS]
#
# Builds build/sorvel2 first (SORVEL2_SOAK_BUILD names another build folder).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
dir=${SORVEL2_SOAK_BUILD:-$PWD/build}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Quiet when the build goes well; a failing one shows the compiler's output.
built=$(ninja -C "$dir" sorvel2 x11_close_request 2>&1) || { echo "$built" >&2; exit 1; }
SORVEL2_SOAK_SECONDS=$seconds python3 tests/app/run_program_test.py --program "$dir/sorvel2" --demo demo \
    --close-helper "$dir/tests/app/x11_close_request" soak
