#!/usr/bin/env bash
# Cross-builds the armhf preset (32-bit ARM, hard float) and runs its whole ctest suite under
# qemu-arm: ctest starts every test binary through the emulator in the armhf sysroot, and the
# end-to-end tests start the armhf brek binary the same way. Server tests reach the PostgreSQL and
# MariaDB servers that run natively on loopback (scripts/test_servers.sh, the same variables as
# the native suite).
#
#   scripts/test_armhf.sh [CTEST_ARGUMENT...]   # e.g. -R drivers_ to run a part
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/bootstrap.sh" --arch armhf
jobs="$(nproc)"
cmake --preset armhf >/dev/null
cmake --build --preset armhf -j "$jobs"
ctest --preset armhf -j "$jobs" "$@"
