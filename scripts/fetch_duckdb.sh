#!/usr/bin/env bash
# Puts DuckDB 1.4.4 (libduckdb.so and its C header) into third_party/duckdb{,-armhf}/{lib,include}.
#
#   scripts/fetch_duckdb.sh                # x86-64: the official prebuilt library from npm
#   scripts/fetch_duckdb.sh --arch armhf   # 32-bit ARM: a prebuilt copy, else built from source
#
# x86-64 fetches the official library and header with `npm pack` and checks their pinned hashes.
# DuckDB publishes no armhf library: --arch armhf copies the one in $ZYL_DUCKDB_ARMHF_DIR
# (default ../shared/duckdb-armhf beside the repository) when it is there and its pinned hashes
# match, and otherwise cross-compiles the pinned source of npm's duckdb@1.4.4 (about 28 minutes
# on 2 cores; needs arm-linux-gnueabihf-g++). Idempotent: does nothing when the files are present
# and stamped. Needs npm, tar and openssl.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch=x86_64
if [[ "${1:-}" == "--arch" ]]; then
  arch="${2:?--arch needs a value}"
elif [[ -n "${1:-}" ]]; then
  echo "usage: $0 [--arch x86_64|armhf]" >&2
  exit 2
fi

lib_pkg="@duckdb/node-bindings-linux-x64@1.4.4-r.4"
lib_integrity="sha512-jBTL/WvfwxLToFa/pVHfT6elMtltJGnc3wSuxZD9OfMltit9YUdVFS37vBFQzXMT1Z8OWjtSjMh+zPKxOwHLHA=="
src_pkg="duckdb@1.4.4"
src_integrity="sha512-hEJJ5hyVF0VLj3dmOLpsWrQR0b3d4Ykqtygm6iUXjHJDDnSqg/USKxcb5qvNrOhFYPgktayU6dXCtgPqcmmpog=="
armhf_lib_sha256="7c721d4e23a369b4b9197003b588992413f81f60a6769153936eb30429e9bf95"
header_sha256="cbe6a827284375c5a646b8f27dbd3a00808ce8738b5bbb49c190cb1e08540281"

case "$arch" in
  x86_64) dest="$root/third_party/duckdb"; stamp="$dest/.fetched-1.4.4-r.4" ;;
  armhf) dest="$root/third_party/duckdb-armhf"; stamp="$dest/.fetched-1.4.4-armhf" ;;
  *) echo "error: unknown architecture '$arch' (x86_64 or armhf)" >&2; exit 2 ;;
esac
if [[ -f "$stamp" && -f "$dest/lib/libduckdb.so" && -f "$dest/include/duckdb.h" ]]; then
  echo "DuckDB already in $dest"
  exit 0
fi

integrity_of() {  # sha512 integrity string of a file, in npm's format
  printf 'sha512-%s' "$(openssl dgst -sha512 -binary "$1" | base64 -w0)"
}
sha256_of() { sha256sum "$1" | cut -d' ' -f1; }
check() {  # check FILE GOT WANT
  if [[ "$2" != "$3" ]]; then
    echo "error: hash mismatch for $1: got $2, want $3" >&2
    exit 1
  fi
}
need_npm() {
  command -v npm >/dev/null 2>&1 && return 0
  echo "error: npm is needed to fetch DuckDB (apt-get install -y npm), or set DUCKDB_ROOT" >&2
  exit 1
}
install_files() {  # install_files LIB HEADER
  mkdir -p "$dest/lib" "$dest/include"
  install -m 0755 "$1" "$dest/lib/libduckdb.so"
  install -m 0644 "$2" "$dest/include/duckdb.h"
  touch "$stamp"
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The source package: it holds the header of every architecture and the armhf build's source.
fetch_source() {
  need_npm
  (cd "$work" && npm pack --silent "$src_pkg" >/dev/null)
  src_tgz="$work/duckdb-1.4.4.tgz"
  check "$(basename "$src_tgz")" "$(integrity_of "$src_tgz")" "$src_integrity"
}

fetch_x86_64() {
  fetch_source
  (cd "$work" && npm pack --silent "$lib_pkg" >/dev/null)
  local lib_tgz="$work/duckdb-node-bindings-linux-x64-1.4.4-r.4.tgz"
  check "$(basename "$lib_tgz")" "$(integrity_of "$lib_tgz")" "$lib_integrity"
  tar -xzf "$lib_tgz" -C "$work" package/libduckdb.so
  mv "$work/package/libduckdb.so" "$work/libduckdb.so"
  tar -xzf "$src_tgz" -C "$work" package/src/duckdb/src/include/duckdb.h
  install_files "$work/libduckdb.so" "$work/package/src/duckdb/src/include/duckdb.h"
}

# A prebuilt armhf copy, used only when both files have the pinned hashes.
prebuilt_armhf() {
  local dir="${ZYL_DUCKDB_ARMHF_DIR:-$root/../shared/duckdb-armhf}"
  [[ -f "$dir/libduckdb.so" && -f "$dir/duckdb.h" ]] || return 1
  check "$dir/libduckdb.so" "$(sha256_of "$dir/libduckdb.so")" "$armhf_lib_sha256"
  check "$dir/duckdb.h" "$(sha256_of "$dir/duckdb.h")" "$header_sha256"
  install_files "$dir/libduckdb.so" "$dir/duckdb.h"
  echo "DuckDB 1.4.4 for armhf copied from $dir into $dest"
}

# Cross-compiles the unity sources of the npm source package with the built-in extensions that
# the x86-64 library links (json, parquet, icu, core_functions), with 64-bit time and offsets.
build_armhf() {
  command -v arm-linux-gnueabihf-g++ >/dev/null ||
    { echo "error: arm-linux-gnueabihf-g++ is needed (bootstrap.sh --arch armhf)" >&2; exit 1; }
  fetch_source
  echo "Building DuckDB 1.4.4 for armhf from source (about 28 minutes on 2 cores)"
  tar -xzf "$src_tgz" -C "$work"
  local here="$root/scripts/duckdb-armhf" src="$work/package"
  local flags
  flags="$(cat "$here/flags.txt") -O2 -fPIC -std=c++11 -frtti -fexceptions -w"
  flags+=" -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
  mkdir -p "$src/obj"
  (cd "$src" && xargs -P "$(nproc)" -I{} sh -c \
    'arm-linux-gnueabihf-g++ '"$flags"' -c {} -o obj/$(echo {} | tr / _).o' <"$here/sources.txt")
  arm-linux-gnueabihf-g++ -shared -Wl,-soname,libduckdb.so -o "$work/libduckdb.unstripped.so" \
    "$src"/obj/*.o -lpthread -ldl
  arm-linux-gnueabihf-strip -o "$work/libduckdb.so" "$work/libduckdb.unstripped.so"
  local header="$src/src/duckdb/src/include/duckdb.h"
  check "duckdb.h" "$(sha256_of "$header")" "$header_sha256"
  install_files "$work/libduckdb.so" "$header"
  echo "DuckDB 1.4.4 for armhf built into $dest"
}

case "$arch" in
  x86_64) fetch_x86_64; echo "DuckDB 1.4.4 fetched into $dest" ;;
  armhf) prebuilt_armhf || build_armhf ;;
esac
