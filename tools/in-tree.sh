#!/usr/bin/env bash
# Runs COMMAND... as root inside the Debian tree DIR (tools/debian-tree.sh),
# in the current directory: the repository is mounted at its own path in the
# tree, with /proc, /sys and /dev, in a mount namespace of its own, so nothing
# stays mounted afterwards.
# Usage: tools/in-tree.sh DIR COMMAND...
set -euo pipefail
tree=$(realpath "$1")
shift
repo=$(realpath "$(dirname "$0")/..")
exec unshare --mount --propagation private -- /bin/bash -c '
  set -e
  tree=$1 repo=$2 here=$3
  shift 3
  mkdir -p "$tree$repo"
  mount --bind "$repo" "$tree$repo"
  mount -t proc proc "$tree/proc"
  mount --rbind /sys "$tree/sys"
  mount --rbind /dev "$tree/dev"
  exec chroot "$tree" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$here" "$@"
' in-tree "$tree" "$repo" "$PWD" "$@"
