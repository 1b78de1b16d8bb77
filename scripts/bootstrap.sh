#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the example need (skipping those
# already installed; Chromium loads the docs page in its browser test), then fetches DuckDB and
# the docs page's graph library. Run as root on Debian 12.
#
#   scripts/bootstrap.sh               # the native (x86-64) build
#   scripts/bootstrap.sh --arch armhf  # also the 32-bit ARM cross build: Debian's cross compiler
#                                      # and qemu-arm, an armhf sysroot, DuckDB for armhf
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch=native
if [[ "${1:-}" == "--arch" && "${2:-}" == "armhf" ]]; then
  arch=armhf
elif [[ -n "${1:-}" ]]; then
  echo "usage: $0 [--arch armhf]" >&2
  exit 2
fi
packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libre2-dev libssl-dev
  libpq-dev libmariadb-dev libsqlite3-dev libcli11-dev sqlite3
  unixodbc-dev odbc-postgresql odbc-mariadb libsqliteodbc
  libcurl4-openssl-dev curl
  postgresql mariadb-server clickhouse-server
  chromium
)
# The libraries among them (the -dev packages) are also what the armhf sysroot holds, with the
# ODBC drivers the ODBC tests load (the driver manager of the armhf tests finds them by the names
# of the host's odbcinst.ini, in the sysroot's driver folder).
libraries=()
for p in "${packages[@]}"; do
  if [[ "$p" == *-dev || "$p" == odbc-* || "$p" == libsqliteodbc ]]; then libraries+=("$p"); fi
done
if [[ "$arch" == armhf ]]; then packages+=(g++-arm-linux-gnueabihf qemu-user); fi
missing=()
# npm comes with some Node.js builds (whose nodejs package conflicts with Debian's npm); ask
# Debian for it only when there is no npm at all.
command -v npm >/dev/null 2>&1 || packages+=(npm)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
"$root/scripts/fetch_duckdb.sh"
"$root/scripts/fetch_cytoscape.sh"
if [[ "$arch" == armhf ]]; then
  "$root/scripts/armhf_sysroot.sh" "${libraries[@]}"
  "$root/scripts/fetch_duckdb.sh" --arch armhf
fi
