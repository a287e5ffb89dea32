#!/usr/bin/env bash
# in-root.sh ROOT COMMAND...: runs COMMAND as root inside the root file system ROOT (made by
# tools/sid-root.sh), with /proc, /sys, /dev and /dev/pts mounted in a mount namespace of its own,
# so nothing stays mounted after it ends, even when it is killed. An arm64 root runs under
# qemu-user through binfmt_misc (tools/host-deps.sh registers it).
set -euo pipefail
root=${1:?usage: in-root.sh ROOT COMMAND...}
shift
exec unshare --mount --propagation private -- /bin/sh -c '
  root=$1; shift
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mkdir -p "$root/tmp" && mount -t tmpfs tmpfs "$root/tmp"
  exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
' in-root "$root" "$@"
