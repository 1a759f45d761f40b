#!/usr/bin/env bash
# Runs the Python package's tests (pytest, the Dask cluster test included) against the package
# built in a build folder (default build/release), with the interpreter that build was made for.
# Fails when the package was not built, and when pytest fails or collects nothing (exit 5).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if ! compgen -G "$build/python/pyexpression/_core*.so" >/dev/null || [ -z "$python" ]; then
  echo "error: the Python package was not built in $build (Python 3 headers or pybind11 missing?)" >&2
  exit 1
fi
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" EXPRUN="$build/tools/exprun/exprun" \
  "$python" -m pytest -q -p no:cacheprovider "$here/python/tests"
