#!/usr/bin/env bash
# build-wheel.sh PYTHON_VERSION ARCH OUTDIR: builds the release wheel of tavrel for CPython
# PYTHON_VERSION (3.13, 3.14...) on ARCH (x86_64 or aarch64) Linux with glibc 2.17 or newer, and
# writes it into OUTDIR as a manylinux_2_17 / manylinux2014 wheel. Run by make wheels with the
# interpreter of .venv-wheel (build, ziglang, auditwheel, wheel) as PYTHON.
#
# One interpreter builds every target: the compiler is zig's clang for ARCH and glibc 2.17
# (tools/zig-c++), the headers are those of Debian's libpython3.X-dev for that processor (unpacked
# by tools/sid-fetch.sh), the module's name comes from SETUPTOOLS_EXT_SUFFIX and the wheel's tag is
# set. auditwheel then checks the module (its symbol versions and libraries) and must find it
# consistent with manylinux_2_17 for ARCH; the wheel is retagged to that platform.
set -euo pipefail
version=${1:?usage: build-wheel.sh PYTHON_VERSION ARCH OUTDIR} arch=${2:?} out=${3:?}
python=${PYTHON:?PYTHON names the interpreter with the build tools}
here=$(cd "$(dirname "$0")" && pwd)
debs=${TAVREL_CACHE:-/var/cache/tavrel}/debs
case $arch in
  x86_64) debarch=amd64 ;;
  aarch64) debarch=arm64 ;;
  *) echo "unknown processor $arch (x86_64 or aarch64)" >&2; exit 2 ;;
esac
cp=cp${version/./}
triplet=$arch-linux-gnu
"$here/sid-fetch.sh" "$debs" "libpython$version-dev:$debarch"
include=$debs/libpython$version-dev_$debarch/usr/include
[ -f "$include/python$version/Python.h" ] || { echo "no Python.h in $include/python$version" >&2; exit 1; }
raw=build/wheels/raw-$cp-$arch
# A release build starts from an empty build folder: scikit-build-core's settings do not replace
# what an earlier configure cached there.
rm -rf "$raw" "build/zig-$cp-$arch" && mkdir -p "$raw" "$out"
# The release build's own flags, beside CMake's -O3, each measured by make bench-builds and
# benchmarks/callgrind.py: zig hands -O3 on to clang as -O2 (-Xclang -O3 gives clang's -O3) and
# keeps frame pointers; ThinLTO across the core library and the module. (A higher inlining
# threshold, -mllvm -inline-threshold=1000, cut instructions further but made constructing a
# request a third slower.) Functions start on a 64-byte line, so that where a hot loop falls
# against the lines and the processor's fetch windows depends on its own function only: at the
# default 16 bytes, an unrelated change elsewhere shifted the export's writer by 32 bytes and made
# the export 6% slower. The module is stripped at link time (-s): the host's strip does not know
# every target.
compile_flags="-Xclang -O3 -fomit-frame-pointer -flto=thin -falign-functions=64"
link_flags="-flto=thin -s"
TAVREL_ZIG_PYTHON=$python TAVREL_ZIG_TARGET=$triplet.2.17 CXX=$here/zig-c++ \
SETUPTOOLS_EXT_SUFFIX=.cpython-${cp#cp}-$triplet.so \
  "$python" -m build --wheel --no-isolation --outdir "$raw" -Cbuild-dir="build/zig-$cp-$arch" \
  -Cwheel.tags="$cp-$cp-linux_$arch" -Cinstall.strip=false \
  -Ccmake.define.TAVREL_PYTHON_INCLUDE="$include/python$version;$include" \
  -Ccmake.define.CMAKE_CXX_FLAGS="$compile_flags" -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$link_flags" \
  -Ccmake.define.CMAKE_AR="$here/zig-ar" -Ccmake.define.CMAKE_RANLIB="$here/zig-ranlib" >"$raw/build.log" 2>&1 ||
  { tail -n 30 "$raw/build.log" >&2; exit 1; }
wheel=$(ls "$raw"/tavrel-*-"$cp-$cp-linux_$arch".whl)
shown=$("$(dirname "$python")/auditwheel" show "$wheel" 2>&1)
echo "$shown" | tr -s ' \n' ' ' | grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" ||
  { echo "$shown" >&2; echo "auditwheel: $(basename "$wheel") is not manylinux_2_17_$arch" >&2; exit 1; }
"$python" -m wheel tags --remove --platform-tag "manylinux_2_17_$arch.manylinux2014_$arch" "$wheel" >/dev/null
# wheel sorts the two tags; the file name gets them in the order PEP 600 and most published wheels
# write them, newer tag first (the order carries no meaning).
tagged=$(ls "$raw"/tavrel-*-"$cp-$cp-"*manylinux*.whl)
name=$(basename "$tagged")
name=${name/manylinux2014_$arch.manylinux_2_17_$arch/manylinux_2_17_$arch.manylinux2014_$arch}
mv "$tagged" "$out/$name"
echo "$out/$name: $(du -k "$out/$name" | cut -f1) KiB, auditwheel: manylinux_2_17_$arch"
