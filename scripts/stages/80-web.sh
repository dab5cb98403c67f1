#!/usr/bin/env bash
# The browser build: the page built with Emscripten (scripts/build-web.sh),
# the engine in WebAssembly giving the native engine's triangles bit for bit
# (the tool's raw vertex stream, run in node), and the page in headless
# Chromium: it draws, it moves, a frame matches the same frame drawn
# natively, start-up failures show their report and exit code; its panel:
# settings from a link and from Apply (triangles per frame as the native
# tool counts them), failures brought about from the panel, chosen and
# dropped textures and Reset, keys only from the canvas, full screen,
# Escape and Run again; values it refuses by link and by Apply (its limits,
# control characters) and a module that cannot start; and the page's size.
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}

SORVEL2_WEB_BUILD=$SORVEL2_CI_BUILD/web bash "$SORVEL2_ROOT/scripts/build-web.sh"
built=$(date +%s)

# The engine: the tool for WebAssembly and natively (the normal stage's, when it is there).
wasm=$SORVEL2_CI_BUILD/web-engine
emcmake cmake -S "$SORVEL2_ROOT" -B "$wasm" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEL2_ENGINE_ONLY=ON \
      -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=ON >/dev/null
ninja -C "$wasm" sorvel2-tool
# The native tool with render (the page's frames are compared with its pictures).
native=$SORVEL2_CI_BUILD/release/tools/sorvel2-tool
if [ ! -x "$native" ]; then
  cmake -S "$SORVEL2_ROOT" -B "$SORVEL2_CI_BUILD/web-native" -G Ninja -DSORVEL2_BUILD_TESTS=OFF \
        -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=ON >/dev/null
  ninja -C "$SORVEL2_CI_BUILD/web-native" sorvel2-tool
  native=$SORVEL2_CI_BUILD/web-native/tools/sorvel2-tool
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
# The shipped settings and a larger grid with more balls, frames across the
# blend into the analytic shape.
for settings in "640 480 0 10 40" "640 480 0 30 64"; do
  echo "$settings" > "$work/options.txt"
  for ms in 0 2500 40000 150000; do
    (cd "$work" && "$native" export --time-ms "$ms" --format raw > native.txt)
    (cd "$work" && node --no-experimental-fetch "$wasm/tools/sorvel2-tool.js" export --time-ms "$ms" --format raw \
                    > wasm.txt)
    test -s "$work/native.txt"
    if ! cmp -s "$work/native.txt" "$work/wasm.txt"; then
      echo "web: the WebAssembly engine differs from the native one ($settings, $ms ms)"
      exit 1
    fi
    passed=$((passed + 1))
  done
done
echo "web: WebAssembly and native vertex streams equal in $passed frames"

# The page: drawing, the native frame, the failure table at start-up and
# through the panel, settings from a link and Apply, textures, keys, size.
for case in page_draws page_animates page_matches_native page_missing_options page_missing_reflect \
            page_negative_ball_count page_grid_size_zero page_eight_bit_reflect page_apply_negative_ball_count \
            page_apply_grid_size_zero page_choose_eight_bit_reflect page_link_settings page_link_refused \
            page_apply_refused page_module_fails page_textures page_keys page_size; do
  python3 "$SORVEL2_ROOT/tests/app/run_program_test.py" --page "$SORVEL2_ROOT/dist/web" --demo "$SORVEL2_ROOT/demo" \
          --tool "$native" "$case"
  passed=$((passed + 1))
done
echo "$passed 0" >> "$SORVEL2_CI_BUILD/results.txt"
echo "web: page built in $((built - start)) s, whole stage $(( $(date +%s) - start )) s"
