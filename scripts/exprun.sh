#!/usr/bin/env bash
# Builds exprun (installing the packages it needs when missing) and runs it with the arguments.
# Example: bash scripts/exprun.sh -f examples/rules/order_totals.expr \
#            --field qty:integer --field unit_price:real examples/orders.csv
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/release"
if [ ! -x "$build/tools/exprun/exprun" ] || [ -n "$(find "$here/src" "$here/tools" "$here/include" -newer "$build/tools/exprun/exprun" -type f 2>/dev/null | head -1)" ]; then
  bash "$here/scripts/install-deps.sh" >&2
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target exprun >&2
fi
exec "$build/tools/exprun/exprun" "$@"
