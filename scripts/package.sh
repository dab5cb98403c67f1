#!/usr/bin/env bash
# Builds the two packages of sorvel2 into dist/:
#   dist/sorvel2-<version>-windows-x64.zip   the cross-built sorvel2.exe (static), the demo's
#                                             three files and README.txt, in one folder
#   dist/sorvel2_<version>_amd64.deb         sorvel2, sorvel2-tool, the sorvel2-demo launcher
#                                             and the demo set under /usr/share/sorvel2/demo
# Both come from CPack on the install rules in packaging/CMakeLists.txt; the
# version from project() in CMakeLists.txt. Only those two files in dist/
# are replaced; anything else there stays.
#
# Build folders: build-package/linux and build-package/windows, or the ones
# named by SORVEL2_LINUX_BUILD and SORVEL2_WINDOWS_BUILD (the CI reuses its
# own). A folder that already holds a configured build keeps its options.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
linux=${SORVEL2_LINUX_BUILD:-$root/build-package/linux}
windows=${SORVEL2_WINDOWS_BUILD:-$root/build-package/windows}
mkdir -p dist

# configure DIR ARGS...: configures a build folder that has no build yet;
# one that has keeps its options (ninja reruns CMake there when a
# CMakeLists.txt changed).
configure() {
  local dir=$1; shift
  [ -f "$dir/CMakeCache.txt" ] || cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
}

# cpack_into DIR GENERATOR: makes DIR's package and copies it into dist/.
cpack_into() {
  local dir=$1 generator=$2 made
  rm -f "$dir"/*.deb "$dir"/*.zip
  (cd "$dir" && cpack -G "$generator" >/dev/null)
  made=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
  case $generator in
    ZIP) cp "$dir/$made.zip" dist/ && echo "package: dist/$made.zip" ;;
    DEB) for f in "$dir"/*.deb; do cp "$f" dist/ && echo "package: dist/$(basename "$f")"; done ;;
  esac
}

configure "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DSORVEL2_BACKEND=win32 -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF -DSORVEL2_BUILD_TOOLS=OFF
ninja -j2 -C "$windows" sorvel2 >/dev/null
cpack_into "$windows" ZIP

configure "$linux" -DCMAKE_BUILD_TYPE=Release -DSORVEL2_BUILD_TESTS=OFF -DSORVEL2_BUILD_BENCH=OFF
ninja -j2 -C "$linux" sorvel2 sorvel2-tool >/dev/null
cpack_into "$linux" DEB
