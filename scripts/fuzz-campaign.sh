#!/usr/bin/env bash
# A long local fuzzing campaign: every target (or those named) for an hour
# each by default, three at a time, then the lines and branches covered per
# source file by each target's corpus. A finding does not end a target's run:
# it goes on for its whole time and every input that failed is kept as
# build/fuzz/runs/<target>/crash-* (leak-*, timeout-*, oom-*); the campaign
# fails at the end when there is any. Corpora grow in
# build/fuzz/runs/<target>/corpus across campaigns; copy inputs worth keeping
# (findings, new coverage) to tests/fuzz/corpus/<target>/.
# Usage: scripts/fuzz-campaign.sh [seconds-per-target] [parallel] [-b build-jobs] [target...]
#   The first number is the seconds per target (default 3600), the second the
#   targets run at a time (default 3); target names may come anywhere among
#   them. -b: compile jobs of the builds (default: $CMAKE_BUILD_PARALLEL_LEVEL,
#   else every core).
set -euo pipefail
cd "$(dirname "$0")/.."
numbers=() targets=() build=()
while [ $# -gt 0 ]; do
  case $1 in
    -b) build=(-b "$2") ; shift 2 ;;
    -b*) build=(-b "${1#-b}") ; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *[!0-9]* | '') targets+=("$1"); shift ;;
    *) numbers+=("$1"); shift ;;
  esac
done
[ ${#numbers[@]} -le 2 ] || { echo "at most two numbers: seconds per target, parallel" >&2; exit 2; }
seconds=${numbers[0]:-3600}
jobs=${numbers[1]:-3}
coverage_build=()
[ ${#build[@]} -gt 0 ] && coverage_build=(-j "${build[1]}")
status=0
bash scripts/fuzz.sh -k -t "$seconds" -j "$jobs" "${build[@]}" "${targets[@]}" || status=$?
bash scripts/fuzz-coverage.sh "${coverage_build[@]}" "${targets[@]}"
exit $status
