#!/usr/bin/env bash
# Installs the Debian packages the tests use when they are missing: curl for the end-to-end test,
# GoogleTest for the C++ unit tests, and the shells that read the rendered commands back (zsh,
# ksh93, mksh, busybox sh, yash, posh, fish; bash and dash come with the system). Extra arguments
# name further programs, each installed from the package of the same name, or PROGRAM:PACKAGE;
# a PROGRAM given as an absolute path is a file the package holds (for packages of headers).
# Needs root for apt-get; otherwise says what is missing.
set -uo pipefail
missing=()
need() {  # need PROGRAM PACKAGE: the package when the program is not on PATH (or the file missing)
  case $1 in
    /*) [ -e "$1" ] || missing+=("$2") ;;
    *) command -v "$1" >/dev/null 2>&1 || missing+=("$2") ;;
  esac
}
need curl curl
need bash bash
need dash dash
need zsh zsh
need ksh93 ksh93u+m
need mksh mksh
need busybox busybox
need yash yash
need posh posh
need fish fish
need /usr/include/gtest/gtest.h libgtest-dev
for tool in "$@"; do need "${tool%%:*}" "${tool#*:}"; done
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
