#!/usr/bin/env bash
# Makes DIR a minimal Debian tree of SUITE for ARCH holding PACKAGE..., once:
# DIR/.made-with records what it was made from, and a tree made from the same
# is kept (so a second `make test` fetches nothing). Packages come from the
# host's own mirror (read from its apt sources), whose Release files may be
# past their validity date. An amd64 tree gets the host's CA file, so that
# pip inside it reaches the index with the PIP_* settings the host passes on.
# A foreign tree is only unpacked (nothing in it can run natively to run
# maintainer scripts), and the merged-/usr links and the BLAS and LAPACK
# alternatives links those would make are made here.
# Usage: tools/debian-tree.sh DIR SUITE ARCH PACKAGE...
set -euo pipefail
dir=$1 suite=$2 arch=$3
shift 3
made_with="$suite $arch $*"
if [ -f "$dir/.made-with" ] && [ "$(cat "$dir/.made-with")" = "$made_with" ]; then
  exit 0
fi

# The first non-security archive of the host's apt sources (deb822 or one-line).
host_mirror() {
  { sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
    sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
  } | grep -v -e security -e '^$' | head -n 1
}
mirror=$(host_mirror || true)
[ -n "$mirror" ] || { echo "debian-tree: no mirror in the host's apt sources" >&2; exit 1; }

native=$(dpkg --print-architecture)
variant=minbase
[ "$arch" = "$native" ] || variant=extract
packages=$(IFS=,; echo "$*")

start=$SECONDS
rm -rf "$dir.new"
mkdir -p "$(dirname "$dir")"
mmdebstrap --quiet --variant=$variant --arch="$arch" --include="$packages" \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    "$suite" "$dir.new" "deb $mirror $suite main"
if [ "$arch" = "$native" ]; then
  cp /etc/ssl/certs/ca-certificates.crt "$dir.new/etc/ssl/certs/ca-certificates.crt"
else
  # The merged-/usr links, which an unpacked tree may lack.
  for top in bin sbin lib; do
    [ -e "$dir.new/$top" ] || ln -s "usr/$top" "$dir.new/$top"
  done
  triplet=$(ls "$dir.new/usr/lib" | grep -m 1 -- '-linux-gnu$')
  for lib in libblas.so.3 liblapack.so.3; do
    provider=$(ls "$dir.new/usr/lib/$triplet"/*/"$lib" 2>/dev/null | head -n 1)
    # relative: under qemu-user the host resolves the links
    [ -z "$provider" ] || ln -sfn "${provider#"$dir.new/usr/lib/$triplet/"}" "$dir.new/usr/lib/$triplet/$lib"
  done
fi
echo "$made_with" > "$dir.new/.made-with"
rm -rf "$dir"
mv "$dir.new" "$dir"
echo "debian-tree: $dir ($suite, $arch) made in $((SECONDS - start)) s"
