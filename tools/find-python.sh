#!/usr/bin/env bash
# Prints the path of a CPython 3.13 or newer for the developers' build: $TAVREL_PYTHON when set, else the
# newest python3.N on PATH, else pyenv's newest such version.
set -euo pipefail
supported() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 13) or sys.implementation.name != "cpython")' 2>/dev/null; }
if [ -n "${TAVREL_PYTHON:-}" ]; then
  supported "$TAVREL_PYTHON" && { echo "$TAVREL_PYTHON"; exit 0; }
  echo "error: TAVREL_PYTHON=$TAVREL_PYTHON is not CPython 3.13 or newer" >&2; exit 1
fi
root="${PYENV_ROOT:-$HOME/.pyenv}"
for minor in $(seq 30 -1 13); do
  for candidate in "$(command -v python3.$minor || true)" \
                   $(ls -d "$root"/versions/3.$minor*/bin/python3.$minor 2>/dev/null | sort -rV); do
    if [ -n "$candidate" ] && supported "$candidate"; then echo "$candidate"; exit 0; fi
  done
done
echo "error: no CPython 3.13 or newer found (looked on PATH and under $root/versions)" >&2
exit 1
