#!/usr/bin/env bash
# callgrind-root.sh WHEEL: readies a Debian sid arm64 root (tools/sid-root.sh) for counting the
# instructions of the aarch64 WHEEL and of the floors under callgrind (benchmarks/callgrind.py
# --aarch64). Debian's qemu-user has no plugins to count with, so valgrind for arm64 itself runs
# under qemu-user, inside the root. Makes a folder of its own in the root's /opt/tavrel-callgrind,
# holding sid's valgrind for arm64 (unpacked by tools/sid-fetch.sh into $TAVREL_CACHE/debs), a
# venv of the wheel's interpreter with the wheel installed, the floors (benchmarks/floors/floors.c
# compiled by Debian's aarch64 cross gcc against the headers of sid's libpython3.X-dev:arm64) and
# the benchmark's scripts, and prints the root's path and the folder's path inside it (the caller
# removes the folder). The cached root itself is left as it was. Needs root (tools/host-deps.sh
# sets up the host).
set -euo pipefail
wheel=$(realpath "${1:?usage: callgrind-root.sh WHEEL}")
here=$(cd "$(dirname "$0")" && pwd)
case $wheel in
  *_aarch64.whl) ;;
  *) echo "$(basename "$wheel"): not an aarch64 wheel" >&2; exit 2 ;;
esac
. "$here/wheel-root.sh"
debs=${TAVREL_CACHE:-/var/cache/tavrel}/debs
"$here/sid-fetch.sh" "$debs" valgrind:arm64 "libpython$version-dev:arm64"
mkdir -p "$root/opt/tavrel-callgrind"
work=$(mktemp -d "$root/opt/tavrel-callgrind/$cp.XXXXXX")
trap 'rm -rf "$work"' ERR
mkdir -p "$work/benchmarks" "$work/build/floors" "$work/out"
cp -a "$debs/valgrind_arm64/usr" "$work/valgrind"
cp "$here/../benchmarks/callgrind.py" "$here/../benchmarks/workload.py" "$work/benchmarks/"
include=$debs/libpython$version-dev_arm64/usr/include
aarch64-linux-gnu-gcc -O3 -Wall -Wextra -Werror -shared -fPIC -I"$include/python$version" -I"$include" \
  -o "$work/build/floors/_floors.cpython-${cp#cp}-aarch64-linux-gnu.so" "$here/../benchmarks/floors/floors.c"
cp "$wheel" "$work/"
"$here/in-root.sh" "$root" /bin/sh -c '
  cd "$1" && "python$2" -m venv venv &&
  venv/bin/python -m pip install -q --no-deps --no-index --no-compile --disable-pip-version-check "./$3"
' setup "${work#"$root"}" "$version" "$name" >&2
echo "$root"
echo "${work#"$root"}"
