"""Benchmark: the order rules (examples/rules/order_totals.expr) over generated orders, side by
side: run_batch (exact Decimal reals, and decimals="float"), pandas DataFrame.apply with the same
rules in Python (Decimal), vectorised pandas (floats: decimal semantics lost), exprun on the same
CSV, Dask with 2 workers against 1, Dask over one partition against run_batch, rules.run(dict)
one row at a time, and the peak memory of a chunked run over 5M rows.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python/order_rules.py [--rows N] [--repeats R]
        [--no-dask] [--memory-rows N]

Prints the median of R runs of each, per row and as ratios, with the goals beside them. Not a
test: nothing is asserted, and on a shared machine the figures are indicative only.
"""
import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import numpy as np
import pandas as pd

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python" / "tests"))
from orders import EXPRUN_FIELDS, FIELDS, make_orders, read_options, write_orders  # noqa: E402

import pyexpression as px  # noqa: E402
import pyexpression.dask as pxd  # noqa: E402

RULES = (REPO / "examples" / "rules" / "order_totals.expr").read_text()
DISCOUNTS = {"VIP20": Decimal("0.20"), "SPRING10": Decimal("0.10"), "WELCOME5": Decimal("0.05")}
VAT = {"FR": Decimal("0.20"), "IT": Decimal("0.20"), "DE": Decimal("0.19"), "ES": Decimal("0.21")}
CENT = Decimal("0.01")
USED = ["qty", "unit_price", "discount_code", "country"]


def python_rules(row):
    """The order rules written in Python with Decimal, as a pandas user would."""
    amount = row.qty * Decimal(repr(row.unit_price))
    discount = DISCOUNTS.get(row.discount_code, Decimal(0))
    amount = (amount * (1 - discount)).quantize(CENT, ROUND_HALF_UP)
    vat = VAT.get(row.country, Decimal(0))
    size = "large" if amount >= 500 else "medium" if amount >= 50 else "small"
    return (amount * (1 + vat)).quantize(CENT, ROUND_HALF_UP), amount, discount, vat, size


def vectorised_rules(df):
    """The same rules on float columns with numpy: fast, but binary floats, not decimals."""
    code, country = df.discount_code, df.country
    discount = np.select([code == "VIP20", code == "SPRING10", code == "WELCOME5"], [0.20, 0.10, 0.05], 0.0)
    amount = (df.qty * df.unit_price * (1 - discount)).round(2)
    vat = np.select([country.isin(["FR", "IT"]), country == "DE", country == "ES"], [0.20, 0.19, 0.21], 0.0)
    size = np.select([amount >= 500, amount >= 50], ["large", "medium"], "small")
    return pd.DataFrame({"result": (amount * (1 + vat)).round(2), "amount": amount, "discount": discount,
                         "vat": vat, "size": size})


def median_seconds(fn, repeats):
    print(".", end="", file=sys.stderr, flush=True)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def dask_seconds(csv, workers, repeats, blocksize):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        def job():
            ddf = dd.read_csv(csv, blocksize=blocksize, **read_options())
            # Counted on the workers: what is measured is reading and running, not shipping
            # a million Decimals back to this process.
            return pxd.apply(ddf, RULES, fields=FIELDS, result="real").map_partitions(len).compute().sum()
        job()  # workers import the package and compile once
        return median_seconds(job, repeats)


def dask_one_partition_seconds(df, repeats):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        [remote] = client.scatter([df])  # the partition already lives on the worker
        ddf = dd.from_delayed([remote], meta=df.iloc[:0])
        job = lambda: pxd.apply(ddf, RULES, fields=FIELDS, result="real").map_partitions(len).compute().sum()
        job()
        return median_seconds(job, repeats)


# Run in a child process: its peak resident memory is measured from a baseline taken once the
# input frame exists (clear_refs resets the peak), so the figure is what the run itself adds.
MEMORY_CHILD = """
import json, sys
sys.path.insert(0, sys.argv[3])
from orders import FIELDS, make_orders
import pyexpression as px

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

rows, chunk = int(sys.argv[1]), int(sys.argv[2])
frame = make_orders(rows)[["qty", "unit_price", "discount_code", "country"]]
rules = px.Engine().compile(open(sys.argv[4]).read(), fields={k: FIELDS[k] for k in frame.columns}, result="real")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
seen = sum(len(piece) for piece in rules.run_batch(frame, chunksize=chunk))
print(json.dumps({"rows": seen, "input": base, "peak": status("VmHWM")}))
"""


