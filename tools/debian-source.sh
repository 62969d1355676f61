#!/usr/bin/env bash
# Lays out in DIR a copy of the source tree that Debian's meson-python can
# build, for the distribution leg.
#
# pyproject.toml states the license as a PEP 639 expression with its license
# files. meson-python reads that from 0.18 on; Debian 12 ships 0.12 (and
# Debian 13 0.17), whose metadata reader refuses a string `project.license`.
# For those, the copy states the same licence in the table form they read
# (`license = { text = "..." }`); `license-files` they pass over. Nothing
# else differs from the tree: the leg tests the module as Debian's compiler,
# pybind11 and numpy build it, not the metadata.
# Usage: tools/debian-source.sh DIR [PYTHON]   (PYTHON: /usr/bin/python3)
set -euo pipefail
dest=$1 python=${2:-/usr/bin/python3}
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$dest"
mkdir -p "$dest"
# Everything at the top of the tree but the build outputs and git's data;
# timestamps kept, so that an existing build directory rebuilds only what
# changed.
for entry in "$root"/* "$root"/.[!.]*; do
  case "${entry##*/}" in
    build | dist | out | .venv | .git | '.[!.]*' | '*') continue ;;
  esac
  cp -a "$entry" "$dest/"
done

if ! "$python" -c '
import sys
import mesonpy
version = tuple(int(part) for part in mesonpy.__version__.split(".")[:2])
sys.exit(0 if version >= (0, 18) else 1)'; then
  sed -E -i 's/^license = ("[^"]*")$/license = { text = \1 }/' "$dest/pyproject.toml"
  grep -q '^license = { text = ' "$dest/pyproject.toml" || {
    echo "debian-source: no license expression to restate in $dest/pyproject.toml" >&2
    exit 1
  }
fi
