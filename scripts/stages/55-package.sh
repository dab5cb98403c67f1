#!/usr/bin/env bash
# The two packages, made by `bash scripts/package.sh` as the README gives it
# (its own build folders under build-package/; the Windows stage has built
# there already), and what a user gets out of them:
#  * the zip: one folder with the seven files (LICENSE.txt among them), an
#    exe and a screen saver that need no DLL beyond Windows' own and carry
#    the icon in six sizes and the version resource (read back from the
#    built programs), the saver also its dialog and the two textures;
#    unpacked into build-ci/package/zip for the Wine stage;
#  * the .deb: lintian reports no error and no warning; copyright, changelog,
#    manual pages, menu entry (desktop-file-validate) and icons are there;
#    the XScreenSaver hack is in /usr/libexec/xscreensaver with its settings
#    (their sliders span the saver's limits, the hack takes their ends),
#    screensavers entry and manual page, and xscreensaver is suggested;
#    unpacked into a temporary root (dpkg -x), its tool prints the project's
#    version and reads and renders the installed demo set, and the launcher
#    runs the program in that set from another directory;
#  * the .deb as a user gets it: installed with apt-get into a fresh minimal
#    Debian 12 (debootstrap --variant=minbase bookworm; the bare root is
#    cached as a tar in SORVEL2_ROOT_CACHE, default /var/cache/sorvel2), where
#    sorvel2-tool renders and sorvel2-demo draws on a private Xvfb of this
#    machine and ends with 0 on Escape (the dependencies' .deb files are
#    cached there too, in archives/).
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
# The Linux folder as on a clean checkout (one left by an earlier run keeps
# the options it was configured with).
rm -rf "$SORVEL2_ROOT/build-package/linux"
(cd "$SORVEL2_ROOT" && bash scripts/package.sh)
packaged=$(date +%s)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$SORVEL2_ROOT/build-package/linux/CMakeCache.txt")
zip=$SORVEL2_ROOT/dist/sorvel2-$version-windows-x64.zip
deb=$SORVEL2_ROOT/dist/sorvel2_${version}_amd64.deb
copyright=$(grep -m1 '^Copyright ' "$SORVEL2_ROOT/LICENSE")
fail() { echo "package: FAILED: $*"; exit 1; }
work=$(mktemp -d)
debian_root=$SORVEL2_CI_BUILD/package/debian12
# A root is removed only once its /proc is unmounted.
cleanup() {
  if mountpoint -q "$debian_root/proc" 2>/dev/null; then
    umount "$debian_root/proc" || { echo "package: $debian_root/proc stays mounted; the root is kept"; return; }
  fi
  rm -rf "$debian_root" "$work"
}
trap cleanup EXIT

# --- the zip ---------------------------------------------------------------
folder=sorvel2-$version-windows-x64
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
wanted="$folder/LICENSE.txt $folder/README.txt $folder/background.bmp $folder/options.txt $folder/reflect.bmp"
wanted+=" $folder/sorvel2.exe $folder/sorvel2.scr "
[ "$listed" = "$wanted" ] || fail "the zip holds '$listed', expected '$wanted'"
unpacked=$SORVEL2_CI_BUILD/package/zip
rm -rf "$unpacked" && mkdir -p "$unpacked" && unzip -q "$zip" -d "$unpacked"
for f in options.txt reflect.bmp background.bmp; do
  cmp -s "$SORVEL2_ROOT/demo/$f" "$unpacked/$folder/$f" || fail "the zip's $f is not demo/$f"
done
tr -d '\r' < "$unpacked/$folder/LICENSE.txt" | cmp -s - "$SORVEL2_ROOT/LICENSE" || fail "the zip's LICENSE.txt is not LICENSE"
grep -q 'right-click' "$unpacked/$folder/README.txt" || fail "README.txt does not say how to install sorvel2.scr"

