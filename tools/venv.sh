#!/usr/bin/env bash
# Makes DIR a virtual environment of PYTHON with the given venv options, anew
# when it was made from another interpreter or with other options (as an
# older checkout's .venv was).
# Usage: tools/venv.sh DIR PYTHON [venv options...]
set -euo pipefail
dir=$1 python=$2
shift 2
made_from="$python $*"
if [ -x "$dir/bin/python" ] && [ "$(cat "$dir/.made-from" 2>/dev/null)" = "$made_from" ]; then
  exit 0
fi
if [ ! -x "$python" ]; then
  echo "$python not found (pyenv's CPython: pyenv install 3.12.1 3.13.0)" >&2
  exit 1
fi
rm -rf "$dir"
"$python" -m venv "$@" "$dir"
echo "$made_from" > "$dir/.made-from"
