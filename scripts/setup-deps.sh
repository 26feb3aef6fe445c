#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev            # test oracle only: MD5, AES, Base64, big-number arithmetic
  qt6-base-dev          # the host program
  libasound2-dev        # ALSA sound devices
  dante-server          # a real SOCKS 4/5 proxy for the connect-path tests
  libturbojpeg0-dev libopus-dev   # reference codecs, benchmarks only
  libpng-dev            # reads the video benchmark's photographs
  espeak-ng sox         # speech test material
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
