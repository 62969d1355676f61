#!/usr/bin/env bash
# Installs the Debian packages a group of make targets needs, when missing.
# Usage: tools/install-deps.sh [build|bench|fuzz|memcheck]...
set -euo pipefail

build_pkgs=(g++ make pkg-config meson ninja-build python3-dev python3-venv python3-pip
            python3-mesonpy pybind11-dev python3-numpy python3-pytest python3-hypothesis
            libgtest-dev libbenchmark-dev)
bench_pkgs=(python3-pil python3-opencv python3-matplotlib)
fuzz_pkgs=(clang libclang-rt-14-dev)
memcheck_pkgs=(valgrind)

wanted=()
for group in "${@:-build}"; do
  case "$group" in
    build) wanted+=("${build_pkgs[@]}") ;;
    bench) wanted+=("${bench_pkgs[@]}") ;;
    fuzz) wanted+=("${fuzz_pkgs[@]}") ;;
    memcheck) wanted+=("${memcheck_pkgs[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
