#!/usr/bin/env bash
# Runs every fuzz target, one after another, for a set time each (seconds, default 60), on the
# seed corpus in fuzz/corpus/<target> plus a working corpus kept in the build directory.
# Usage: bash fuzz/run.sh [seconds] [target...]
# Prints the executions of each target; exits 1 when a target found a crash, a leak or a hang
# (the reproducer is left in <build>/artifacts/, named after the target).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(compile run prepared decimal records isolation typed api)
buildlog=$(mktemp)
trap 'rm -f "$buildlog"' EXIT
dir=$(bash "$here/build.sh" 2>"$buildlog") || { cat "$buildlog" >&2; exit 2; }
# Allocations above 1 GiB fail (return none) instead of stopping the fuzzer: programs may ask for
# huge strings and arrays, and what must be checked is that the engine reports error 1 cleanly.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=1024:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/artifacts"
status=0
for t in "${targets[@]}"; do
  work="$dir/corpus/$t"
  mkdir -p "$work"
  log="$dir/fuzz_$t.log"
  dict=()
  seeds=("$here/corpus/$t")
  case $t in compile|run|prepared) dict=(-dict="$here/language.dict");; esac
  # The prepared target compares two ways of running the same programs: fuzz_run's seeds serve too.
  case $t in prepared) seeds+=("$here/corpus/run");; esac
  "$dir/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -malloc_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" "${dict[@]}" "$work" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  if [ $rc -eq 0 ]; then
    echo "fuzz_$t: ${runs:-0} executions, no crash"
  else
    echo "fuzz_$t: FAILED after ${runs:-?} executions (exit $rc), see $log"
    grep -m3 -E '^==[0-9]+==ERROR|^SUMMARY|Test unit written' "$log" | sed 's/^/  /'
    status=1
  fi
done
exit $status
