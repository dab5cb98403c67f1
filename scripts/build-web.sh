#!/usr/bin/env bash
# Builds sorvel2 for a browser page with Debian's Emscripten (offline: its
# own GLFW and GL emulation, no ports) into dist/web/: index.html,
# sorvel2.js, sorvel2.wasm and the demo set options.txt, reflect.bmp,
# background.bmp. Serve the folder (python3 -m http.server -d dist/web) and
# open it. Build folder: build-web/ (SORVEL2_WEB_BUILD overrides it). Sets
# up the machine first: only what the page needs (scripts/setup.sh web).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" web
build=${SORVEL2_WEB_BUILD:-$root/build-web}
dist=$root/dist/web
# NOTE: Debian's emcc finds its JavaScript modules only through NODE_PATH.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
start=$(date +%s)
emcmake cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEL2_BUILD_TESTS=OFF \
      -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=OFF >/dev/null
ninja -C "$build" -j"${SORVEL2_JOBS:-2}" sorvel2
rm -rf "$dist"
mkdir -p "$dist"
cp "$build/sorvel2.js" "$build/sorvel2.wasm" "$root/web/index.html" "$dist/"
cp "$root/demo/options.txt" "$root/demo/reflect.bmp" "$root/demo/background.bmp" "$dist/"
js=$(stat -c %s "$dist/sorvel2.js")
wasm=$(stat -c %s "$dist/sorvel2.wasm")
gz=$(( $(gzip -9c "$dist/sorvel2.js" | wc -c) + $(gzip -9c "$dist/sorvel2.wasm" | wc -c) ))
echo "build-web: dist/web in $(( $(date +%s) - start )) s; sorvel2.js $js + sorvel2.wasm $wasm bytes, $gz gzipped"
