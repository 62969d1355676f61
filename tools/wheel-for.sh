#!/usr/bin/env bash
# Prints the one wheel of DIR for CPython tag TAG (cp311...) and CPU ARCH
# (x86_64, aarch64); fails unless there is exactly one.
# Usage: tools/wheel-for.sh DIR TAG ARCH
set -euo pipefail
dir=$1 tag=$2 arch=$3
shopt -s nullglob
wheels=("$dir"/quadlite-*-"$tag"-"$tag"-*_"$arch".whl)
if [ ${#wheels[@]} -ne 1 ]; then
  echo "wheel-for: ${#wheels[@]} wheels for $tag $arch in $dir (want one)" >&2
  exit 1
fi
echo "${wheels[0]}"
