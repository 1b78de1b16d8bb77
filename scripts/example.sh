#!/usr/bin/env bash
# Installs what is needed, builds the release preset and runs brek.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/bootstrap.sh"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target brek
"$root/build/release/app/brek" --version
