#!/usr/bin/env bash
# Source coverage of the fuzz targets' corpora: builds the replay drivers with
# clang's coverage instrumentation (the `fuzz-coverage` preset), replays the
# seed corpus and the corpus a campaign grew (build/fuzz/runs/<target>/corpus)
# of each target, and prints per source file the lines and branches covered.
# Usage: scripts/fuzz-coverage.sh [-j build-jobs] [target...]
#   -j  compile jobs of the build (default: $CMAKE_BUILD_PARALLEL_LEVEL, else
#       every core)
set -euo pipefail
cd "$(dirname "$0")/.."
build_jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-}
while getopts "j:" opt; do
  case $opt in
    j) build_jobs=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
bash scripts/setup-fuzz-deps.sh
cmake --preset fuzz-coverage >/dev/null
cmake --build --preset fuzz-coverage ${build_jobs:+--parallel "$build_jobs"} >/dev/null

build=build/fuzz-coverage
# The platform layer is a shared library: its coverage is in its own object.
shared=()
while IFS= read -r lib; do shared+=(-object "$lib"); done < <(find "$build" -name '*.so')
targets=("$@")
[ ${#targets[@]} -eq 0 ] && mapfile -t targets < <(cd tests/fuzz/corpus && ls)
for t in "${targets[@]}"; do
  exe=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -1)
  [ -n "$exe" ] || { echo "$t: not built"; continue; }
  rm -f "$build/$t".profraw
  corpora=(tests/fuzz/corpus/"$t")
  [ -d build/fuzz/runs/"$t"/corpus ] && corpora+=(build/fuzz/runs/"$t"/corpus)
  TW_FUZZ_RANDOM_ROUNDS=0 LLVM_PROFILE_FILE="$build/$t.profraw" "$exe" "${corpora[@]}" >/dev/null
  llvm-profdata merge -sparse "$build/$t.profraw" -o "$build/$t.profdata"
  echo "== $t ($(find "${corpora[@]}" -type f | wc -l) inputs)"
  # Files the target reaches: lines and branches covered.
  llvm-cov report "$exe" "${shared[@]}" -instr-profile="$build/$t.profdata" -ignore-filename-regex='(tests/|/usr/)' \
    | awk 'NR > 2 && $1 != "TOTAL" && $1 !~ /^-/ && $8 != $9 {
             printf "   %-36s lines %5d/%-5d %7s   branches %4d/%-4d %7s\n", $1, $8 - $9, $8, $10, $11 - $12, $11, $13 }'
done
