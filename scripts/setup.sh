#!/usr/bin/env bash
# Installs the Debian packages that a task of sorvel2 needs, and no more:
#
#   setup.sh demo      build and run the demo (scripts/run-demo.sh)
#   setup.sh package   build the two packages (scripts/package.sh)
#   setup.sh web       build the browser page (scripts/build-web.sh)
#   setup.sh [test]    everything: building, running and testing it all
#                      (scripts/test.sh; the default)
#
# Several sets may be named at once. Idempotent: packages already installed
# are skipped, and apt-get runs only when something is missing. Needs root
# (or sudo). apt-get's own output is kept aside and shown when it fails.
set -euo pipefail

# The sets. Each names only what its task needs beyond the sets it includes.
demo=(
  # compiler and build
  cmake ninja-build g++
  # the program: SDL2 window, Mesa OpenGL and GLU (SDL loads libGL.so.1 at run
  # time), EGL for the tool's off-screen render, PNG output
  libsdl2-dev libgl-dev libgl1 libglx-mesa0 libglu1-mesa-dev libgl1-mesa-dri libegl-dev libegl-mesa0 libpng-dev
  # message boxes given the keyboard focus where no window manager does it
  libxcb1-dev
  # the XScreenSaver hack: Xlib and GLX straight (GLX comes with libgl-dev)
  libx11-dev
)
package=(
  "${demo[@]}"
  # the Windows build, cross-compiled (windres comes with it)
  g++-mingw-w64-x86-64
  # dpkg-shlibdeps for the Debian package's dependencies (CPack runs `file`
  # to find the libraries among the installed files); its manual page of
  # sorvel2-tool is made by a Python script
  dpkg-dev file python3
)
web=(
  cmake ninja-build
  # Debian's Emscripten (with node, clang and binaryen): nothing is downloaded;
  # esbuild minifies the JavaScript it writes
  emscripten esbuild
)
test=(
  "${package[@]}" "${web[@]}"
  # the sanitizer and fuzz builds; the test run's compiler cache
  clang-14 libclang-rt-14-dev ccache
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # running the program in tests: a private X server, fonts for message boxes
  xvfb xauth xfonts-base x11-apps xdotool
  # the page in headless Chromium
  nodejs chromium
  # the Windows build run by Wine in tests; window names and display modes read back
  wine wine64 x11-utils x11-xserver-utils
  # display mode switches in tests: Xorg with the dummy driver, which offers several modes
  # (and two monitors under Xinerama for the Windows saver)
  xserver-xorg-core xserver-xorg-video-dummy
  # the pointer's cursor read back in the saver cases (XFixes, through ctypes)
  libxfixes3
  # the screen saver hack under the real daemon (stage 58 installs it in a fresh
  # Debian root; here for the case run by hand, tests/app/saver_cases.py)
  xscreensaver
  # checking the packages: the zip's contents, the exe's resources, Debian's
  # checks of the .deb and its menu entry, and a fresh Debian root to install it in
  unzip icoutils lintian desktop-file-utils debootstrap
)

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(test)
packages=()
for set in "${sets[@]}"; do
  case $set in
    demo) packages+=("${demo[@]}") ;;
    package) packages+=("${package[@]}") ;;
    web) packages+=("${web[@]}") ;;
    test) packages+=("${test[@]}") ;;
    *) echo "setup: unknown set '$set' (demo, package, web or test)" >&2; exit 64 ;;
  esac
done
if [ -f "$(dirname "$0")/extra-packages.txt" ]; then
  while read -r p; do [ -n "$p" ] && [ "${p#\#}" = "$p" ] && packages+=("$p"); done < "$(dirname "$0")/extra-packages.txt"
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: ${sets[*]}: all packages present"
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup: ${missing[*]} must be installed, which needs root or sudo; this user has neither" >&2
    exit 1
  fi
  # Asked once here, where its password prompt can be seen (apt's output
  # goes to a log). NOTE: not `sudo -v`, which asks for a password unless
  # every sudoers entry of the user waives it (a NOPASSWD line and the sudo
  # group's entry, as on cloud images).
  sudo true || { echo "setup: sudo refused; installing ${missing[*]} needs root" >&2; exit 1; }
  sudo=(sudo)
fi
# sudo resets the environment: the variable goes through env. Without it a
# package that asks a question (keyboard-configuration, which the test set
# pulls in) waits for an answer nobody sees.
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
echo "setup: ${sets[*]}: installing ${missing[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed() {
  cat "$log" >&2
  echo "setup: $1 failed" >&2
  exit 1
}
# NOTE: DPkg::Lock::Timeout covers dpkg's lock, not the package lists' that
# `apt-get update` takes; on a machine's first boot the daily apt job holds
# that one for a while, so update is tried again for up to 10 minutes.
waited=0
until "${apt[@]}" update -qq >"$log" 2>&1; do
  grep -q 'Could not get lock' "$log" && [ "$waited" -lt 600 ] || failed "apt-get update"
  [ "$waited" -gt 0 ] || echo "setup: another apt holds the package lists; waiting for it (at most 10 minutes)"
  sleep 10
  waited=$((waited + 10))
done
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 || failed "apt-get install"
echo "setup: done"
