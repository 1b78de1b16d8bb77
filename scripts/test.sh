#!/usr/bin/env bash
# Installs what is needed, builds the AddressSanitizer+UBSan preset and runs every test under it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/bootstrap.sh"
jobs="$(nproc)"
cmake --preset asan -DZYL_BUILD_BENCH=OFF >/dev/null
cmake --build --preset asan -j "$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp"
ctest --preset asan -j "$jobs"
