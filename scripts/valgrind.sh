#!/usr/bin/env bash
# Runs the test binaries under valgrind memcheck (an optimized build with debug information and
# no sanitizers, which valgrind cannot run alongside). Fails on any memory error and on any
# definite or indirect leak.
# Usage: bash scripts/valgrind.sh [test-name...]   (default: every tests/*_test binary)
# The build directory is build/valgrind under the source tree, or $VALGRIND_BUILD_DIR.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${VALGRIND_BUILD_DIR:-$here/build/valgrind}
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 2; }

tests=("$@")
# alloc_failure_test replaces malloc and operator new itself, which valgrind also does: it runs
# in the sanitizer build instead, where LeakSanitizer checks it.
if [ ${#tests[@]} -eq 0 ]; then
  for f in "$here"/tests/*_test.cpp; do
    t=$(basename "$f" .cpp)
    [ "$t" = alloc_failure_test ] || tests+=("$t")
  done
fi
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEXP_SANITIZE=OFF >/dev/null || exit 2
# exprun_test runs the exprun binary.
cmake --build "$dir" -j "${VALGRIND_JOBS:-2}" --target "${tests[@]}" exprun >/dev/null || exit 2
# Under valgrind posix_spawn is emulated with fork and exec, so a program that does not exist
# shows as the child's exit 127 rather than as a failure to start: that case is left out.
skip='-System.ExecuteReturnsExitCodesAndEncodesFailures'


passed=0
failed=0
for t in "${tests[@]}"; do
  log="$dir/valgrind_$t.log"
  # Tests that time themselves or spawn processes behave the same, only slower.
  (cd "$dir/tests" && valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --track-origins=yes --num-callers=30 "./$t" --gtest_brief=1 --gtest_filter="$skip") >"$log" 2>&1
  rc=$?
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok      $t"
  else
    failed=$((failed + 1))
    echo "FAILED  $t (exit $rc), see $log"
    grep -m5 -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|Syscall|[0-9,]+ bytes in)|^\[  FAILED' "$log" | sed 's/^/  /'
  fi
done
echo "valgrind: $passed passed, $failed failed"
[ $failed -eq 0 ]
