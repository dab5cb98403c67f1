#!/usr/bin/env bash
# Sets up the machine (only what the demo needs: scripts/setup.sh demo),
# builds sorvel2 and runs it full screen on the shipped settings and
# textures in demo/ (options.txt, reflect.bmp, background.bmp). Escape or
# closing the window ends it. It needs a display (X11 or Wayland); with none
# it says "Fullscreen mode - failed" and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
# The README's own build, so that building it yourself afterwards reuses
# this one (the tests and benchmarks are left out while their libraries,
# which the demo's set-up does not install, are missing).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEL2_ENGINE_ONLY=OFF >/dev/null
ninja -C build sorvel2
cd demo
exec ../build/sorvel2
