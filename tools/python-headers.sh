#!/usr/bin/env bash
# Makes CACHE/ARCH/X.Y hold CPython X.Y's public headers for ARCH (x86_64 or
# aarch64), with the real pyconfig.h for that machine, and prints the folder.
# The headers are those of PYTHON when one is given (an interpreter of this
# machine); otherwise Debian's libpython3.X-dev for that machine, from the
# suites that carry it (sid for 3.13 to 3.15, bookworm for 3.11), fetched
# once through a private apt state in CACHE/apt (the host's apt config stays
# untouched; the mirror is the one the host's own sources name).
# Debian has no 3.12 at all: aarch64's 3.12 headers are then PYTHON's with
# pyconfig.h turned to aarch64. Those differ only in these lines (compared on
# Debian's 3.13 for both machines).
# Usage: tools/python-headers.sh CACHE ARCH X.Y [PYTHON]
set -euo pipefail
cache=$1 arch=$2 version=$3 python=${4:-}
out=$cache/$arch/$version
if [ -f "$out/.done" ]; then echo "$out"; exit 0; fi
rm -rf "$out"
mkdir -p "$out"

case $arch in
  x86_64) debarch=amd64 triplet=x86_64-linux-gnu ;;
  aarch64) debarch=arm64 triplet=aarch64-linux-gnu ;;
  *) echo "python-headers: unknown machine $arch" >&2; exit 1 ;;
esac

if [ -n "$python" ]; then
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  cp -r "$include"/. "$out"/
  if [ "$arch" != "$(uname -m)" ]; then
    sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
           -e 's|^#define HAVE_GCC_ASM_FOR_X87 1|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
           -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/|#define HAVE_USABLE_WCHAR_T 1|' \
           -e 's|^#define PY_SUPPORT_TIER 1|#define PY_SUPPORT_TIER 2|' "$out/pyconfig.h"
  fi
else
  apt=$(realpath -m "$cache/apt")
  opts=(-o Dir::State::Lists="$apt/lists" -o Dir::State::status=/dev/null
        -o Dir::Cache="$apt/cache" -o Dir::Etc::SourceList="$apt/sources.list"
        -o Dir::Etc::SourceParts=/dev/null -o APT::Architectures::=amd64
        -o APT::Architectures::=arm64 -o Acquire::Check-Valid-Until=false
        -o Debug::NoLocking=true -qq)
  if [ ! -f "$apt/.updated" ]; then
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2; exit}' /etc/apt/sources.list)
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    for suite in sid bookworm; do
      echo "deb [arch=amd64,arm64 signed-by=$keyring] $mirror $suite main"
    done > "$apt/sources.list"
    apt-get "${opts[@]}" update
    touch "$apt/.updated"
  fi
  mkdir -p "$apt/debs"
  (cd "$apt/debs" && apt-get "${opts[@]}" download "libpython$version-dev:$debarch" 2>/dev/null)
  tree=$out.tree
  rm -rf "$tree"
  dpkg -x "$(ls "$apt"/debs/libpython"$version"-dev_*_"$debarch".deb | tail -n 1)" "$tree"
  cp -r "$tree/usr/include/python$version"/. "$out"/
  # Debian's pyconfig.h only picks the machine's own one.
  cp "$tree/usr/include/$triplet/python$version/pyconfig.h" "$out/pyconfig.h"
  rm -rf "$tree"
fi
touch "$out/.done"
echo "$out"