def chunked_peak(rows, chunk):
    """(input frame's resident bytes, peak bytes) of a chunked run_batch over `rows` orders."""
    run = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(rows), str(chunk), str(REPO / "python" / "tests"),
                          str(REPO / "examples" / "rules" / "order_totals.expr")],
                         check=True, capture_output=True, text=True)
    got = json.loads(run.stdout)
    assert got["rows"] == rows
    return got["input"], got["peak"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--apply-rows", type=int, default=50_000, help="rows for DataFrame.apply (per-row cost is scaled)")
    ap.add_argument("--memory-rows", type=int, default=5_000_000, help="rows of the chunked run whose memory is measured")
    ap.add_argument("--chunksize", type=int, default=100_000)
    ap.add_argument("--no-dask", action="store_true", help="leave out the Dask rows")
    ap.add_argument("--exprun", default=str(REPO / "build" / "release" / "tools" / "exprun" / "exprun"))
    args = ap.parse_args()
    n, r = args.rows, args.repeats
    rows = {}
    with tempfile.TemporaryDirectory() as tmp:
        csv = Path(tmp) / "orders.csv"
        write_orders(csv, n)
        df = pd.read_csv(csv, **read_options())
        rules = px.Engine().compile(RULES, fields=FIELDS, result="real")

        rows["run_batch (DataFrame in memory)"] = median_seconds(lambda: rules.run_batch(df), r) / n
        rows["run_batch, decimals='float'"] = median_seconds(lambda: rules.run_batch(df, decimals="float"), r) / n
        # Binding only the four columns the rules read, as a user would write `fields`.
        used = px.Engine().compile(RULES, fields={k: FIELDS[k] for k in USED}, result="real")
        rows["run_batch, only the 4 columns read"] = median_seconds(lambda: used.run_batch(df), r) / n
        rows["run_batch, 4 columns, decimals='float'"] = median_seconds(
            lambda: used.run_batch(df, decimals="float"), r) / n
        rows["read_csv + run_batch"] = median_seconds(lambda: rules.run_batch(pd.read_csv(csv, **read_options())), r) / n
        exprun = [args.exprun, "-f", str(REPO / "examples/rules/order_totals.expr"), *EXPRUN_FIELDS,
                  "--result-type", "real", str(csv)]
        rows["exprun (CSV in, CSV out)"] = median_seconds(
            lambda: subprocess.run(exprun, check=True, stdout=subprocess.DEVNULL), r) / n
        head = df.head(args.apply_rows)
        rows["pandas apply, Python rules (Decimal)"] = median_seconds(
            lambda: head.apply(python_rules, axis=1), r) / len(head)
        rows["vectorised pandas (float)"] = median_seconds(lambda: vectorised_rules(df), r) / n
        records = df.head(20_000).to_dict("records")
        rows["rules.run(dict), one row at a time"] = median_seconds(
            lambda: [rules.run(rec) for rec in records], r) / len(records)
        if not args.no_dask:
            blocksize = max(1_000_000, csv.stat().st_size // 8)
            rows["Dask, 1 worker (read_csv + apply)"] = dask_seconds(str(csv), 1, r, blocksize) / n
            rows["Dask, 2 workers (read_csv + apply)"] = dask_seconds(str(csv), 2, r, blocksize) / n
            rows["Dask, 1 worker, one in-memory partition"] = dask_one_partition_seconds(df, r) / n
    base, peak = chunked_peak(args.memory_rows, args.chunksize)
    print(file=sys.stderr)

    print(f"{n} rows, median of {r} runs (DataFrame.apply on {args.apply_rows} rows)\n")
    for name, per_row in rows.items():
        print(f"  {name:44s} {per_row * 1e6:9.3f} µs/row")
    batch, floats = rows["run_batch (DataFrame in memory)"], rows["run_batch, decimals='float'"]
    apply_row, vector = rows["pandas apply, Python rules (Decimal)"], rows["vectorised pandas (float)"]
    print("\nside by side (goals in brackets)")
    print(f"  DataFrame.apply / run_batch                  {apply_row / batch:8.1f}x  (>= 20)")
    print(f"  run_batch decimals='float' / vectorised      {floats / vector:8.2f}x  (<= 1.5)")
    print(f"  chunked run of {args.memory_rows} rows (chunksize {args.chunksize}): peak {peak / 2**20:.0f} MiB, "
          f"{(peak - base) / 2**20:.0f} MiB above the input frame's {base / 2**20:.0f} MiB")
    print("\nother ratios")
    print(f"  run_batch / vectorised pandas                {batch / vector:8.2f}x")
    print(f"  DataFrame.apply / run_batch (4 columns)      {apply_row / rows['run_batch, only the 4 columns read']:8.1f}x")
    four_floats = rows["run_batch, 4 columns, decimals='float'"]
    print(f"  run_batch 4 columns float / vectorised       {four_floats / vector:8.2f}x")
    print(f"  run_batch / exprun                           {batch / rows['exprun (CSV in, CSV out)']:8.2f}x")
    print(f"  read_csv + run_batch / exprun                {rows['read_csv + run_batch'] / rows['exprun (CSV in, CSV out)']:8.2f}x")
    if not args.no_dask:
        print(f"  Dask 1 worker / 2 workers                    {rows['Dask, 1 worker (read_csv + apply)'] / rows['Dask, 2 workers (read_csv + apply)']:8.2f}x")
        print(f"  Dask one partition / run_batch               {rows['Dask, 1 worker, one in-memory partition'] / batch:8.2f}x")
    print(f"  rules.run(dict) / run_batch                  {rows['rules.run(dict), one row at a time'] / batch:8.1f}x")


if __name__ == "__main__":
    main()
