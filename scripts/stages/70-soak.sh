#!/usr/bin/env bash
# Short soak run (SORVEL2_SOAK_SECONDS, default 15 s per configuration) of
# the program built by the normal build stage: it must stay alive with flat
# memory and end with 0 on Escape. scripts/soak.sh runs the full length.
set -euo pipefail
start=$(date +%s)
SORVEL2_SOAK_BUILD=$SORVEL2_CI_BUILD/release bash "$SORVEL2_ROOT/scripts/soak.sh" "${SORVEL2_SOAK_SECONDS:-15}"
echo "soak: $(( $(date +%s) - start )) s"
