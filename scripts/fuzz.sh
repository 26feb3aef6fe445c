#!/usr/bin/env bash
# Runs every libFuzzer target of the `fuzz` preset (clang, ASan + UBSan,
# instrumented libraries) for a fixed time each, a few at a time, and fails
# when any of them reports a crash, a leak, a sanitizer error or a time-out.
# Each target starts from its seed corpus tests/fuzz/corpus/<target>/; what it
# finds goes to build/fuzz/runs/<target>/ (corpus, logs, and the inputs that
# failed: crash-*, leak-*, timeout-*, oom-*).
#
# A target's time is its whole run: every checked-in seed replays first, then
# the corpus grown by earlier runs replays and the fuzzing goes on in what is
# left; a grown corpus too large for the time is cut short, the seeds never.
#
# Usage: scripts/fuzz.sh [-t seconds-per-target] [-l target=seconds]... [-j parallel] [-b build-jobs] [-k] [target...]
#   -t  total seconds per target, replays included (default 20: the CI pass
#       takes a few minutes)
#   -l  another time for one target (repeatable); the longest runs start first
#   -j  targets run at a time (default 3)
#   -b  compile jobs of the build (default: $CMAKE_BUILD_PARALLEL_LEVEL, else
#       every core)
#   -k  keep going after a finding (libFuzzer -fork=1): the run goes on for its
#       whole time and keeps every finding; the script still fails at the end
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20 jobs=3 build_jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-} keep_going=0
declare -A own_seconds=()
while getopts "t:l:j:b:k" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    l) [[ $OPTARG =~ ^([A-Za-z0-9_]+)=([0-9]+)$ ]] || { echo "-l wants target=seconds, not $OPTARG" >&2; exit 2; }
       own_seconds[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]} ;;
    j) jobs=$OPTARG ;;
    b) build_jobs=$OPTARG ;;
    k) keep_going=1 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))

bash scripts/setup-fuzz-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz ${build_jobs:+--parallel "$build_jobs"}

root=$PWD
bin=build/fuzz/fuzz
runs=build/fuzz/runs
targets=("$@")
[ ${#targets[@]} -eq 0 ] && mapfile -t targets < <(ls "$bin")

# Inputs that made a target fail, saved since the marker file was touched.
new_findings() {  # dir marker
  find "$1" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) \
       -newer "$2" | sort
}

run_one() {  # target seconds
  local t=$1 dir=$runs/$1 start=$EPOCHSECONDS
  local seeds=$root/tests/fuzz/corpus/$t
  [ -d "$seeds" ] || { echo "$t: no seed corpus at $seeds"; return 1; }
  mkdir -p "$dir/corpus"
  cp "$bin/$t" "$dir/$t"  # a rebuild meanwhile does not touch the running copy
  touch "$dir/started"
  local limits=(-timeout=20 -rss_limit_mb=2560 -max_len=8192 -artifact_prefix="$dir/")
  # Every checked-in seed, whatever the grown corpus holds. A failing seed
  # ends the run unless it is to keep going.
  local seed_failed=0
  if ! "$dir/$t" "${limits[@]}" "$seeds"/* >"$dir/seeds.log" 2>&1; then
    echo "FAIL $t: a seed (log: $dir/seeds.log)"
    grep -E "ERROR|SUMMARY|check failed|Running:" "$dir/seeds.log" | tail -5
    [ "$keep_going" = 1 ] || return 1
    seed_failed=1
  fi
  # The fuzzing in the time left. libFuzzer's -max_total_time ends the fuzzing
  # loop (in whole seconds, a second late) but not the replay of the corpus
  # before it, so an interrupt a second after the time bounds the replay;
  # interrupted, libFuzzer still prints its statistics and keeps its corpus.
  local left=$(($2 - (EPOCHSECONDS - start))) status=0 note=""
  if [ "$left" -gt 0 ]; then
    local mode=()
    [ "$keep_going" = 1 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
    timeout -s INT -k 30 $((left + 1)) "$dir/$t" -max_total_time=$((left > 1 ? left - 1 : 1)) "${limits[@]}" "${mode[@]}" \
      -print_final_stats=1 "$dir/corpus" "$seeds" >"$dir/log" 2>&1 || status=$?
    if [ "$status" = 124 ]; then  # interrupted: a clean end, maybe still replaying
      status=0
      grep -qE "INITED|starting to fuzz" "$dir/log" || note=" (time ran out in the corpus replay)"
    fi
  else
    note=" (the seeds took the whole time)"
    : >"$dir/log"
  fi
  local findings
  findings=$(new_findings "$dir" "$dir/started")
  if [ "$status" != 0 ] || [ -n "$findings" ]; then
    echo "FAIL $t (log: $dir/log)"
    grep -E "ERROR|SUMMARY|check failed" "$dir/log" | sed 's/==[0-9]*== //' | sort | uniq -c | sort -rn | head -5
    if [ -n "$findings" ]; then
      echo "  $(echo "$findings" | wc -l) failing inputs kept, such as:"
      echo "$findings" | head -3 | sed 's/^/    /'
    fi
    return 1
  fi
  local execs cov
  execs=$(grep -o "stat::number_of_executed_units: *[0-9]*" "$dir/log" | grep -o "[0-9]*$" | tail -1)
  [ -n "$execs" ] || execs=$(grep -oE '^#[0-9]+' "$dir/log" | tail -1 | tr -d '#')
  cov=$(grep -oE '^#[0-9]+.*cov: [0-9]+' "$dir/log" | tail -1 | grep -o 'cov: [0-9]*')
  echo "ok   $t: ${execs:-0} executions, ${cov:-cov: -}, $((EPOCHSECONDS - start)) s$note"
  return $seed_failed
}
export -f run_one new_findings
export bin runs root keep_going

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
mkdir -p "$runs"
# One line per target with its time, the longest first, so that a long run
# does not start last and stretch the whole pass.
for t in "${targets[@]}"; do echo "${own_seconds[$t]:-$seconds} $t"; done | sort -rn -k1,1 \
  | xargs -P "$jobs" -L 1 bash -c 'run_one "$2" "$1"' _ >"$summary" 2>&1 \
  || { cat "$summary"; echo "fuzzing found problems"; exit 1; }
cat "$summary"
