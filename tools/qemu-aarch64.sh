#!/usr/bin/env bash
# Runs an aarch64 program under qemu-user, its libraries taken from
# QEMU_LD_PREFIX (the cross toolchain's by default). Debian 12 names the
# emulator qemu-aarch64-static, 13 qemu-aarch64.
set -euo pipefail
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64) ||
  { echo "qemu-aarch64: no qemu-user (tools/install-deps.sh cross)" >&2; exit 1; }
export QEMU_LD_PREFIX=${QEMU_LD_PREFIX:-/usr/aarch64-linux-gnu}
exec "$qemu" "$@"
