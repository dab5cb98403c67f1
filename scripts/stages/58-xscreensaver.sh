#!/usr/bin/env bash
# The XScreenSaver hack as a user gets it: the .deb made by the package stage
# (dist/sorvel2_<version>_amd64.deb) installed with apt-get, together with
# Debian's xscreensaver, into a fresh minimal Debian 12 root (bare_debian12
# and the .deb cache of common.inc). In that root the real daemon runs as an
# ordinary user the case makes, with a HOME whose .xscreensaver lists only
# this hack, on a private Xvfb of this machine (reached through its abstract
# socket): `xscreensaver-command -activate` puts the surface on the screen,
# `-deactivate` ends the hack within two seconds, no core file and no crash
# (the xscreensaver_daemon case of tests/app/run_program_test.py).
set -euo pipefail
source "$(dirname "$0")/common.inc"
start=$(date +%s)
fail() { echo "xscreensaver: FAILED: $*"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$SORVEL2_ROOT/build-package/linux/CMakeCache.txt")
deb=$SORVEL2_ROOT/dist/sorvel2_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb (the package stage makes it)"
work=$(mktemp -d)
root=$SORVEL2_CI_BUILD/xscreensaver/debian12
# A root is removed only once its /proc is unmounted.
cleanup() {
  if mountpoint -q "$root/proc" 2>/dev/null; then
    umount "$root/proc" || { echo "xscreensaver: $root/proc stays mounted; the root is kept"; return; }
  fi
  rm -rf "$root" "$work"
}
trap cleanup EXIT

bare_debian12 "$root" || fail "no minimal Debian 12 root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
cached_debs_into "$root"
mount -t proc proc "$root/proc"
# NOTE: the root is thrown away afterwards, so dpkg need not sync every
# file it unpacks (half the install time on a busy machine).
echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/sorvel2-unsafe-io"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# Only what the two packages need: a user installs xscreensaver's own
# recommendations (word lists, perl, image tools) or not, and the hack needs
# none of them.
in_root bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  /tmp/$(basename "$deb") xscreensaver" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install of the package and xscreensaver in a fresh Debian 12"; }
cached_debs_from "$root"
installed=$(date +%s)
echo "xscreensaver: the package and xscreensaver $(in_root dpkg-query -W -f='${Version}' xscreensaver) installed" \
     "into a fresh Debian 12 with $(grep -c '^Setting up ' "$work/install.log") packages" \
     "($(sed -n 's/^Need to get \(.*\) of archives\.$/\1/p' "$work/install.log") to download)" \
     "in $(( installed - start )) s"
[ -x "$root/usr/libexec/xscreensaver/sorvel2" ] || fail "the package installed no /usr/libexec/xscreensaver/sorvel2"

set +e
timeout 300 python3 "$SORVEL2_ROOT/tests/app/run_program_test.py" --program "$root/usr/libexec/xscreensaver/sorvel2" \
  --demo "$SORVEL2_ROOT/demo" --in-root "$root" xscreensaver_daemon
rc=$?
set -e
[ "$rc" = 0 ] || fail "the hack under the daemon in the fresh root (exit $rc)"
echo "xscreensaver: checked in $(( $(date +%s) - start )) s (install $(( installed - start )) s," \
     "daemon $(( $(date +%s) - installed )) s)"
