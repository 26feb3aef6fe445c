#!/usr/bin/env bash
# Builds the project and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec ./build/default/tools/twdemo "$@"
