#!/usr/bin/env bash
# Installs the Debian packages the tests use when they are missing (curl for the end-to-end
# test, GoogleTest for the C++ unit tests). Needs root for apt-get; otherwise says what is missing.
set -uo pipefail
missing=()
command -v curl >/dev/null 2>&1 || missing+=(curl)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update >/dev/null 2>&1 && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; } ||
    echo "warning: could not install ${missing[*]}" >&2
else
  echo "warning: missing ${missing[*]} (install them with apt-get as root)" >&2
fi
exit 0
