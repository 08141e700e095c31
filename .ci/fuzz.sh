#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for SECONDS each, JOBS at a time,
# from its seed corpus in fuzz/corpus/<target> (what a run finds goes to
# build/fuzz-corpus/<target>, never into the repository), and prints each
# target's executions and coverage. Fails when a target fails.
#   .ci/fuzz.sh SECONDS [JOBS]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?seconds per target}
jobs=${2:-1}
logs=build/fuzz-logs
mkdir -p "$logs"

run_one() {
  local target=$1 seconds=$2 logs=$3
  local name=${target##*/}
  mkdir -p "build/fuzz-corpus/$name" "fuzz/corpus/$name"
  "$target" "build/fuzz-corpus/$name" "fuzz/corpus/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$logs/$name-" >"$logs/$name.log" 2>&1
  local rc=$?
  local execs cov
  execs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$logs/$name.log" | grep -oE '[0-9]+$')
  cov=$(grep -E '(DONE|NEW|REDUCE|pulse|INITED) +cov:' "$logs/$name.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  if [ $rc -eq 0 ]; then
    printf '%-26s execs %10s  %s\n' "$name" "${execs:-?}" "${cov:-cov: ?}"
  else
    printf '%-26s FAILED (exit %d), see %s\n' "$name" "$rc" "$logs/$name.log"
    grep -m3 -E 'ERROR|runtime error|SUMMARY' "$logs/$name.log"
  fi
  return $rc
}
export -f run_one

ls build/fuzz/fuzz/fuzz_* 2>/dev/null | grep -v '\.' |
  xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$logs"
