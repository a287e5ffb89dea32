#!/usr/bin/env bash
# check-wheel.sh SDIST WHEEL [PYTEST_ARGS...]: installs WHEEL, with its test extra from PyPI, into a
# fresh venv of its own interpreter inside a Debian sid root of its processor (tools/sid-root.sh;
# an aarch64 wheel runs under qemu-user), and runs the pytest suite of the unpacked SDIST against
# it, with PYTEST_ARGS. Prints the wheel's name, the suite's closing line and its time. Needs root
# (tools/host-deps.sh sets up the host).
set -euo pipefail
sdist=$(realpath "${1:?usage: check-wheel.sh SDIST WHEEL [PYTEST_ARGS...]}") wheel=$(realpath "${2:?}")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wheel-root.sh"
# Tests that cannot keep their time limits under emulation skip, told so by TAVREL_EMULATED.
emulated=
[ "$debarch" = arm64 ] && [ "$(uname -m)" != aarch64 ] && emulated=qemu-user
# A folder of this check's own, so that checks of the same wheel can run at once (make
# wheels-check beside a CI run on the same machine); removed when the suite passes, kept with the
# suite's whole log (pytest.log) when it fails.
mkdir -p "$root/opt/tavrel-check"
work=$(mktemp -d "$root/opt/tavrel-check/$cp-$debarch.XXXXXX")
work=${work#"$root"}
cp "$wheel" "$root$work/"
tar -xzf "$sdist" -C "$root$work"
src=$(cd "$root$work" && ls -d tavrel-*/)
pip_cache=${TAVREL_CACHE:-/var/cache/tavrel}/pip-$debarch
mkdir -p "$root/root/.cache" "$pip_cache"
echo "== $name: python$version in the sid $debarch root"
start=$(date +%s)
# pip's cache lives on the host, bind-mounted, so that a second check downloads nothing.
set +e
unshare --mount --propagation private -- /bin/sh -c '
  mount --bind "$1" "$2/root/.cache" && shift 2 && exec "$@"' cache "$pip_cache" "$root" \
"$here/in-root.sh" "$root" /bin/sh -c '
  set -e
  work=$1 version=$2 wheel=$3 src=$4 emulated=$5; shift 5
  cd "$work"
  python$version -m venv venv
  # No byte-compiling of the whole of mypy and the rest at install: under emulation that costs
  # minutes; what the tests import is compiled when first imported.
  for n in 1 2 3; do
    venv/bin/python -m pip install -q --no-compile --disable-pip-version-check "./$wheel[test]" && break
    [ $n -lt 3 ] || exit 1; sleep $((n * 10))
  done
  cd "$src"
  # The installed wheel is the one imported, never a build in the source tree.
  "$work/venv/bin/python" -c "import sys, tavrel; assert tavrel.__file__.startswith(sys.prefix), tavrel.__file__"
  exec env TAVREL_EMULATED="$emulated" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
' check "$work" "$version" "$name" "$src" "$emulated" "$@" 2>&1 | tee "$root$work/pytest.log" | tail -n 15
status=${PIPESTATUS[0]}
set -e
echo "== $name: exit status $status in $(( $(date +%s) - start )) s"
[ "$status" -ne 0 ] && echo "== the whole log: $root$work/pytest.log" || rm -rf "${root:?}$work"
exit "$status"
