# Sourced by the scripts that use a wheel inside a Debian sid root, with `wheel` and `here` set:
# sets name (the wheel's file name), cp (cp313...), version (3.13...), debarch (amd64 or arm64) and
# root, the sid root of that processor (tools/sid-root.sh, made once per machine) holding the
# interpreters of TAVREL_ROOT_PYTHONS (default: the wheel's).
name=$(basename "$wheel")
cp=$(echo "$name" | cut -d- -f3)
version=${cp:2:1}.${cp:3}
case $name in
  *_x86_64.whl) debarch=amd64 ;;
  *_aarch64.whl) debarch=arm64 ;;
  *) echo "$name: not an x86_64 or aarch64 wheel" >&2; exit 2 ;;
esac
root=$("$here/sid-root.sh" "$debarch" ${TAVREL_ROOT_PYTHONS:-$version})
