#!/usr/bin/env bash
# The set-up where a user stands: a fresh minimal Debian 12 (the package
# stage's cached bare root) with a user who has sudo and a copy of the
# project's files in the home folder. As that user, the README's commands:
#  * before sudo is installed, `setup.sh` says in one line that it needs
#    root or sudo and stops;
#  * `bash scripts/run-demo.sh` sets up (sudo, only the demo's packages),
#    builds and starts the demo: first with no display, where it says
#    "Fullscreen mode - failed" and ends with 0, then on a private Xvfb of
#    this machine (reached through its abstract socket), where it draws, the
#    picture moves and Escape ends it with 0;
#  * the README's plain build (cmake, then ninja) after that set-up alone
#    makes the program and the tool, leaving out the tests and benchmarks
#    with a status line that says so (GoogleTest and Google Benchmark come
#    only with the test set);
#  * `bash scripts/setup.sh package` alone, then `bash scripts/package.sh`,
#    makes both packages (`file`, which CPack runs, comes from that set).
# The .deb files apt fetches are cached with the package stage's.
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
fail() { echo "user-setup: FAILED: $*"; exit 1; }
debian_root=$SORVEL2_CI_BUILD/user-setup/debian12
work=$(mktemp -d)
# A root is removed only once its /proc is unmounted.
cleanup() {
  if mountpoint -q "$debian_root/proc" 2>/dev/null; then
    umount "$debian_root/proc" || { echo "user-setup: $debian_root/proc stays mounted; the root is kept"; return; }
  fi
  [ ! -d "$debian_root/var/cache/apt/archives" ] || cached_debs_from "$debian_root" || true
  rm -rf "$debian_root" "$work"
}
trap cleanup EXIT

