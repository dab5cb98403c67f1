# Helpers for the test stages (sourced, not a stage itself).
# run_ctest DIR: runs ctest in DIR and records its counts for the summary.
run_ctest() {
  local dir=$1 log
  log=$(mktemp)
  set +e
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line total failed
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  failed=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  rm -f "$log"
  if [ -n "$line" ]; then echo "$(( total - failed )) $failed" >> "$SORVEL2_CI_BUILD/results.txt"; fi
  return "$rc"
}
