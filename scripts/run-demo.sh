#!/usr/bin/env bash
# Sets up the machine (only what the demo needs: scripts/setup.sh demo),
# builds sorvel2 and runs it full screen on the shipped settings and
# textures in demo/ (options.txt, reflect.bmp, background.bmp). Escape or
# closing the window ends it. It needs a display (X11 or Wayland); with none
# it says "Fullscreen mode - failed" and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
# Without the tests and benchmarks, which need packages the demo does not.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEL2_ENGINE_ONLY=OFF -DSORVEL2_BUILD_TESTS=OFF \
      -DSORVEL2_BUILD_BENCH=OFF >/dev/null
ninja -C build sorvel2
cd demo
exec ../build/sorvel2
