#!/usr/bin/env bash
# Runs every libFuzzer target of the `fuzz` preset (clang, ASan + UBSan,
# instrumented libraries) for a fixed time each, a few at a time, and fails
# when any of them reports a crash, a leak, a sanitizer error or a time-out.
# Each target starts from its seed corpus tests/fuzz/corpus/<target>/; what it
# finds goes to build/fuzz/runs/<target>/ (corpus, log, crash inputs).
#
# Usage: scripts/fuzz.sh [-t seconds-per-target] [-j parallel] [target...]
# Defaults: 20 s per target, 3 at a time: the CI pass takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20 jobs=3
while getopts "t:j:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))

bash scripts/setup-fuzz-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

root=$PWD
bin=build/fuzz/fuzz
runs=build/fuzz/runs
targets=("$@")
[ ${#targets[@]} -eq 0 ] && mapfile -t targets < <(ls "$bin")

run_one() {  # target seconds
  local t=$1 dir=$runs/$1
  mkdir -p "$dir/corpus"
  local seeds=$root/tests/fuzz/corpus/$t
  [ -d "$seeds" ] || { echo "$t: no seed corpus at $seeds"; return 1; }
  cp "$bin/$t" "$dir/$t"  # a rebuild meanwhile does not touch the running copy
  if ! "$dir/$t" -max_total_time="$2" -timeout=20 -rss_limit_mb=2560 -max_len=8192 -print_final_stats=1 \
       -artifact_prefix="$dir/" "$dir/corpus" "$seeds" >"$dir/log" 2>&1; then
    echo "FAIL $t (log: $dir/log)"
    grep -E "ERROR|SUMMARY|check failed" "$dir/log" | head -5
    return 1
  fi
  local execs
  execs=$(grep -o "stat::number_of_executed_units: *[0-9]*" "$dir/log" | grep -o "[0-9]*$")
  echo "ok   $t: $execs executions, $(grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | grep -o 'cov: [0-9]*')"
}
export -f run_one
export bin runs root

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
mkdir -p "$runs"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c "run_one {} $seconds" >"$summary" 2>&1 \
  || { cat "$summary"; echo "fuzzing found problems"; exit 1; }
cat "$summary"
