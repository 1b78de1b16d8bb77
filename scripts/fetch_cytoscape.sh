#!/usr/bin/env bash
# Fetches the graph library of the docs page, Cytoscape.js 3.35.0, from the npm registry into
# third_party/cytoscape/ (its minified build and its licence). The build embeds it into every
# generated target/index.html, so the page works offline. Idempotent: does nothing when the files
# are present. Needs npm, openssl and tar.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/third_party/cytoscape"
pkg="cytoscape@3.35.0"
integrity="sha512-sMvBIXiGMnhkCaWz2R06FwF/27MNlS+Tqvi17foO9UhnUg3XGZccKjxsvEqQFAQYMSSZmN5SxYzUYlQ0DOJJ3g=="
stamp="$dest/.fetched-3.35.0"

if [[ -f "$stamp" && -f "$dest/cytoscape.min.js" ]]; then
  echo "Cytoscape.js already in $dest"
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "error: npm is needed to fetch Cytoscape.js (apt-get install -y npm)" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$pkg" >/dev/null)
tgz="$work/cytoscape-3.35.0.tgz"
got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
if [[ "$got" != "$integrity" ]]; then
  echo "error: integrity mismatch for $(basename "$tgz"): got $got" >&2
  exit 1
fi
tar -xzf "$tgz" -C "$work" package/dist/cytoscape.min.js package/LICENSE
mkdir -p "$dest"
cp "$work/package/dist/cytoscape.min.js" "$work/package/LICENSE" "$dest/"
touch "$stamp"
echo "Cytoscape.js 3.35.0 fetched into $dest"
