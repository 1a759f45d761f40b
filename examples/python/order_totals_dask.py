"""The order rules over CSV files on a Dask cluster.

Start a scheduler and workers on the machines (each with pyexpression installed), then:

    python3 examples/python/order_totals_dask.py tcp://scheduler:8786 'orders/*.csv' totals/

Without an address (or with "local") it starts a two-process cluster on this machine. Every
worker compiles the rules once and runs them over its partitions; the results are written by
the workers as CSV files, one per partition.
"""
import sys
from pathlib import Path

import dask.dataframe as dd
from distributed import Client, LocalCluster

import pyexpression.dask as pxd

RULES = (Path(__file__).resolve().parents[1] / "rules" / "order_totals.expr").read_text()
FIELDS = {"order_id": "string", "customer": "string", "country": "string", "order_date": "date",
          "qty": "integer", "unit_price": "real", "discount_code": "string", "status": "string"}


def main(address, inputs, output):
    client = Client(LocalCluster(n_workers=2, dashboard_address=None) if address == "local" else address)
    # Strings as written (an empty discount code stays empty); prices as text, read exactly.
    orders = dd.read_csv(inputs, dtype={"qty": "Int64", "unit_price": str, "order_id": str}, keep_default_na=False,
                         parse_dates=["order_date"])
    totals = pxd.apply(orders, RULES, fields=FIELDS, result="real", result_name="total", on_error="null")
    with_ids = totals.assign(order_id=orders["order_id"])
    with_ids.to_csv(output, index=False)  # one file per partition, written by the workers
    print(f"wrote {output} from {orders.npartitions} partitions on {len(client.scheduler_info()['workers'])} workers")
    client.close()


if __name__ == "__main__":
    here = Path(__file__).resolve().parents[1]
    main(sys.argv[1] if len(sys.argv) > 1 else "local",
         sys.argv[2] if len(sys.argv) > 2 else str(here / "orders.csv"),
         sys.argv[3] if len(sys.argv) > 3 else "order_totals-*.csv")
