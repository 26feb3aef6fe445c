#!/usr/bin/env bash
# A long local fuzzing campaign: every target (or those named) for an hour
# each by default, three at a time, then the lines and branches covered per
# source file by each target's corpus. Corpora grow in
# build/fuzz/runs/<target>/corpus across campaigns; copy inputs worth keeping
# (findings, new coverage) to tests/fuzz/corpus/<target>/.
# Usage: scripts/fuzz-campaign.sh [seconds-per-target] [parallel] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
jobs=${2:-3}
shift $(( $# < 2 ? $# : 2 ))
status=0
bash scripts/fuzz.sh -t "$seconds" -j "$jobs" "$@" || status=$?
bash scripts/fuzz-coverage.sh "$@"
exit $status
