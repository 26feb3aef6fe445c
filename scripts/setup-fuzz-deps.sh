#!/usr/bin/env bash
# Installs what the clang libFuzzer build (the `fuzz` preset) needs on top of
# scripts/setup-deps.sh: clang with its sanitizer and libFuzzer runtimes, and
# llvm-cov/llvm-profdata for coverage reports. Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh

packages=(clang libclang-rt-dev llvm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
