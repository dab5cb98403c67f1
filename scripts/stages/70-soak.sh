#!/usr/bin/env bash
# Short soak run (SORVEL2_SOAK_SECONDS, default 15 s per configuration) of
# the program built by the normal build stage: it must stay alive with flat
# memory and end with 0 on Escape. scripts/soak.sh runs the full length.
set -euo pipefail
start=$(date +%s)
# The growth rule on made-up samples (one a second, as the soak takes them):
# a steady leak past the limit counts, a one-time step of twice the limit
# in the last seconds does not.
python3 - "$SORVEL2_ROOT/tests/app" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
from run_program_test import SOAK_GROWTH_LIMIT_KB as limit, memory_grows
leak = [100000 + 300 * second for second in range(15)]
step = [100000] * 11 + [100000 + 2 * limit] * 4
assert memory_grows(leak)[3], "a steady leak past the limit must count as growing"
assert not memory_grows(step)[3], "a one-time step must not count as growing"
print("soak: the growth rule counts a steady leak and not a one-time step")
EOF
SORVEL2_SOAK_BUILD=$SORVEL2_CI_BUILD/release bash "$SORVEL2_ROOT/scripts/soak.sh" "${SORVEL2_SOAK_SECONDS:-15}"
echo "soak: $(( $(date +%s) - start )) s"
