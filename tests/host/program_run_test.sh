#!/bin/sh
# Runs the host program as its users do: the server control library
# registered in a fresh registry, a fresh data folder, off screen, ended
# after a moment. Passes when the server started and the program ended
# cleanly; a control that is not registered must be reported.
#   program_run_test.sh <twregsvr> <control library> <twParleySrv>
set -eu
regsvr=$1 library=$2 program=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export TW_COM_REGISTRY="$dir/registry.ini"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir "$dir/data"
# Port 0: the system chooses, so parallel runs never collide.
printf '[Options]\r\nPort=0\r\nServerAddress=127.0.0.1\r\n' > "$dir/data/settings.ini"

if "$program" --data-dir "$dir/data" --exit-after 200 > "$dir/out" 2> "$dir/err"; then
  echo "FAIL: started without a registered control"; exit 1
fi
grep -q 'could not be created' "$dir/err" || { echo "FAIL: no report of the missing control"; cat "$dir/err"; exit 1; }

"$regsvr" "$library"
"$program" --data-dir "$dir/data" --exit-after 300 > "$dir/out" || { echo "FAIL: exit code $?"; exit 1; }
cat "$dir/out"
grep -q ': server is started$' "$dir/out" || { echo "FAIL: the server did not start"; exit 1; }
grep -q '^Left=' "$dir/data/settings.ini" || { echo "FAIL: the window position was not saved"; exit 1; }
echo PASS