bare_debian12 "$debian_root" || fail "no minimal Debian 12 root"
cp /etc/resolv.conf "$debian_root/etc/resolv.conf"
# sudo looks up the machine's name, which a machine's own set-up puts here.
echo "127.0.1.1 $(hostname)" >> "$debian_root/etc/hosts"
cached_debs_into "$debian_root"
mount -t proc proc "$debian_root/proc"
# NOTE: dpkg skips its fsync calls in this throw-away root (as container
# images do); what is installed stays the same.
echo force-unsafe-io > "$debian_root/etc/dpkg/dpkg.cfg.d/unsafe-io"
in_root() { chroot "$debian_root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
in_root useradd --create-home --shell /bin/bash --groups sudo newcomer
# The project as a checkout has it: the tracked files, as they are now.
home=$debian_root/home/newcomer
mkdir "$home/sorvel2"
(cd "$SORVEL2_ROOT" && git ls-files -z | tar --null -T - -cf -) | tar -C "$home/sorvel2" -xf -
in_root chown -R newcomer:newcomer /home/newcomer/sorvel2
# as_user COMMAND: COMMAND run by bash in the checkout as the user, with a
# user's environment (DISPLAY passed on when set); exec all the way down, so
# the process stays the one a caller started.
as_user() {
  exec chroot "$debian_root" setpriv --reuid=newcomer --regid=newcomer --init-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/home/newcomer USER=newcomer LOGNAME=newcomer LANG=C.UTF-8 \
    ${DISPLAY:+DISPLAY=$DISPLAY} ${SORVEL2_NO_MESSAGE_BOX:+SORVEL2_NO_MESSAGE_BOX=1} \
    bash -c "cd ~/sorvel2 && $1"
}

# Without sudo: one line, and a stop.
set +e
said=$( (unset DISPLAY; as_user 'exec bash scripts/setup.sh demo') 2>&1)
rc=$?
set -e
[ "$rc" = 1 ] && [ "$(wc -l <<<"$said")" = 1 ] && grep -q '^setup: .* needs root or sudo; this user has neither$' <<<"$said" ||
  { echo "$said"; fail "setup.sh without root or sudo (exit $rc)"; }
# What the user's machine has beyond the bare system: sudo, with the user in
# its group (no password asked, as on a machine where the user just typed it).
in_root bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq sudo' \
  > "$work/sudo.log" 2>&1 || { cat "$work/sudo.log"; fail "installing sudo"; }
echo 'newcomer ALL=(ALL) NOPASSWD: ALL' > "$debian_root/etc/sudoers.d/newcomer"
chmod 440 "$debian_root/etc/sudoers.d/newcomer"
prepared=$(date +%s)

# --- run-demo.sh: sets up, builds, starts --------------------------------
set +e
said=$( (unset DISPLAY; SORVEL2_NO_MESSAGE_BOX=1 as_user 'exec bash scripts/run-demo.sh') 2>&1)
rc=$?
set -e
[ "$rc" = 0 ] || { echo "$said"; fail "run-demo.sh on a fresh Debian 12 (exit $rc)"; }
grep -q '^setup: demo: installing ' <<<"$said" || { echo "$said"; fail "run-demo.sh did not set up"; }
grep -qx 'Error: Fullscreen mode - failed' <<<"$said" || { echo "$said"; fail "run-demo.sh did not start the demo"; }
echo "user-setup: run-demo.sh set up ($(sed -n 's/^setup: demo: installing //p' <<<"$said" | wc -w) packages named), built and ran"
demo_set_up=$(date +%s)
# Again on a display: set up already, built already, it draws.
declare -f as_user > "$work/as_user"
printf '#!/bin/bash\ndebian_root=%q\n. %q\nas_user "exec bash scripts/run-demo.sh"\n' "$debian_root" "$work/as_user" \
  > "$work/run-demo"
chmod +x "$work/run-demo"
set +e
timeout 300 python3 "$SORVEL2_ROOT/tests/app/run_program_test.py" --program "$work/run-demo" \
  --demo "$SORVEL2_ROOT/demo" draws_frames
rc=$?
set -e
[ "$rc" = 0 ] || fail "run-demo.sh on a display in the fresh root (exit $rc)"
drawn=$(date +%s)

# --- the README's plain build after the demo's set-up ---------------------
# The README's two lines, as it gives them.
build=$(sed -n '/^    cmake -S \. -B build/,/^    ninja -C build/p' "$SORVEL2_ROOT/README.md" | sed 's/^    //')
[ "$(wc -l <<<"$build")" = 2 ] || fail "the README's build is not the two lines looked for: $build"
said=$( (unset DISPLAY; as_user "$build") 2>&1) || { echo "$said"; fail "the README's build after setup.sh demo"; }
grep -q -- '-- sorvel2: leaving out the tests .* and benchmarks ' <<<"$said" ||
  { echo "$said"; fail "the README's build did not say why the tests and benchmarks are left out"; }
for f in build/sorvel2 build/tools/sorvel2-tool; do
  [ -x "$home/sorvel2/$f" ] || fail "the README's build made no $f"
done
(cd "$home/sorvel2/demo" && ../build/tools/sorvel2-tool info | grep -qx 'GridSize 40') || fail "the built tool"
built=$(date +%s)

# --- setup.sh package alone, then package.sh ------------------------------
[ ! -e "$debian_root/usr/bin/file" ] || fail "file is there before the package set (the test proves nothing)"
said=$( (unset DISPLAY; as_user 'exec bash scripts/setup.sh package') 2>&1) || { echo "$said"; fail "setup.sh package"; }
package_set_up=$(date +%s)
said=$( (unset DISPLAY; as_user 'exec bash scripts/package.sh') 2>&1) || { echo "$said"; fail "package.sh"; }
version=$(sed -n 's/^project(sorvel2 VERSION \([0-9.]*\) .*/\1/p' "$SORVEL2_ROOT/CMakeLists.txt")
for f in "sorvel2-$version-windows-x64.zip" "sorvel2_${version}_amd64.deb"; do
  grep -qx "package: dist/$f" <<<"$said" && [ -s "$home/sorvel2/dist/$f" ] || { echo "$said"; fail "package.sh made no $f"; }
done
dpkg-deb -f "$home/sorvel2/dist/sorvel2_${version}_amd64.deb" Depends | grep -q 'libsdl2-2.0-0' ||
  fail "the .deb made there has no library dependencies"
echo "user-setup: setup.sh package, then package.sh: both packages"
echo "user-setup: a sudo user on a fresh Debian 12, checked in $(( $(date +%s) - start )) s (root $(( prepared - start )) s," \
     "run-demo.sh $(( demo_set_up - prepared )) s and drawing $(( drawn - demo_set_up )) s, the README's build" \
     "$(( built - drawn )) s, setup.sh package $(( package_set_up - built )) s, package.sh" \
     "$(( $(date +%s) - package_set_up )) s)"
