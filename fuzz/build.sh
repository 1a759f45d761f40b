#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: bash fuzz/build.sh [build-dir]   (default: build/fuzz under the source tree, or
# $FUZZ_BUILD_DIR). Prints the directory holding the target binaries.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-${FUZZ_BUILD_DIR:-$here/../build/fuzz}}
jobs=${FUZZ_JOBS:-2}
for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz/build.sh: $tool is not installed" >&2; exit 2; }
done
CC=clang CXX=clang++ cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$jobs" >&2
echo "$dir"
