#!/usr/bin/env bash
# A long fuzzing campaign: every libFuzzer harness of the linux-fuzz preset in
# turn, one process each, for SECONDS (default 300), over a corpus kept
# outside the tree (seeded from tests/fuzz/corpus and grown across runs).
# Prints executions and the result per harness; exits non-zero when any
# harness found a crash or a wrong result (its input is left in the corpus
# cache's artifacts folder).
# Usage: scripts/fuzz.sh [seconds-per-harness] [harness...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-300}"
shift || true
CACHE="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
CORPUS="${VANTREL_FUZZ_CORPUS:-$CACHE/fuzz-corpus}"
export CCACHE_DIR="${CCACHE_DIR:-$CACHE/ccache}" CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

scripts/setup.sh --linux-only
cmake --preset linux-fuzz "${launcher[@]}" >/dev/null
cmake --build --preset linux-fuzz

bin=build/linux-fuzz/bin
harnesses=("$@")
if [ "${#harnesses[@]}" -eq 0 ]; then
  for f in "$bin"/fuzz_*; do harnesses+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$CORPUS/artifacts"
total=0
failed=()
printf '%-20s %12s %8s  %s\n' harness executions exec/s result
for h in "${harnesses[@]}"; do
  dir="$CORPUS/$h"
  mkdir -p "$dir"
  cp -n tests/fuzz/corpus/"$h"/* "$dir"/ 2>/dev/null || true
  log="$CORPUS/$h.log"
  rc=0
  "$bin/fuzz_$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$CORPUS/artifacts/$h-" "$dir" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ "$rc" -eq 0 ]; then
    result=ok
  else
    result="FAILED (exit $rc, see $log)"
    failed+=("$h")
  fi
  printf '%-20s %12s %8s  %s\n' "$h" "$runs" "${rate:-?}" "$result"
done
echo "total executions: $total"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "harnesses with findings: ${failed[*]}"
  exit 1
fi
