#!/usr/bin/env bash
# Installs every Debian package that building, running and testing sorvel2
# needs. Idempotent: packages already installed are skipped, and apt-get runs
# only when something is missing. Needs root (or sudo).
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang-14 libclang-rt-14-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3
  # program: SDL2 window, Mesa OpenGL and GLU, PNG output
  libsdl2-dev libgl-dev libglu1-mesa-dev libgl1-mesa-dri libegl-dev libegl-mesa0 libpng-dev
  # message boxes given the keyboard focus where no window manager does it
  libxcb1-dev
  # running the program in tests: a private X server, fonts for message boxes
  xvfb xauth xfonts-base x11-apps xdotool
  # the Windows build, cross-compiled
  g++-mingw-w64-x86-64
  # the browser build (Emscripten, run in node) and its page in headless Chromium
  emscripten nodejs chromium
  # the Windows build run by Wine in tests; window names and display modes read back
  wine wine64 x11-utils x11-xserver-utils
  # display mode switches in tests: Xorg with the dummy driver, which offers several modes
  xserver-xorg-core xserver-xorg-video-dummy
  # the packages: dpkg-shlibdeps for the Debian one's dependencies, unzip to check the Windows one
  dpkg-dev unzip
)
if [ -f "$(dirname "$0")/extra-packages.txt" ]; then
  while read -r p; do [ -n "$p" ] && [ "${p#\#}" = "$p" ] && packages+=("$p"); done < "$(dirname "$0")/extra-packages.txt"
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
