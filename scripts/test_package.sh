#!/usr/bin/env bash
# Unpacks a release tarball from scripts/package.sh and runs the example project with its brek
# (scripts/example.sh: both runs, the second incremental). An armhf tarball runs under qemu-arm in
# a sysroot of only the Debian armhf packages its README lists, so a package missing from that
# list fails here as it would on a user's machine.
#
#   scripts/test_package.sh dist/brek-<version>-linux-armhf.tar.gz
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tarball="$(realpath "${1:?usage: $0 TARBALL}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tar -xzf "$tarball" -C "$work"
dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'brek-*')"
read -r -a packages <<<"$(sed -n 's/^  apt-get install //p' "$dir/README")"
((${#packages[@]})) || { echo "error: the README lists no packages" >&2; exit 1; }
case "$tarball" in
  *-linux-armhf.tar.gz)
    ZYL_ARMHF_SYSROOT="$work/runtime" "$root/scripts/armhf_sysroot.sh" --only "${packages[@]}"
    brek="$(command -v qemu-arm) -L $work/runtime $dir/bin/brek" ;;
  *) brek="$dir/bin/brek" ;;
esac
BREK="$brek" "$root/scripts/example.sh"
reporting="$root/examples/shop/data/reporting.sqlite"
rows="$(sqlite3 "$reporting" "SELECT count(*) FROM revenue_by_country")"
[[ "$rows" -gt 0 ]] || { echo "error: the example left revenue_by_country empty" >&2; exit 1; }
echo "$(basename "$tarball"): the example project ran ($rows countries in revenue_by_country)"
