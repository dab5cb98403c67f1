#!/usr/bin/env bash
# Builds the two packages of sorvel2 into dist/:
#   dist/sorvel2-<version>-windows-x64.zip   the cross-built sorvel2.exe (static, with its icon
#                                             and version resource), the demo's three files,
#                                             README.txt and LICENSE.txt, in one folder, and
#                                             the screen saver sorvel2.scr (the same resources
#                                             and the two textures inside)
#   dist/sorvel2_<version>_amd64.deb         sorvel2, sorvel2-tool, the sorvel2-demo launcher,
#                                             the demo set under /usr/share/sorvel2/demo, the
#                                             menu entry and icons, manual pages, copyright
#                                             and changelog
# Both come from CPack on the install rules in packaging/CMakeLists.txt; the
# version from project() in CMakeLists.txt. Only those two files in dist/
# are replaced; anything else there stays.
#
# Build folders: build-package/linux and build-package/windows (Release). A
# folder that already holds a configured build keeps its options, so an
# earlier build there (the test run's Windows stage) is reused. Quiet while
# it goes well; a failing step shows its whole output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh package
linux=$root/build-package/linux
windows=$root/build-package/windows
mkdir -p dist

# quietly WHAT COMMAND...: runs COMMAND with its output kept aside; shows it
# and stops when COMMAND fails.
quietly() {
  local what=$1 log; shift
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "package: $what failed" >&2
    exit 1
  fi
  rm -f "$log"
}

# configure DIR ARGS...: configures a build folder that has no build yet;
# one that has keeps its options (ninja reruns CMake there when a
# CMakeLists.txt changed).
configure() {
  local dir=$1; shift
  [ -f "$dir/CMakeCache.txt" ] || quietly "configuring $dir" cmake -S "$root" -B "$dir" -G Ninja "$@"
}

# cpack_into DIR GENERATOR: makes DIR's package and copies it into dist/.
cpack_into() {
  local dir=$1 generator=$2 made
  rm -f "$dir"/*.deb "$dir"/*.zip
  quietly "cpack -G $generator in $dir" bash -c "cd '$dir' && cpack -G $generator"
  made=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
  case $generator in
    ZIP) cp "$dir/$made.zip" dist/ && echo "package: dist/$made.zip" ;;
    DEB) for f in "$dir"/*.deb; do cp "$f" dist/ && echo "package: dist/$(basename "$f")"; done ;;
  esac
}

configure "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DSORVEL2_BACKEND=win32 -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=OFF
quietly "building $windows" ninja -j2 -C "$windows"
cpack_into "$windows" ZIP

configure "$linux" -DCMAKE_BUILD_TYPE=Release -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF
quietly "building $linux" ninja -j2 -C "$linux"
cpack_into "$linux" DEB
