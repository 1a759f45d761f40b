#!/usr/bin/env bash
# exprun's whole-file jobs against Miller, side by side in one run: count and sum per group on
# 1,000,000 rows with 10,000 groups (Miller stats1 -a count,sum -g), a left join of 1,000,000
# rows with a 100,000-row table (Miller join --ur), and dedupe (Miller head -n 1 -g). Prints the
# median wall seconds of REPS runs, the ratio exprun / Miller (the goal is 1.0 or less) and each
# tool's peak memory, with the load average before and after: figures from a busy machine are
# indicative only. A peer that is not installed is skipped.
# Usage: bash bench/exprun/whole_file.sh [ROWS] [REPS] [JOBS]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
rows=${1:-1000000}
reps=${2:-3}
jobs=${3:-1}
bash "$here/scripts/install-deps.sh" >&2
build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target exprun >/dev/null
exprun="$build/tools/exprun/exprun"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$rows" "$work" <<'PY'
import random, sys
rows, work = int(sys.argv[1]), sys.argv[2]
rnd = random.Random(31)
with open(f"{work}/facts.csv", "w") as f:
    f.write("key,amount,qty\n")
    for _ in range(rows):
        f.write(f"k{rnd.randrange(10000)},{rnd.randrange(1, 10**6) / 100:.2f},{rnd.randrange(50)}\n")
with open(f"{work}/table.csv", "w") as f:
    f.write("id,rate,label\n")
    for i in range(100000):
        f.write(f"k{i},{rnd.randrange(1, 1000) / 100:.2f},label{i % 977}\n")
with open(f"{work}/joined.csv", "w") as f:  # keys spread over 120,000 ids: some are not in the table
    f.write("id,amount\n")
    for _ in range(rows):
        f.write(f"k{rnd.randrange(120000)},{rnd.randrange(1, 10**6) / 100:.2f}\n")
PY

# Median wall seconds and the largest peak memory (MB) of REPS runs: "seconds megabytes".
measure() {
  python3 - "$reps" "$@" <<'PY'
import os, subprocess, sys, time
reps, cmd = int(sys.argv[1]), sys.argv[2:]
times, peak = [], 0
for _ in range(reps):
    with open(os.devnull, "wb") as null:
        start = time.monotonic()
        p = subprocess.Popen(cmd, stdout=null)
        _, status, usage = os.wait4(p.pid, 0)
        times.append(time.monotonic() - start)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    peak = max(peak, usage.ru_maxrss / 1024)
times.sort()
print(f"{times[len(times) // 2]:.2f} {peak:.0f}")
PY
}

group_program='static integer n; static real total
if isnull(n) then begin n = 0; total = 0 end
n = n + 1; total = total + amount'
declare -A exprun_args=(
  [group]="--group-by key --field amount:real -e \"\$group_program\" facts.csv"
  [lookup]="--lookup t=table.csv:id --no-result -e 'string rate; string label; rate = lookup(\"t\", id, \"rate\"); label = lookup(\"t\", id, \"label\")' joined.csv"
  [unique]="--unique key facts.csv"
)
declare -A miller_args=(
  [group]="stats1 -a count,sum -f amount -g key facts.csv"
  [lookup]="join --ur -j id -f table.csv joined.csv"
  [unique]="head -n 1 -g key facts.csv"
)

cd "$work"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), cores: $(nproc), rows: $rows, exprun --jobs $jobs"
printf '| job | exprun (s) | exprun peak (MB) | Miller (s) | Miller peak (MB) | exprun / Miller |\n|---|---|---|---|---|---|\n'
for job in group lookup unique; do
  read -r te me < <(eval "measure \"\$exprun\" --no-progress --jobs $jobs ${exprun_args[$job]}")
  if command -v mlr >/dev/null; then
    read -r tm mm < <(eval "measure mlr --icsv --ocsv ${miller_args[$job]}")
    ratio=$(printf '%.2f' "$(echo "$te / $tm" | bc -l)")
  else
    tm="n/a"; mm="n/a"; ratio="n/a (Miller not installed)"
  fi
  printf '| %s | %s | %s | %s | %s | %s |\n' "$job" "$te" "$me" "$tm" "$mm" "$ratio"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
