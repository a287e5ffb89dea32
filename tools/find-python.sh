#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter: python3.13 on PATH, else pyenv's newest 3.13.
set -euo pipefail
is313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }
for candidate in "${PYTHON313:-}" "$(command -v python3.13 || true)"; do
  if [ -n "$candidate" ] && is313 "$candidate"; then echo "$candidate"; exit 0; fi
done
root="${PYENV_ROOT:-$HOME/.pyenv}"
for candidate in $(ls -d "$root"/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13 2>/dev/null | sort -rV); do
  if is313 "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "error: no Python 3.13 found (looked on PATH and under $root/versions)" >&2
exit 1