# check_program NAME: the program's DLLs and its resources.
check_program() {
  local name=$1 exe=$unpacked/$folder/$1 imports dll sizes said want
  # A double-click on any Windows must find every DLL: only the system's
  # own (advapi32: the saver's settings in the registry).
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
  for dll in $imports; do
    case $dll in
      kernel32.dll|user32.dll|gdi32.dll|opengl32.dll|glu32.dll|msvcrt.dll|advapi32.dll) ;;
      *) fail "$name needs $dll, which Windows does not have" ;;
    esac
  done
  # The resource directory: the icon group (type 14) and the version
  # resource (type 16), taken out of the built program by wrestool.
  wrestool -x -t14 "$exe" > "$work/icon.ico" || fail "$name has no icon"
  sizes=$(icotool -l "$work/icon.ico" | sed -n 's/.*--width=\([0-9]*\) --height=\1 --bit-depth=32.*/\1/p' | tr '\n' ' ')
  [ "$sizes" = "16 24 32 48 64 256 " ] || fail "$name's icon has the 32-bit sizes '$sizes': $(icotool -l "$work/icon.ico")"
  wrestool -x --raw -t16 "$exe" > "$work/version.bin" || fail "$name has no version resource"
  said=$(python3 - "$work/version.bin" <<'PY'
# Prints the version resource's fixed file and product versions and its
# strings, one "Name=value" a line. Each node of VS_VERSIONINFO: length,
# value length, type (1: text), a UTF-16 key ending in 0, padding to 4
# bytes, the value, padding, then the child nodes up to the node's length.
import struct, sys
data = open(sys.argv[1], "rb").read()
def node(at):
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end_key = data.index(b"\0\0", at + 6)
    while (end_key - at - 6) % 2:
        end_key = data.index(b"\0\0", end_key + 1)
    key = data[at + 6:end_key].decode("utf-16-le")
    value_at = (end_key + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_bytes]
    children, child = [], (value_at + value_bytes + 3) & ~3
    while child < at + length:
        children.append(node(child))
        child = (child + children[-1][3] + 3) & ~3
    return key, value, children, length
def walk(n):
    key, value, children, _ = n
    if key == "VS_VERSION_INFO":
        ms, ls, pms, pls = struct.unpack_from("<IIII", value, 8)
        print(f"FileVersion#={ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
        print(f"ProductVersion#={pms >> 16}.{pms & 0xFFFF}.{pls >> 16}.{pls & 0xFFFF}")
    elif not children and value:
        print(f"{key}={value.decode('utf-16-le').rstrip(chr(0))}")
    for c in children:
        walk(c)
walk(node(0))
PY
) || fail "$name's version resource cannot be read"
  for want in "FileVersion#=$version.0" "ProductVersion#=$version.0" "FileVersion=$version" "ProductVersion=$version" \
              "ProductName=sorvel2" "LegalCopyright=$copyright" "OriginalFilename=$name"; do
    grep -qxF "$want" <<<"$said" || fail "$name's version resource lacks '$want': $said"
  done
  grep -q '^FileDescription=..*' <<<"$said" || fail "$name's version resource has no description: $said"
  echo "package: $name: icon ${sizes% } px; $(grep '^FileDescription=' <<<"$said" | cut -d= -f2), $version"
}
check_program sorvel2.exe
check_program sorvel2.scr
# The saver carries what it needs: its settings dialog and the demo's two
# textures, byte for byte (RCDATA 200 and 201).
scr=$unpacked/$folder/sorvel2.scr
wrestool -x --raw -t5 -n100 "$scr" > "$work/dialog.bin" && [ -s "$work/dialog.bin" ] ||
  fail "sorvel2.scr has no settings dialog"
for texture in 200:reflect.bmp 201:background.bmp; do
  wrestool -x --raw -t10 -n"${texture%%:*}" "$scr" | cmp -s - "$SORVEL2_ROOT/demo/${texture#*:}" ||
    fail "sorvel2.scr does not carry demo/${texture#*:} as resource ${texture%%:*}"
done

# --- the Debian package ----------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for lib in libsdl2-2.0-0 libglu1-mesa libpng16-16 libstdc++6 libgl1 libglx-mesa0 libgl1-mesa-dri libegl-mesa0; do
  grep -qxF "$lib" <<<"$names" || fail "the package does not depend on $lib: $depends"
