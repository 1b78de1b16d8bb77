#!/usr/bin/env bash
# Makes the armhf sysroot that the cross build links against and qemu-arm runs in: Debian 12's
# armhf builds of the given -dev packages, their run-time dependencies, libc and libstdc++, each
# unpacked with `dpkg-deb -x` into one directory. apt resolves and downloads with a private state
# under the sysroot, so the host's dpkg database stays as it is and the host needs no foreign
# architecture (a co-installed libpq-dev:armhf would remove libpq-dev:amd64).
#
#   scripts/armhf_sysroot.sh PACKAGE...          # these, with libc6-dev and libstdc++-12-dev
#   scripts/armhf_sysroot.sh --only PACKAGE...   # exactly these (and what they depend on)
#
# scripts/bootstrap.sh --arch armhf passes its -dev packages.
# The sysroot goes to $ZYL_ARMHF_SYSROOT (default third_party/armhf-sysroot). Idempotent: does
# nothing when the sysroot was made from the same package list. Needs apt-get and dpkg-deb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
sysroot="${ZYL_ARMHF_SYSROOT:-$root/third_party/armhf-sysroot}"
if [[ "${1:-}" == "--only" ]]; then
  shift
  wanted=("$@")
else
  wanted=(libc6-dev libstdc++-12-dev "$@")
fi
stamp="$sysroot/.zyl-packages"
if [[ -f "$stamp" && "$(cat "$stamp")" == "${wanted[*]}" ]]; then
  echo "armhf sysroot already in $sysroot"
  exit 0
fi

state="$sysroot.apt"  # apt's lists, cache and an empty dpkg status, beside the sysroot
rm -rf "$sysroot" "$state"
mkdir -p "$state/lists/partial" "$state/archives/partial" "$sysroot"
: >"$state/status"
apt_options=(
  -o APT::Architecture=armhf -o APT::Architectures=armhf
  -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
  -o Dir::Cache="$state" -o Dir::Cache::archives="$state/archives"
  -o Debug::NoLocking=1 -o APT::Install-Recommends=0 -o APT::Get::Assume-Yes=1
)
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves some index files with the wrong size. The sysroot only
# needs to agree with itself, so a failed index (bookworm-security, say) is retried and then left
# out: its packages come from the other suites.
for attempt in 1 2 3; do
  apt-get "${apt_options[@]}" update -qq && break
  echo "warning: apt-get update failed (attempt $attempt)" >&2
done
if ! compgen -G "$state/lists/*_binary-armhf_Packages*" >/dev/null; then
  echo "error: no armhf package index could be downloaded" >&2
  exit 1
fi
# With an empty status every dependency is missing, so this downloads the whole closure.
apt-get "${apt_options[@]}" install --download-only -qq "${wanted[@]}" >/dev/null

mkdir -p "$sysroot/.zyl-files"
for deb in "$state"/archives/*.deb; do
  name="$(dpkg-deb -f "$deb" Package)"
  dpkg-deb -X "$deb" "$sysroot" >"$sysroot/.zyl-files/$name.list"
done
# Packages point symlinks at absolute paths (/lib/...); inside the sysroot they must stay inside.
find "$sysroot" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$(readlink "$link")")" "$link"
done
rm -rf "$state"
printf '%s\n' "${wanted[*]}" >"$stamp"
echo "armhf sysroot with $(ls "$sysroot/.zyl-files" | wc -l) packages in $sysroot"
