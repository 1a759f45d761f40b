#!/usr/bin/env bash
# Runs the whole test suite twice, an optimized build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, both with warnings as errors, and between the two every fuzz
# target for a minute (FUZZ_SECONDS to change); then the threaded tests under ThreadSanitizer.
# Installs what is missing first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh"

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -G Ninja -DEXP_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== optimized build =="
run_suite "$here/build/release" -DCMAKE_BUILD_TYPE=Release
echo "== Python package (pytest, Dask cluster included) =="
bash "$here/scripts/test-python.sh" "$here/build/release"
echo "== fuzz targets, ${FUZZ_SECONDS:-60} s each (ASan + UBSan) =="
FUZZ_BUILD_DIR="$here/build/fuzz" bash "$here/fuzz/run.sh" "${FUZZ_SECONDS:-60}"
echo "== sanitizer build (ASan + UBSan) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$here/build/asan" -DCMAKE_BUILD_TYPE=Debug -DEXP_SANITIZE=ON
echo "== thread sanitizer build (threaded tests only) =="
cmake -S "$here" -B "$here/build/tsan" -G Ninja -DEXP_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEXP_TSAN=ON >/dev/null
cmake --build "$here/build/tsan" -j "$jobs" --target threads_test
# Some kernels randomise mmap addresses beyond what ThreadSanitizer's shadow map allows;
# running without address randomisation sidesteps that.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R "$here/build/tsan/tests/threads_test"
