#!/usr/bin/env bash
# Sets up the host for checking wheels in Debian sid roots (make wheels-check): installs
# debootstrap when missing, takes qemu-user from sid (unpacked into $TAVREL_CACHE/debs, default
# /var/cache/tavrel/debs: Debian 12's qemu 7.2 lacks terminal calls that the tests make, such as
# the one behind os.ttyname), mounts binfmt_misc and registers that qemu as the handler of aarch64
# programs, so that they run under emulation, inside a root too. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
debs=${TAVREL_CACHE:-/var/cache/tavrel}/debs
missing=()
command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
command -v unshare >/dev/null 2>&1 || missing+=(util-linux)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  for n in 1 2 3; do
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 && break
    apt-get update >/dev/null 2>&1 || true
    [ $n -lt 3 ] || { echo "could not install ${missing[*]}" >&2; exit 1; }
    sleep $((n * 10))
  done
fi
"$here/sid-fetch.sh" "$debs" qemu-user:amd64
qemu=$debs/qemu-user_amd64/usr/bin/qemu-aarch64
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
if [ -e $binfmt/qemu-aarch64 ] && ! grep -qx "interpreter $qemu" $binfmt/qemu-aarch64; then
  echo -1 >$binfmt/qemu-aarch64  # another qemu's handler (the host's own qemu-user-static)
fi
# The F flag opens the interpreter now, so that it also runs inside a root.
[ -e $binfmt/qemu-aarch64 ] ||
  sed "s|:/usr/bin/qemu-aarch64:|:$qemu:|" "$debs/qemu-user_amd64/usr/share/qemu/binfmt.d/qemu-aarch64.conf" >$binfmt/register
