#!/usr/bin/env bash
# Installs the release files in DIST as a user would and checks each install
# with tools/install_check.py: for each PYTHON, its wheel for this machine
# (x86_64 or aarch64) into a fresh venv of that interpreter with nothing else
# in it; then, with the first PYTHON, the sdist into another, built by pip in
# an isolated build environment (unless --no-sdist: the sdist builds the
# same way whichever interpreter runs pip, and once is enough). numpy, and
# the sdist's build requirements, come from PyPI. The venvs are made anew in
# WORK.
# Usage: tools/install-check.sh [--no-sdist] DIST WORK PYTHON...
set -euo pipefail
with_sdist=1
if [ "${1:-}" = "--no-sdist" ]; then
  with_sdist=""
  shift
fi
dist=$1 work=$2
shift 2
sdist=$(ls "$dist"/quadlite-*.tar.gz)

for python in "$@"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls "$dist"/quadlite-*-"$tag"-"$tag"-*manylinux*_"$(uname -m)".whl)
  kinds=(wheel)
  if [ -n "$with_sdist" ]; then kinds+=(sdist); with_sdist=""; fi
  for kind in "${kinds[@]}"; do
    venv=$work/$tag-$kind
    rm -rf "$venv"
    "$python" -m venv "$venv"
    if [ $kind = wheel ]; then
      echo "== install check: $tag, $(basename "$wheel")"
      "$venv/bin/python" -m pip -qq install "$wheel"
    else
      echo "== install check: $tag, $(basename "$sdist"), isolated build"
      # No cache: a wheel built from an earlier sdist of the same name would
      # stand in for the build.
      "$venv/bin/python" -m pip -qq install --no-cache-dir "$sdist"
    fi
    "$venv/bin/python" -I tools/install_check.py
  done
done
