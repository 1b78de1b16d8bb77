#!/usr/bin/env bash
# Fetches the prebuilt DuckDB 1.4.4 library and its C header from the npm registry into
# third_party/duckdb/{lib,include}. Idempotent: does nothing when both files are present and
# their recorded hashes match. Needs npm and tar.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/third_party/duckdb"
lib_pkg="@duckdb/node-bindings-linux-x64@1.4.4-r.4"
lib_integrity="sha512-jBTL/WvfwxLToFa/pVHfT6elMtltJGnc3wSuxZD9OfMltit9YUdVFS37vBFQzXMT1Z8OWjtSjMh+zPKxOwHLHA=="
hdr_pkg="duckdb@1.4.4"
hdr_integrity="sha512-hEJJ5hyVF0VLj3dmOLpsWrQR0b3d4Ykqtygm6iUXjHJDDnSqg/USKxcb5qvNrOhFYPgktayU6dXCtgPqcmmpog=="
stamp="$dest/.fetched-1.4.4-r.4"

if [[ -f "$stamp" && -f "$dest/lib/libduckdb.so" && -f "$dest/include/duckdb.h" ]]; then
  echo "DuckDB already in $dest"
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "error: npm is needed to fetch DuckDB (apt-get install -y npm), or set DUCKDB_ROOT" >&2
  exit 1
fi

integrity_of() {  # sha512 integrity string of a file, in npm's format
  printf 'sha512-%s' "$(openssl dgst -sha512 -binary "$1" | base64 -w0)"
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$lib_pkg" "$hdr_pkg" >/dev/null)
lib_tgz="$work/duckdb-node-bindings-linux-x64-1.4.4-r.4.tgz"
hdr_tgz="$work/duckdb-1.4.4.tgz"
for pair in "$lib_tgz|$lib_integrity" "$hdr_tgz|$hdr_integrity"; do
  file="${pair%%|*}"; want="${pair#*|}"
  got="$(integrity_of "$file")"
  if [[ "$got" != "$want" ]]; then
    echo "error: integrity mismatch for $(basename "$file"): got $got" >&2
    exit 1
  fi
done
mkdir -p "$dest/lib" "$dest/include"
tar -xzf "$lib_tgz" -C "$work" package/libduckdb.so
cp "$work/package/libduckdb.so" "$dest/lib/"
rm -rf "$work/package"
tar -xzf "$hdr_tgz" -C "$work" package/src/duckdb/src/include/duckdb.h
cp "$work/package/src/duckdb/src/include/duckdb.h" "$dest/include/"
touch "$stamp"
echo "DuckDB 1.4.4 fetched into $dest"
