#!/usr/bin/env bash
# Runs the Python package's tests (pytest, the Dask cluster test included) against the package as
# a user installs it: `pip install --no-build-isolation ./python` into a fresh virtual environment
# in a temporary folder, made with --system-site-packages so that Debian's numpy, pandas, Dask and
# pytest serve it (nothing is downloaded: pip runs with --no-index). The interpreter is Debian's
# /usr/bin/python3 (a python3 earlier on PATH, such as pyenv's, lacks pandas); PYEXPRESSION_PYTHON
# names another. exprun for the tests comes from a build folder (default build/release), which
# also keeps pip's CMake folder (pip-build) so that the next run rebuilds only what changed.
# Fails when the install fails, when the tests would not see the installed package, and when
# pytest fails or collects nothing (exit 5).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
python=${PYEXPRESSION_PYTHON:-/usr/bin/python3}
if [ ! -x "$build/tools/exprun/exprun" ]; then
  echo "error: no exprun in $build (build it first)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
fi
echo "installing the package with pip into $work/venv"
EXPRESSION_BUILD_DIR="$build/pip-build" "$venv_python" -m pip install --no-build-isolation --no-index \
  --disable-pip-version-check -q "$here/python"

# From the temporary folder, so that the checkout's python/pyexpression (which has no extension)
# cannot stand in for the installed package.
cd "$work"
installed=$("$venv_python" -c 'import os, pyexpression; print(os.path.realpath(pyexpression.__file__))')
case $installed in
  "$(realpath "$work")"/venv/*) ;;
  *) echo "error: the tests would import pyexpression from $installed, not from the installed package" >&2; exit 1;;
esac
EXPRUN="$build/tools/exprun/exprun" "$venv_python" -m pytest -q -p no:cacheprovider "$here/python/tests"
