#!/usr/bin/env bash
# Makes DIR a venv of the aarch64 CPython PYTHON (e.g. python3.13) of the
# Debian tree TREE, run under qemu-user, with WHEEL unpacked into its
# site-packages (pip is not needed under emulation). DIR/bin/python starts
# the tree's interpreter with itself as argv[0], so that sys.executable, and
# the child interpreters the tests start, go through qemu too; the venv sees
# the tree's Debian packages (numpy, pytest, hypothesis).
# Usage: tools/qemu-venv.sh DIR TREE PYTHON WHEEL
set -euo pipefail
dir=$1 tree=$(realpath "$2") python=$3 wheel=$4
tools=$(realpath "$(dirname "$0")")
rm -rf "$dir"
mkdir -p "$dir/bin"
dir=$(realpath "$dir")
cat > "$dir/pyvenv.cfg" <<CFG
home = $tree/usr/bin
include-system-site-packages = true
version = ${python#python}
CFG
cat > "$dir/bin/python" <<SH
#!/bin/sh
QEMU_LD_PREFIX=$tree exec $tools/qemu-aarch64.sh -0 $dir/bin/python $tree/usr/bin/$python "\$@"
SH
chmod +x "$dir/bin/python"
site=$dir/lib/$python/site-packages
mkdir -p "$site"
python3 -m zipfile -e "$wheel" "$site"
