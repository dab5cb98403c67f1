#!/usr/bin/env bash
# The Windows program and its screen saver (sorvel2.scr), cross-built with
# mingw-w64 against the real Win32 API, opengl32 and glu32: proves that the
# win32 backend, the program and the saver compile and link. Nothing runs
# here (no tests on this stage). It builds in the folder and with the
# options scripts/package.sh uses, so the package stage finds both built.
set -euo pipefail
source "$(dirname "$0")/common.inc"
dir=$SORVEL2_ROOT/build-package/windows
cmake -S "$SORVEL2_ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SORVEL2_ROOT/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DSORVEL2_BACKEND=win32 -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF \
      -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
ninja -C "$dir" sorvel2 sorvel2-scr
test -f "$dir/sorvel2.exe" && test -f "$dir/sorvel2.scr"
echo "windows: built $(basename "$dir")/sorvel2.exe and sorvel2.scr"
