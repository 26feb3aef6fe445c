#!/usr/bin/env bash
# Builds the project and runs its main job: the server host program with the
# server control registered in the build's own component registry.
# Options are passed on to the program, e.g. --exit-after 5000 (stop after
# 5 s), --data-dir DIR (where settings.ini and users.con live). Pictures of
# every window come from the developer tool build/default/tools/twhostshots DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
build=build/default
export TW_COM_REGISTRY="${TW_COM_REGISTRY:-$PWD/$build/registry.ini}"
"$build/tools/twregsvr" "$build/server/twParleySrv_free.so"
exec "$build/host/twParleySrv" "$@"
