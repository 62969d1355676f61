#!/usr/bin/env bash
# Runs one test leg: prints its header line (interpreter, numpy, the
# pybind11 the module was built with, and the pool's workers where the
# get_nprocs shim of tests/shim sets them through SHIM_NPROCS), then
# VENV/bin/python ARGS... with that pybind11 version in QUADLITE_PYBIND11 for
# the tests of the cast error text.
# BUILD_DIR is the module's meson build directory, whose log names its
# pybind11, or a release build's build/dist-cpXY, whose build-info.txt does.
# Usage: tools/run-leg.sh VENV BUILD_DIR ARGS...
set -euo pipefail
venv=$1 builddir=$2
shift 2
python="$venv/bin/python"
if [ -f "$builddir/build-info.txt" ]; then
  pybind11=$(sed -n 's/^pybind11 //p' "$builddir/build-info.txt")
else
  pybind11=$(sed -n 's/^Message: pybind11 //p' "$builddir/meson-logs/meson-log.txt" 2>/dev/null |
             tail -n 1)
fi
if [ -z "$pybind11" ]; then
  echo "run-leg: no pybind11 version in $builddir" >&2
  exit 1
fi
versions=$("$python" -c '
import platform
try:
    import numpy
    numpy_version = numpy.__version__
except ImportError:
    numpy_version = "none"
print(f"{platform.python_implementation()} {platform.python_version()}, numpy {numpy_version}")')
workers=""
if [ -n "${SHIM_NPROCS:-}" ] && [[ "${LD_PRELOAD:-}" == *nprocs_shim* ]]; then
  pool=$((SHIM_NPROCS / 2 > 0 ? SHIM_NPROCS / 2 : 1))
  workers=", get_nprocs shim: $SHIM_NPROCS hardware threads, pool of $pool"
fi
echo "== leg: $versions, pybind11 $pybind11$workers"
QUADLITE_PYBIND11=$pybind11 exec "$python" "$@"
