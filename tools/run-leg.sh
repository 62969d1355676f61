#!/usr/bin/env bash
# Runs one test leg: prints its header line (interpreter, numpy, the CPU, the
# compiler and pybind11 the module was built with, and the pool's workers
# where the get_nprocs shim of tests/shim sets them through SHIM_NPROCS), then
# VENV/bin/python ARGS... with that pybind11 version in QUADLITE_PYBIND11 for
# the tests of the cast error text. With --in TREE the interpreter runs
# inside that Debian tree (tools/in-tree.sh).
# BUILD_DIR is the module's meson build directory, whose log names its
# pybind11 and compiler, or a release build's build/dist-cpXY, whose
# build-info.txt does.
# Usage: tools/run-leg.sh [--in TREE] VENV BUILD_DIR ARGS...
set -euo pipefail
wrap=()
if [ "${1:-}" = "--in" ]; then
  wrap=("$(dirname "$0")/in-tree.sh" "$2")
  shift 2
fi
venv=$1 builddir=$2
shift 2
python="$venv/bin/python"

# What the module for machine $2 was built with, from build $1:
# "PYBIND11|COMPILER".
build_facts() {
  local info="$1/build-info.txt" log="$1/meson-logs/meson-log.txt" pybind11 compiler
  if [ -f "$info" ]; then
    pybind11=$(sed -n 's/^pybind11 //p' "$info")
    compiler=$(sed -n "s/^toolchain $2: //p" "$info")
  else
    pybind11=$(sed -n 's/^Message: pybind11 //p' "$log" 2>/dev/null | tail -n 1)
    compiler=$(sed -n 's/^C++ compiler for the host machine: [^ ]* (\([^ ]* [^ ]*\) .*/\1/p' \
               "$log" 2>/dev/null | tail -n 1)
  fi
  if [ -z "$pybind11" ]; then
    echo "run-leg: no pybind11 version in $1" >&2
    return 1
  fi
  echo "$pybind11|${compiler:-unknown compiler}"
}

machine=$("${wrap[@]}" "$python" -c 'import platform; print(platform.machine())')
facts=$(build_facts "$builddir" "$machine")
pybind11=${facts%%|*} compiler=${facts#*|}

versions=$("${wrap[@]}" "$python" -c '
import platform
try:
    import numpy
    numpy_version = numpy.__version__
except ImportError:
    numpy_version = "none"
print(f"{platform.python_implementation()} {platform.python_version()}, numpy {numpy_version}, "
      f"{platform.machine()}")')
workers=""
if [ -n "${SHIM_NPROCS:-}" ] && [[ "${LD_PRELOAD:-}" == *nprocs_shim* ]]; then
  pool=$((SHIM_NPROCS / 2 > 0 ? SHIM_NPROCS / 2 : 1))
  workers=", get_nprocs shim: $SHIM_NPROCS hardware threads, pool of $pool"
fi
echo "== leg: $versions, built by $compiler with pybind11 $pybind11$workers"
QUADLITE_PYBIND11=$pybind11 exec "${wrap[@]}" "$python" "$@"
