#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the example need (skipping those
# already installed; Chromium loads the docs page in its browser test), then fetches DuckDB and
# the docs page's graph library. Run as root on Debian 12.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libre2-dev libssl-dev
  libpq-dev libmariadb-dev libsqlite3-dev libcli11-dev sqlite3
  postgresql mariadb-server
  chromium
)
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