done
# NOTE: lintian warns that it runs as root; only its findings count.
lintian --fail-on none "$deb" > "$work/lintian.txt" 2>&1 || fail "lintian did not run: $(cat "$work/lintian.txt")"
if grep -E '^[EW]: ' "$work/lintian.txt"; then fail "lintian's errors and warnings above"; fi
echo "package: lintian: no error, no warning"

root=$work/deb
dpkg -x "$deb" "$root"
share=$root/usr/share
for f in doc/sorvel2/copyright doc/sorvel2/changelog.gz man/man6/sorvel2.6.gz man/man6/sorvel2-demo.6.gz \
         man/man1/sorvel2-tool.1.gz applications/sorvel2.desktop; do
  [ -e "$share/$f" ] || fail "the package has no /usr/share/$f"
done
head -1 "$share/doc/sorvel2/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in Debian's machine-readable format"
grep -qF " ${copyright#Copyright (c) }" "$share/doc/sorvel2/copyright" || fail "the copyright file lacks '$copyright'"
# The tool's page holds every command's help, so each command has its section.
for command in info export render bench; do
  zcat "$share/man/man1/sorvel2-tool.1.gz" | grep -qx ".SS $command" || fail "sorvel2-tool(1) has no section on $command"
done
desktop-file-validate "$share/applications/sorvel2.desktop" || fail "the menu entry is not valid"
grep -qx 'Exec=sorvel2-demo' "$share/applications/sorvel2.desktop" || fail "the menu entry does not run sorvel2-demo"
for size in 16 32 48 64 128 256; do
  icon=$share/icons/hicolor/${size}x$size/apps/sorvel2.png
  hex=$(printf '%08x%08x' "$size" "$size")
  [ "$(od -An -tx1 -j12 -N12 "$icon" 2>/dev/null | tr -d ' \n')" = "49484452$hex" ] || fail "no $size x $size icon"
done

# The XScreenSaver hack where the daemon looks for hacks, its settings for
# xscreensaver-settings, its screensavers entry and manual page. The
# settings' sliders span exactly the saver's limits (src/app/saver_settings.h),
# and the hack takes every value they can give it: at the sliders' ends it
# gets past its command line to the display (exit 1 with none), while a
# value beyond them is refused with 64.
hack=$root/usr/libexec/xscreensaver/sorvel2
[ -x "$hack" ] || fail "the package has no /usr/libexec/xscreensaver/sorvel2"
for f in xscreensaver/config/sorvel2.xml applications/screensavers/sorvel2.desktop man/man6/sorvel2-saver.6.gz; do
  [ -e "$share/$f" ] || fail "the package has no /usr/share/$f"
done
[ "$(dpkg-deb -f "$deb" Suggests)" = xscreensaver ] || fail "the package does not suggest xscreensaver"
desktop-file-validate "$share/applications/screensavers/sorvel2.desktop" || fail "the screensavers entry is not valid"
grep -qx 'Exec=/usr/libexec/xscreensaver/sorvel2 --root' "$share/applications/screensavers/sorvel2.desktop" ||
  fail "the screensavers entry does not run the hack"
ends=$(python3 - "$share/xscreensaver/config/sorvel2.xml" "$SORVEL2_ROOT/src/app/saver_settings.h" <<'PY'
# Prints the sliders' ends as hack arguments: "--balls HIGH --grid LOW ..."
# and the same at the other ends, after checking them against the limits.
import re, sys
import xml.etree.ElementTree as ET
saver = ET.parse(sys.argv[1]).getroot()
limits = {k: int(v) for k, v in re.findall(r"kSaver(\w+) = (\d+);", open(sys.argv[2]).read())}
def fail(what):
    sys.exit(f"sorvel2.xml: {what}")
if saver.tag != "screensaver" or saver.get("name") != "sorvel2" or saver.get("gl") != "yes":
    fail(f"not the GL hack sorvel2: {saver.attrib}")
if [c.get("arg") for c in saver.iter("command")] != ["--root"]:
    fail("the command is not --root")
numbers = {n.get("id"): n for n in saver.iter("number")}
for name, low, high, default in (("balls", limits["MinBalls"], limits["MaxBalls"], limits["DefaultBalls"]),
                                 ("grid", limits["MinGrid"], limits["MaxGrid"], limits["DefaultGrid"])):
    n = numbers.get(name)
    if n is None or n.get("arg") != f"--{name} %":
        fail(f"no slider for --{name}")
    got = (int(n.get("low")), int(n.get("high")), int(n.get("default")))
    if got != (low, high, default):
        fail(f"{name} spans {got}, the saver {(low, high, default)}")
delay = numbers.get("delay")
if delay is None or delay.get("arg") != "--delay %" or int(delay.get("low")) != 0:
    fail("no delay slider from 0")
if [b.get("arg-set") for b in saver.iter("boolean")] != ["--fps"]:
    fail("no --fps toggle")
arguments = lambda pick: " ".join(f"--{k} {numbers[k].get(pick)}" for k in ("balls", "grid", "delay"))
print(arguments("low"))
print(arguments("high"))
PY
) || fail "the hack's settings: $ends"
while read -r -a words; do
  set +e
  said=$(env -u DISPLAY "$hack" "${words[@]}" 2>&1)
  rc=$?
  set -e
  [ "$rc" = 1 ] && grep -q 'cannot open the display' <<<"$said" || fail "the hack with ${words[*]}: exit $rc: $said"
