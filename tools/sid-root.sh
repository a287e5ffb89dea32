#!/usr/bin/env bash
# Makes (once per machine) and prints the path of a Debian sid root file system for ARCH (amd64 or
# arm64) holding what the test suite runs against a wheel: CPython 3.13, 3.14 and 3.15 with venv,
# curl, the shells the tests read commands back with, and nm. The roots are cached outside the
# repository, under $TAVREL_CACHE/roots (default /var/cache/tavrel/roots), one per architecture, and made
# again only when a package is wanted that the cached one lacks.
#
# amd64 is made by debootstrap as usual. arm64 is made without running arm64 code for the
# packages: debootstrap's first stage downloads every package, which are then unpacked with the
# host's dpkg-deb (running each package's install scripts under qemu-user costs about 25 minutes);
# only ldconfig runs under qemu. Needs root and the host packages debootstrap and qemu-user-static
# (tools/host-deps.sh installs them).
set -euo pipefail
arch=${1:?usage: sid-root.sh amd64|arm64 PYTHON_VERSION...}
shift
[ $# -gt 0 ] || { echo "usage: sid-root.sh amd64|arm64 PYTHON_VERSION..." >&2; exit 2; }
cache=${TAVREL_CACHE:-/var/cache/tavrel}/roots
mirror=${TAVREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=
for version in "$@"; do packages+=python$version,python$version-venv,; done
packages+=curl,bash,zsh,ksh93u+m,mksh,busybox,dash,yash,posh,fish,binutils,ca-certificates
root=$cache/sid-$arch
stamp=$root/.tavrel-root
# A root made with these packages, or more, is kept.
if [ -f "$stamp" ] && [ -z "$(comm -23 <(tr , '\n' <<<"$packages" | sort) <(tr , '\n' <"$stamp" | sort))" ]; then
  echo "$root"; exit 0
fi

log=$cache/sid-$arch.log
mkdir -p "$cache"
echo "making the sid $arch root in $root (log: $log)" >&2
rm -rf "$root"
retry() {  # retry COMMAND...: three tries, for downloads from the archive
  local n
  for n in 1 2 3; do "$@" >>"$log" 2>&1 && return 0; echo "try $n failed: $*" >&2; sleep $((n * 10)); done
  echo "failed three times: $* (see $log)" >&2; return 1
}
: >"$log"
# --foreign: the first stage only (download and unpack the base), whatever the architecture.
retry debootstrap --foreign --variant=minbase --arch="$arch" --include="$packages" sid "$root" "$mirror" ||
  { rm -rf "$root"; exit 1; }
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  chroot "$root" /debootstrap/debootstrap --second-stage >>"$log" 2>&1 ||
    { echo "debootstrap --second-stage failed (see $log)" >&2; exit 1; }
else
  for deb in "$root"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
  # What the skipped install scripts would have made that the tests need: the users and groups,
  # /bin/sh, and the shared library cache.
  cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
  cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
  [ -e "$root/usr/bin/sh" ] || ln -s dash "$root/usr/bin/sh"
  chroot "$root" /usr/sbin/ldconfig
  rm -rf "$root/debootstrap" "$root"/var/cache/apt/archives/*.deb
fi
# pip inside the root fetches from PyPI with the host's certificates.
mkdir -p "$root/etc/ssl/certs"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
cp /etc/resolv.conf "$root/etc/resolv.conf"
echo "$packages" >"$stamp"
echo "$root"
