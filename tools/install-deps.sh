#!/usr/bin/env bash
# Installs the Debian packages a group of make targets needs, when missing.
# Usage: tools/install-deps.sh [build|bench|fuzz|memcheck|trees|cross]...
#
# A name "a|b" takes the first of a and b that this release offers; a name
# with CLANG in it takes the version of the compiler that the `clang` package
# stands for (clang-14's runtime on Debian 12, clang-19's on 13). Nothing is
# asked of apt when everything is installed already.
set -euo pipefail

# Debian's own interpreter, numpy, pybind11 and meson-python make the
# distribution leg; meson, ninja and the C++ libraries build the native tests.
# CPython 3.12 comes from pyenv and its packages from PyPI (the Makefile).
build_pkgs=(g++ make pkg-config meson ninja-build python3-dev python3-venv
            python3-mesonpy pybind11-dev python3-numpy python3-pytest python3-hypothesis
            libgtest-dev libbenchmark-dev)
# The PNG copy of the benchmark chart (cairosvg draws with cairo).
bench_pkgs=("libcairo2|libcairo2t64" fonts-dejavu-core)
fuzz_pkgs=(clang libclang-rt-CLANG-dev)
memcheck_pkgs=(valgrind)
# Debian trees for the interpreters pyenv lacks and for aarch64, run under
# qemu-user; the cross compiler builds the C++ suites for aarch64.
trees_pkgs=(mmdebstrap "qemu-user-static|qemu-user")
cross_pkgs=(g++-aarch64-linux-gnu "qemu-user-static|qemu-user")

wanted=()
for group in "${@:-build}"; do
  case "$group" in
    build) wanted+=("${build_pkgs[@]}") ;;
    bench) wanted+=("${bench_pkgs[@]}") ;;
    fuzz) wanted+=("${fuzz_pkgs[@]}") ;;
    memcheck) wanted+=("${memcheck_pkgs[@]}") ;;
    trees) wanted+=("${trees_pkgs[@]}") ;;
    cross) wanted+=("${cross_pkgs[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

offered() {
  local policy
  policy=$(apt-cache policy "$1" 2>/dev/null)
  [[ $policy =~ Candidate:\ [^\(] ]]
}

# The major version of clang that the `clang` package depends on: from the
# installed package, else from what apt offers.
clang_major() {
  local depends=""
  if installed clang; then
    depends=$(dpkg-query -W -f='${Depends}' clang)
  else
    depends=$(apt-cache depends clang 2>/dev/null || true)
  fi
  if [[ $depends =~ clang-([0-9]+) ]]; then echo "${BASH_REMATCH[1]}"; fi
}

# Prints the packages of "${wanted[@]}" still to install, as this release
# names them; a name that cannot be resolved yet is printed as it is.
missing() {
  local name choice alternative major
  major=""
  for name in "${wanted[@]}"; do
    if [[ $name == *CLANG* ]]; then
      [ -n "$major" ] || major=$(clang_major)
      [ -n "$major" ] || { echo "$name"; continue; }
      name=${name//CLANG/$major}
      # Older releases keep the runtime inside libclang-common-N-dev.
      installed "$name" || ! offered "$name" || echo "$name"
      continue
    fi
    choice=""
    IFS='|' read -r -a alternatives <<<"$name"
    for alternative in "${alternatives[@]}"; do
      if installed "$alternative"; then choice=installed; break; fi
    done
    [ -z "$choice" ] || continue
    for alternative in "${alternatives[@]}"; do
      if offered "$alternative"; then choice=$alternative; break; fi
    done
    echo "${choice:-$name}"
  done
}

todo=$(missing)
[ -z "$todo" ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
mapfile -t todo < <(missing)  # names again, from fresh package lists
[ ${#todo[@]} -eq 0 ] && exit 0
echo "installing: ${todo[*]}"
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${todo[@]}"