done <<<"$ends"
set +e
said=$(env -u DISPLAY "$hack" --grid 129 2>&1)
rc=$?
set -e
[ "$rc" = 64 ] && grep -q "'129'" <<<"$said" || fail "the hack with --grid 129: exit $rc: $said"
"$hack" --help | head -1 | grep -q '^usage: sorvel2-saver' || fail "the hack's --help"
zcat "$share/man/man6/sorvel2-saver.6.gz" | grep -q 'GL: sorvel2 \\-\\-root' ||
  fail "sorvel2-saver(6) does not show the programs line"
echo "package: the XScreenSaver hack, its settings ($(tr '\n' ';' <<<"$ends")), entry and manual page"

bin=$root/usr/bin
set_dir=$share/sorvel2/demo
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
checked=$(date +%s)

# --- installed into a fresh Debian 12 --------------------------------------
bare_debian12 "$debian_root" || fail "no minimal Debian 12 root"
cp /etc/resolv.conf "$debian_root/etc/resolv.conf"
cp "$deb" "$debian_root/tmp/"
# The dependencies' .deb files that an earlier run fetched are handed to
# apt (it checks them against the archive's lists), so only new ones are
# downloaded; they are kept for the next run.
cached_debs_into "$debian_root"
mount -t proc proc "$debian_root/proc"
in_root() { chroot "$debian_root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
in_root bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -q /tmp/$(basename "$deb")" \
  > "$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install of the package in a fresh Debian 12"; }
cached_debs_from "$debian_root"
echo "package: installed into a fresh Debian 12 with $(grep -c '^Setting up ' "$work/install.log") packages" \
     "($(sed -n 's/^Need to get \(.*\) of archives\.$/\1/p' "$work/install.log") to download)"
in_root bash -c 'cd /usr/share/sorvel2/demo && sorvel2-tool render --time-ms 0 -o /tmp/frame.png' ||
  fail "sorvel2-tool render in the fresh root"
[ "$(od -An -tx1 -j12 -N12 "$debian_root/tmp/frame.png" | tr -d ' \n')" = "49484452000002800000""01e0" ] ||
  fail "render in the fresh root did not write a 640 x 480 PNG"
# The launcher in the root, on the harness's private Xvfb (reached through
# its abstract socket): it draws, the picture moves, Escape ends it with 0.
printf '#!/bin/sh\nexec chroot "%s" /usr/bin/sorvel2-demo "$@"\n' "$debian_root" > "$work/demo-in-root"
chmod +x "$work/demo-in-root"
set +e
timeout 300 python3 "$SORVEL2_ROOT/tests/app/run_program_test.py" --program "$work/demo-in-root" \
  --demo "$SORVEL2_ROOT/demo" draws_frames
rc=$?
set -e
[ "$rc" = 0 ] || fail "sorvel2-demo in the fresh root (exit $rc)"
echo "package: zip and deb of $version checked in $(( $(date +%s) - start )) s (packages made in" \
     "$(( packaged - start )) s, checked in $(( checked - packaged )) s, fresh root $(( $(date +%s) - checked )) s)"
