#!/usr/bin/env bash
# Builds the project with warnings as errors and runs every test.
# Usage: scripts/test.sh [preset]   (preset: ci (default) or asan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-ci}"
bash scripts/setup-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
