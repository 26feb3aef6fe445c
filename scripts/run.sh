#!/usr/bin/env bash
# Builds what the server host program needs (the program, the server control
# library and twregsvr, not the tests and benchmarks) and runs it with the
# control registered in the build's own component registry. settings.ini and
# users.con live beside the program, in build/default/host/.
# Options are passed on to the program, e.g. --exit-after 5000 (stop after
# 5 s), --data-dir DIR (where settings.ini and users.con live). Pictures of
# every window come from the developer tool twhostshots (build it with
# cmake --build --preset default --target twhostshots, run tools/twhostshots DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target twParleySrv twParleySrv_free twregsvr
build=build/default
export TW_COM_REGISTRY="${TW_COM_REGISTRY:-$PWD/$build/registry.ini}"
"$build/tools/twregsvr" "$build/server/twParleySrv_free.so"
exec "$build/host/twParleySrv" "$@"
