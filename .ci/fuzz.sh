#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for SECONDS each, JOBS at a time,
# from its seed corpus in fuzz/corpus/<target> (what a run finds goes to
# build/fuzz-corpus/<target>, never into the repository), and prints each
# target's executions and coverage. Fails when a target fails, and before it
# fuzzes when the target's seeds do not reach what it names.
#   .ci/fuzz.sh SECONDS [JOBS]
# Inputs may grow to FUZZ_MAX_LEN bytes at once: the driver targets run a
# few inputs a second, too few for the fuzzer's slow default growth, and a
# fault script needs room for several faults. With FUZZ_SEEDS_ONLY=1 (the
# test command's short pass) a target starts from its seed-* files alone
# instead of its whole corpus, which a slow target would spend the short
# time reading.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?seconds per target}
jobs=${2:-1}
logs=build/fuzz-logs
max_len=${FUZZ_MAX_LEN:-4096}
mkdir -p "$logs"

run_one() {
  local target=$1 seconds=$2 logs=$3 max_len=$4
  local name=${target##*/}
  local seeds="fuzz/corpus/$name"
  mkdir -p "build/fuzz-corpus/$name" "$seeds"
  if [ "${FUZZ_SEEDS_ONLY:-0}" = 1 ]; then
    seeds="build/fuzz-seeds/$name"
    rm -rf "$seeds" && mkdir -p "$seeds"
    cp fuzz/corpus/"$name"/seed-* "$seeds"/ 2>/dev/null
  fi
  local started=$SECONDS
  # Undefined behaviour is reported and the run goes on (the build lets it
  # recover); the report fails the target below.
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} "$target" "build/fuzz-corpus/$name" "$seeds" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -max_len="$max_len" -len_control=0 -print_final_stats=1 -artifact_prefix="$logs/$name-" >"$logs/$name.log" 2>&1
  local rc=$? took=$((SECONDS - started))
  if [ $rc -eq 0 ] && grep -q 'runtime error:' "$logs/$name.log"; then rc=1; fi
  local execs cov seeds
  execs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$logs/$name.log" | grep -oE '[0-9]+$')
  cov=$(grep -E '(DONE|NEW|REDUCE|pulse|INITED) +cov:' "$logs/$name.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  seeds=$(grep -oE 'seeds reached: [0-9]+ of [0-9]+' "$logs/$name.log" | grep -oE '[0-9]+ of [0-9]+$')
  if [ $rc -eq 0 ]; then
    printf '%-26s execs %9s  %-22s seeds reaching: %-9s %4ss\n' "$name" "${execs:-?}" "${cov:-cov: ?}" \
      "${seeds:-none}" "$took"
  else
    printf '%-26s FAILED (exit %d), see %s\n' "$name" "$rc" "$logs/$name.log"
    grep -m3 -E 'ERROR|runtime error|SUMMARY|fall short|never reached' "$logs/$name.log"
  fi
  return $rc
}
export -f run_one

ls build/fuzz/fuzz/fuzz_* 2>/dev/null | grep -v '\.' |
  xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$logs" "$max_len"
