#!/usr/bin/env bash
# Sets up the machine, builds sorvel2 and runs it on the shipped settings in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
cd demo
exec ../build/tools/sorvel2-tool info
