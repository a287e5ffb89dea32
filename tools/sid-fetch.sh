#!/usr/bin/env bash
# sid-fetch.sh DEST PACKAGE:ARCH...: downloads each package from Debian sid with the host's apt
# (its own lists and cache under $TAVREL_CACHE/apt, default /var/cache/tavrel/apt, so the host's sources
# are untouched) and unpacks it, without running anything of it, into DEST/PACKAGE_ARCH. A
# package already unpacked there is kept. Used for the Python headers of each wheel target and
# for qemu-user.
set -euo pipefail
dest=${1:?usage: sid-fetch.sh DEST PACKAGE:ARCH...}
shift
state=${TAVREL_CACHE:-/var/cache/tavrel}/apt
mirror=${TAVREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$state/lists/partial" "$state/archives/partial" "$dest"
echo "deb [arch=amd64,arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main" >"$state/sources.list"
apt=(apt-get -q -o Dir::State="$state" -o Dir::State::Lists="$state/lists" -o Dir::State::status=/dev/null
     -o Dir::Cache="$state" -o Dir::Cache::Archives="$state/archives"
     -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
     -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=arm64
     -o Acquire::Check-Valid-Until=false -o Acquire::Retries=3 -o APT::Sandbox::User=root)
todo=()
for spec in "$@"; do [ -d "$dest/${spec/:/_}" ] || todo+=("$spec"); done
[ ${#todo[@]} -gt 0 ] || exit 0
# The lists are fetched again when older than a day (sid changes daily).
if [ -z "$(find "$state/lists" -name '*Packages*' -mmin -1440 2>/dev/null | head -1)" ]; then
  "${apt[@]}" update >"$state/update.log" 2>&1 || { cat "$state/update.log" >&2; exit 1; }
fi
cd "$state/archives"
for spec in "${todo[@]}"; do
  rm -f "${spec%%:*}"_*_"${spec#*:}".deb
  for n in 1 2 3; do "${apt[@]}" download "$spec" >/dev/null && break; [ $n -lt 3 ] || exit 1; sleep $((n * 10)); done
  dpkg-deb -x "${spec%%:*}"_*_"${spec#*:}".deb "$dest/${spec/:/_}.part"
  mv "$dest/${spec/:/_}.part" "$dest/${spec/:/_}"
done
