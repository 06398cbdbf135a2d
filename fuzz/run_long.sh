#!/usr/bin/env bash
# Runs the libFuzzer targets of a -DQM5_FUZZ=ON build, each for a given time:
#
#   fuzz/run_long.sh [-t SECONDS] [-j JOBS] [BUILD_DIR [TARGET...]]
#
# SECONDS per target (default 600), JOBS targets at once (default 1; each
# uses one core), BUILD_DIR the build (default fuzz-build), TARGET names as
# in fuzz/corpus/ (default: all). Each target first runs its seeds
# fuzz/corpus/<name>/ and its saved crashers tests/regressions/<name>/, then
# mutates them. New inputs go to BUILD_DIR/fuzz-work/<name>/ (the committed
# seeds stay as they are), an input that fails to
# BUILD_DIR/fuzz-artifacts/<name>-*, each target's output to
# BUILD_DIR/fuzz-logs/<name>.log. Exits 1 when a target found a fault,
# after printing the end of its log. CI runs it with -t 10 -j 2.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"

seconds=600
jobs=1
while getopts "t:j:h" option; do
  case "$option" in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build="${1:-fuzz-build}"
(($# > 0)) && shift
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in "$source_dir"/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
for t in "${targets[@]}"; do
  if [[ ! -x "$build/fuzz/fuzz_$t" ]]; then
    echo "$0: $build/fuzz/fuzz_$t: not built (configure with -DQM5_FUZZ=ON and clang, build fuzz_$t)" >&2
    exit 2
  fi
done
mkdir -p "$build/fuzz-work" "$build/fuzz-artifacts" "$build/fuzz-logs"

# One target, its output in its log; the status is libFuzzer's.
fuzz_one() {
  local t=$1 work="$build/fuzz-work/$1" seeds=("$source_dir/fuzz/corpus/$1")
  [[ -d "$source_dir/tests/regressions/$t" ]] && seeds+=("$source_dir/tests/regressions/$t")
  mkdir -p "$work"
  "$build/fuzz/fuzz_$t" "$work" "${seeds[@]}" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -malloc_limit_mb=64 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" \
    >"$build/fuzz-logs/$t.log" 2>&1
}

# What a finished target did, or the end of its log and the failure.
report() {
  local t=$1 status=$2 log="$build/fuzz-logs/$1.log"
  if ((status != 0)); then
    tail -n 60 "$log"
    echo "fuzz_$t found a fault (status $status); the input is in $build/fuzz-artifacts/" >&2
    return 1
  fi
  echo "fuzz_$t: $(sed -nE 's/^stat::(number_of_executed_units|new_units_added|peak_rss_mb): +/\1 /p' "$log" |
    paste -sd' ')"
}

echo "fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at once"
declare -A running=()  # pid -> target
failed=0
for t in "${targets[@]}"; do
  while ((${#running[@]} >= jobs)); do
    status=0
    wait -n -p done_pid "${!running[@]}" || status=$?
    report "${running[$done_pid]}" "$status" || failed=1
    unset "running[$done_pid]"
  done
  fuzz_one "$t" &
  running[$!]=$t
done
while ((${#running[@]} > 0)); do
  status=0
  wait -n -p done_pid "${!running[@]}" || status=$?
  report "${running[$done_pid]}" "$status" || failed=1
  unset "running[$done_pid]"
done
exit "$failed"
