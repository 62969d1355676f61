#!/usr/bin/env bash
# Builds the extension module for one interpreter and machine against a
# render core built by meson (build/dist-core-ARCH): compiles the module's
# two files with the flags meson gives them in a release build and links
# them, hiding all but PyInit_quadlite. Prints the module's path.
#   x86_64   the machine's g++; libstdc++ linked in, libgcc_s (on every
#            manylinux system) left shared, and the glibc symbols newer than
#            2.28 wrapped by tools/toolchain/glibc228_compat.cpp;
#   aarch64  ZIG (the zig command) targeting aarch64-linux-gnu.2.28, libc++
#            linked in.
# Usage: tools/build-module.sh ARCH SRC COREDIR PYTHON_INCLUDE PYBIND11_INCLUDE TAG WORK ZIG...
set -euo pipefail
arch=$1 src=$2 core=$3 python_include=$4 pybind11_include=$5 tag=$6 work=$7
shift 7
zig=("$@")
mkdir -p "$work"
suffix=${tag/cp/cpython-}-$arch-linux-gnu.so
module=$work/quadlite.$suffix
flags=(-std=c++17 -O3 -DNDEBUG -D_FILE_OFFSET_BITS=64 -Wall -Wextra -ffp-contract=off
       -fno-fast-math -fPIC -pthread -fvisibility=hidden -DPYBIND11_HAS_SUBINTERPRETER_SUPPORT=0
       -I"$src/src" -I"$pybind11_include" -I"$python_include")
link=(-shared -Wl,--as-needed -Wl,--allow-shlib-undefined -s
      -Wl,--version-script="$src/src/module/exports.map"
      -Wl,--start-group "$core/src/render/libquadlite_render.a" "$core/src/pool/libquadlite_pool.a"
      -Wl,--end-group -pthread)
case $arch in
  x86_64)
    cxx=(g++)
    wrapped=(pthread_create pthread_join pthread_detach pthread_once pthread_key_create
             __pthread_key_create pthread_key_delete pthread_getspecific pthread_setspecific
             arc4random)
    g++ "${flags[@]}" -O2 -c tools/toolchain/glibc228_compat.cpp -o "$work/glibc228_compat.o"
    link+=(-Wl,-O1 "$work/glibc228_compat.o" -static-libstdc++ ${wrapped[@]/#/-Wl,--wrap=}
           -Wl,--no-as-needed "$(g++ -print-file-name=libpthread.so.0)")
    ;;
  aarch64)
    cxx=("${zig[@]}" c++ -target aarch64-linux-gnu.2.28)
    ;;
  *) echo "build-module: unknown machine $arch" >&2; exit 1 ;;
esac
"${cxx[@]}" "${flags[@]}" -c "$src/src/module/module.cpp" -o "$work/module.o" &
"${cxx[@]}" "${flags[@]}" -c "$src/src/module/intake.cpp" -o "$work/intake.o"
wait $!
"${cxx[@]}" -o "$module" "$work/module.o" "$work/intake.o" "${link[@]}"
echo "$module"
