#!/usr/bin/env bash
# Builds the project and runs the demonstration: the host's server control
# (headless) and two client controls, created by class id in the container
# program twdemo, log in, exchange messages, send a file and talk for a few
# seconds on the virtual microphone and the synthetic camera. Options go to
# twdemo: --out DIR (default build/default/twdemo-out), --talk-ms MS,
# --speech WAV.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target twdemo twregsvr
build=build/default
export TW_COM_REGISTRY="${TW_COM_REGISTRY:-$PWD/$build/registry.ini}"
"$build/tools/twregsvr" "$build/server/twParleySrv_free.so"
"$build/tools/twregsvr" "$build/client/twParleyCln_free.so"
# A later --out in the options wins.
exec "$build/tools/twdemo" --out "$build/twdemo-out" "$@"
