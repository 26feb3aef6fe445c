#!/usr/bin/env bash
# Fetches the natural photographs the video benchmark codes: the sample
# photographs a Debian package ships in its data folder. Benchmarks only: the
# tests never need them. Usage: scripts/fetch-bench-photos.sh [DEST]
# (default build/bench-photos). Does nothing when they are already there.
set -euo pipefail
cd "$(dirname "$0")/.."
dest="${1:-build/bench-photos}"
photos=(astronaut.png chelsea.png coffee.png motorcycle_left.png motorcycle_right.png hubble_deep_field.jpg)
missing=0
for p in "${photos[@]}"; do [[ -f "$dest/$p" ]] || missing=1; done
[[ $missing == 0 ]] && exit 0
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download python3-skimage >/dev/null)
dpkg-deb -x "$work"/python3-skimage_*.deb "$work/x"
mkdir -p "$dest"
for p in "${photos[@]}"; do cp "$work/x/usr/lib/python3/dist-packages/skimage/data/$p" "$dest/"; done
echo "photographs in $dest"
