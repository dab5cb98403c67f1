#!/usr/bin/env bash
# The two packages, made by scripts/package.sh from the builds of the earlier
# stages, and what a user gets out of them:
#  * the zip: one folder with the five files, an exe that needs no DLL beyond
#    Windows' own; unpacked into build-ci/package/zip for the Wine stage;
#  * the .deb: unpacked into a temporary root (dpkg -x), its tool prints the
#    project's version and reads and renders the installed demo set, and the
#    launcher runs the program in that set from another directory.
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
release=$SORVEL2_CI_BUILD/release
SORVEL2_LINUX_BUILD=$release SORVEL2_WINDOWS_BUILD=$SORVEL2_CI_BUILD/windows bash "$SORVEL2_ROOT/scripts/package.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$release/CMakeCache.txt")
zip=$SORVEL2_ROOT/dist/sorvel2-$version-windows-x64.zip
deb=$SORVEL2_ROOT/dist/sorvel2_${version}_amd64.deb
fail() { echo "package: FAILED: $*"; exit 1; }

# --- the zip ---------------------------------------------------------------
folder=sorvel2-$version-windows-x64
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
wanted="$folder/README.txt $folder/background.bmp $folder/options.txt $folder/reflect.bmp $folder/sorvel2.exe "
[ "$listed" = "$wanted" ] || fail "the zip holds '$listed', expected '$wanted'"
unpacked=$SORVEL2_CI_BUILD/package/zip
rm -rf "$unpacked" && mkdir -p "$unpacked" && unzip -q "$zip" -d "$unpacked"
# A double-click on any Windows must find every DLL: only the system's own.
imports=$(x86_64-w64-mingw32-objdump -p "$unpacked/$folder/sorvel2.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
for dll in $imports; do
  case $dll in
    kernel32.dll|user32.dll|gdi32.dll|opengl32.dll|glu32.dll|msvcrt.dll) ;;
    *) fail "sorvel2.exe needs $dll, which Windows does not have" ;;
  esac
done
for f in options.txt reflect.bmp background.bmp; do
  cmp -s "$SORVEL2_ROOT/demo/$f" "$unpacked/$folder/$f" || fail "the zip's $f is not demo/$f"
done

# --- the Debian package ----------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for lib in libsdl2-2.0-0 libglu1-mesa libpng16-16 libstdc++6 libgl1-mesa-dri; do
  grep -qxF "$lib" <<<"$names" || fail "the package does not depend on $lib: $depends"
done
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
bin=$root/usr/bin
set_dir=$root/usr/share/sorvel2/demo
[ "$("$bin/sorvel2-tool" --version)" = "sorvel2-tool $version" ] || fail "sorvel2-tool --version: $("$bin/sorvel2-tool" --version)"
info=$(cd "$set_dir" && "$bin/sorvel2-tool" info)
grep -qx 'ScreenWidth 640' <<<"$info" && grep -qx 'GridSize 40' <<<"$info" || fail "info on the installed set: $info"
(cd "$set_dir" && "$bin/sorvel2-tool" render --time-ms 0 -o "$root/frame.png") || fail "render on the installed set"
# PNG signature, then the header's width and height: the set's 640 x 480.
[ "$(od -An -tx1 -j12 -N12 "$root/frame.png" | tr -d ' \n')" = "49484452000002800000""01e0" ] ||
  fail "render did not write a 640 x 480 PNG"
# The launcher from another directory with no display: having found the
# set, the program reads the settings and only then fails to open a screen
# (exit 0); without the set it would end with run-time error 2.
set +e
said=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER SORVEL2_NO_MESSAGE_BOX=1 "$bin/sorvel2-demo" 2>&1)
rc=$?
set -e
[ "$rc" = 0 ] && grep -qx 'Error: Fullscreen mode - failed' <<<"$said" || fail "sorvel2-demo: exit $rc: $said"
echo "package: zip and deb of $version checked in $(( $(date +%s) - start )) s"
