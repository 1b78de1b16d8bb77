#!/usr/bin/env bash
# Builds the release tarball of brek for one architecture:
#
#   scripts/package.sh [--arch x86_64|armhf]   # default x86_64
#
# makes dist/brek-<version>-linux-<arch>.tar.gz holding brek-<version>-linux-<arch>/ with
# bin/brek, lib/libduckdb.so (found through brek's rpath $ORIGIN/../lib) and a README that lists
# the Debian 12 packages brek needs at run time. x86-64 builds the release preset, armhf the armhf
# preset (cross-built; scripts/bootstrap.sh --arch armhf installs what it needs).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
arch=x86_64
if [[ "${1:-}" == "--arch" ]]; then arch="${2:?--arch needs a value}"; fi
case "$arch" in
  x86_64) preset=release; readelf=readelf ;;
  armhf) preset=armhf; readelf=arm-linux-gnueabihf-readelf ;;
  *) echo "usage: $0 [--arch x86_64|armhf]" >&2; exit 2 ;;
esac
version="$(sed -n 's/^project(zyl VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
name="brek-$version-linux-$arch"
stage="$root/build/package/$name"

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target brek
rm -rf "$stage"
cmake --install "build/$preset" --prefix "$stage" >/dev/null
"${readelf}" -d "$stage/bin/brek" | grep -q 'R.*PATH.*\[\$ORIGIN/../lib\]' ||
  { echo "error: bin/brek has no rpath \$ORIGIN/../lib" >&2; exit 1; }

# The package that holds a shared library: from the armhf sysroot's file lists, or dpkg natively.
package_of() {
  if [[ "$arch" == armhf ]]; then
    local sysroot="${ZYL_ARMHF_SYSROOT:-$root/third_party/armhf-sysroot}"
    awk -v name="/$1" 'substr($0, length($0) - length(name) + 1) == name {
      n = split(FILENAME, part, "/"); sub(/\.list$/, "", part[n]); print part[n]; exit }' \
      "$sysroot"/.zyl-files/*.list
  else
    dpkg -S "/lib/x86_64-linux-gnu/$1" "/usr/lib/x86_64-linux-gnu/$1" 2>/dev/null |
      head -n 1 | cut -d: -f1
  fi
}
runtime_packages() {
  local soname package
  for soname in $("${readelf}" -d "$stage/bin/brek" "$stage/lib/libduckdb.so" |
                    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
    [[ "$soname" == libduckdb.so ]] && continue
    package="$(package_of "$soname")"
    [[ -n "$package" ]] || { echo "error: no package holds $soname" >&2; exit 1; }
    echo "$package"
  done | sort -u
}
packages="$(runtime_packages | tr '\n' ' ')"
cat >"$stage/README" <<README
brek $version for Linux $arch (Debian 12 "bookworm")

  bin/brek            the brek command line (run, ls, compile, retract, sync, debug, ...)
  lib/libduckdb.so    DuckDB 1.4.4, found by brek through its rpath (\$ORIGIN/../lib)

It runs from wherever this directory is unpacked. It needs these Debian 12 packages:

  apt-get install ${packages% }

Try it: bin/brek --help
README
mkdir -p "$root/dist"
tar -C "$(dirname "$stage")" -czf "$root/dist/$name.tar.gz" "$name"
echo "$root/dist/$name.tar.gz: ${packages% }"
