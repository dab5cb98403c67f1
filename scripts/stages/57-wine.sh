#!/usr/bin/env bash
# The Windows program run by Wine, from the zip unpacked by the package stage,
# through the same harness as the Linux program (tests/app/run_program_test.py):
# it draws and animates, Escape ends it with 0, the start-up failures show
# their boxes in order (closed with Return) and end with 2, 1 and 201; on
# Xorg's dummy driver it switches the display to 640 x 480 and back, and
# stays windowed at a size the display does not offer. Then the screen saver
# sorvel2.scr from the same zip (tests/app/scr_cases.py, with scr_probe.exe,
# built here, as Windows' settings page): full screen (the hidden cursor,
# SC_SCREENSAVE) and its ends, every monitor of a two-monitor Xorg, the
# preview in a window of the probe's, the settings dialog and the registry.
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$SORVEL2_CI_BUILD/release/CMakeCache.txt")
folder=$SORVEL2_CI_BUILD/package/zip/sorvel2-$version-windows-x64
test -f "$folder/sorvel2.exe" || { echo "wine: no unpacked zip in $folder (the package stage makes it)"; exit 1; }

# A private prefix, made here so that its cost shows apart from the cases.
prefix=$SORVEL2_CI_BUILD/wine-prefix
rm -rf "$prefix"
made=$(date +%s)
env -u DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  timeout 300 wineboot --init >/dev/null 2>&1 || { echo "wine: wineboot could not make the prefix"; exit 1; }
WINEPREFIX="$prefix" timeout 60 wineserver -k || true
echo "wine: prefix made in $(( $(date +%s) - made )) s ($(du -sh "$prefix" | cut -f1))"

probe=$SORVEL2_CI_BUILD/scr_probe.exe
werror=; [ "${SORVEL2_WERROR:-OFF}" = ON ] && werror=-Werror
x86_64-w64-mingw32-g++ -std=c++20 -O1 -Wall -Wextra $werror -static -I"$SORVEL2_ROOT/src" \
  -o "$probe" "$SORVEL2_ROOT/tests/app/scr_probe.cpp"

# One case through the harness; its exit code is the case's.
run_case() {
  timeout 300 python3 "$SORVEL2_ROOT/tests/app/run_program_test.py" --program "$1" \
    --wine-prefix "$prefix" --demo "$folder" --scr-probe "$probe" "$2"
}

passed=0 failed=0 skipped=0
saver_start=
for case in draws_frames escape_ends_within_a_second missing_options missing_reflect negative_ball_count \
            mode_switch mode_not_offered scr_full_screen scr_every_monitor scr_preview scr_settings scr_bad_argument; do
  program=$folder/sorvel2.exe
  case $case in scr_*) program=$folder/sorvel2.scr; saver_start=${saver_start:-$(date +%s)} ;; esac
  set +e
  run_case "$program" "$case"
  rc=$?
  # NOTE: now and then, on a busy machine, Wine loses the display's restore
  # that the exe asks for on its way out (ChangeDisplaySettingsA(NULL, 0)):
  # the display stays at 640 x 480 for good, where every other run has it
  # back at once (1 run in 14, and 1 in 40, with both cores kept busy; none
  # in 6 idle; none in 174 busy ones with Wine's display traces on, which
  # slow it: the cause is not found).
  # So mode_switch gets a second run, said here, which must pass whole.
  if [ "$case" = mode_switch ] && [ "$rc" = 1 ]; then
    echo "wine: mode_switch again (Wine can lose the display's restore under load)"
    run_case "$program" "$case"
    rc=$?
  fi
  set -e
  case $rc in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)); echo "wine: $case FAILED (exit $rc)" ;;
  esac
done
echo "$passed $failed" >> "$SORVEL2_CI_BUILD/results.txt"
echo "wine: $passed passed, $failed failed, $skipped skipped in $(( $(date +%s) - start )) s" \
     "(the saver's cases $(( $(date +%s) - saver_start )) s)"
rm -rf "$prefix"
[ "$failed" = 0 ]
