#!/usr/bin/env bash
# exprun against Miller on 1,000,000 CSV rows: integer arithmetic, decimal arithmetic and string
# clean-up with branches (the classification workload). Prints median wall seconds of REPS runs,
# the ratio to Miller and the speed-up of --jobs 2 over --jobs 1, all measured in one run, with
# the load average before and after (figures from a busy machine are not comparable).
# Usage: bash bench/exprun/compare.sh [ROWS] [REPS]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
rows=${1:-1000000}
reps=${2:-3}
bash "$here/scripts/install-deps.sh" >&2
build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target exprun >/dev/null
exprun="$build/tools/exprun/exprun"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$rows" > "$work/data.csv" <<'PY'
import sys
names = ["Anna Schmidt", "  john smith", "MARIA GARCIA  ", " Jean-Luc Picard ", "", "Daniel O'Brien",
         "   ", "li wei", "Hannah  Montana ", "  Bjorn Andersen", "FATIMA AL-SAYED", "Ivan Petrov ",
         " Chloe Dubois", "Mohammed Khan", "sean o'connor", "Ana Lucia Santos  "]
out = sys.stdout
out.write("qty,price,discount,name\n")
for i in range(int(sys.argv[1])):
    cents = 100 + (i * 7919) % 99900
    name = names[((i * 2654435761) % 2**32) >> 28]
    out.write(f"{1 + i % 100},{cents // 100}.{cents % 100:02d},0.15,\"{name}\"\n")
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timeit() {  # prints median seconds of $reps runs of the command
  for _ in $(seq "$reps"); do
    local s e
    s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N)
    echo "$e - $s" | bc -l
  done | median
}

types="--field qty:integer --field price:real --field discount:real"
declare -A mlr_prog=(
  [int]='$* = {"total": $qty * 2 + 1}'
  [decimal]='$* = {"amount": $price * $qty * (1 - $discount)}'
  [strings]='var t = strip($name); $* = {"status": t == "" ? "missing" : $qty > 50 ? "bulk:" . toupper(t) : tolower(t)}'
)
declare -A outputs=([int]=total [decimal]=amount [strings]=status)

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), cores: $(nproc)"
printf '| workload | exprun --jobs 1 (s) | exprun --jobs 2 (s) | -j1 / -j2 | Miller (s) | Miller / exprun -j1 |\n|---|---|---|---|---|---|\n'
for w in int decimal strings; do
  args=(-f "$here/bench/exprun/$w.expr" $types --no-result --output "${outputs[$w]}" --no-progress "$work/data.csv")
  t1=$(timeit "$exprun" "${args[@]}")
  t2=$(timeit "$exprun" --jobs 2 "${args[@]}")
  if command -v mlr >/dev/null; then
    tm=$(printf '%.2f' "$(timeit mlr --icsv --ocsv put "${mlr_prog[$w]}" "$work/data.csv")")
    ratio=$(printf '%.1f' "$(echo "$tm / $t1" | bc -l)")
  else
    tm="n/a"; ratio="n/a"
  fi
  speedup=$(printf '%.2f' "$(echo "$t1 / $t2" | bc -l)")
  printf '| %s | %.2f | %.2f | %s | %s | %s |\n' "$w" "$t1" "$t2" "$speedup" "$tm" "$ratio"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
