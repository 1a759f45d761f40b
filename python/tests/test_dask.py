"""The order rules over a million generated rows on a real two-process Dask cluster give, row
for row, what exprun gives on the same CSV."""
import io
import subprocess

import pandas as pd
import pytest

import pyexpression.dask as pxd

from orders import EXPRUN_FIELDS, FIELDS, read_options, write_orders

ROWS = 1_000_000
OUTPUTS = ["result", "amount", "discount", "vat", "size"]


@pytest.fixture(scope="module")
def cluster():
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c, \
            Client(c) as client:
        yield client


def test_order_rules_on_a_cluster_equal_exprun(tmp_path, exprun, order_rules, cluster):
    import dask.dataframe as dd
    data = tmp_path / "orders.csv"
    write_orders(data, ROWS)
    run = subprocess.run([exprun, "-e", order_rules, *EXPRUN_FIELDS, "--result-type", "real",
                          "--output", ",".join(OUTPUTS), data], check=True, capture_output=True, text=True)
    expected = pd.read_csv(io.StringIO(run.stdout), dtype=str, keep_default_na=False)
    ddf = dd.read_csv(data, blocksize=8_000_000, **read_options())
    assert ddf.npartitions > 2
    lazy = pxd.apply(ddf, order_rules, fields=FIELDS, result="real")
    assert list(lazy.columns) == OUTPUTS  # known before anything ran


    def to_text(frame):
        # Decimals are turned into text on the workers: text travels far faster than Decimals.
        # (Nested, so that it travels by value: the workers cannot import this test module.)
        return pd.DataFrame({c: ["" if v is None else str(v) for v in frame[c]] for c in OUTPUTS}, index=frame.index)

    got = lazy.map_partitions(to_text, meta={c: object for c in OUTPUTS}).compute()
    assert len(got) == len(expected) == ROWS
    for column in OUTPUTS:
        assert got[column].tolist() == expected[column].tolist(), column
