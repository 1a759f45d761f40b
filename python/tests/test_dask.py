"""The order rules over a million generated rows on a real two-process Dask cluster give, row
for row, what exprun gives on the same CSV."""
import io
import subprocess

import pandas as pd
import pytest

import pyexpression as px
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
    # Each single-threaded worker compiled the rules once and reused them for all its partitions.
    copies = cluster.run(lambda: sum(len(c) for c in __import__("pyexpression.dask").dask._idle.values()))
    assert sorted(copies.values()) == [1, 1]


def test_apply_builds_the_graph_without_running_it():
    import dask
    import dask.dataframe as dd

    @dask.delayed
    def unreadable():
        raise AssertionError("a partition was computed")

    ddf = dd.from_delayed([unreadable()], meta=pd.DataFrame({"qty": pd.Series([], dtype="int64")}))
    lazy = pxd.apply(ddf, "integer twice\ntwice = qty * 2\nqty > 1", fields={"qty": "integer"}, result="boolean")
    assert lazy.dtypes.astype(str).to_dict() == {"result": "boolean", "twice": "Int64"}
    with pytest.raises(px.CompileError):
        pxd.apply(ddf, "qty +", fields={"qty": "integer"})


COUNTER = "static integer n\nif isnull(n) then n = 0\nn = n + 1\nn"


def test_stateful_programs_run_only_in_order(cluster):
    import dask.dataframe as dd
    ddf = dd.from_pandas(pd.DataFrame({"x": range(1000)}), npartitions=5)
    with pytest.raises(ValueError, match="ordered=True"):
        pxd.apply(ddf, COUNTER, fields={"x": "integer"}, result="integer")
    lazy = pxd.apply(ddf, COUNTER, fields={"x": "integer"}, result="integer", ordered=True)
    assert lazy.npartitions == 5
    # Twice: the count runs through the partitions in order and starts afresh.
    for _ in range(2):
        assert lazy.compute()["result"].tolist() == list(range(1, 1001))


def test_failures_name_their_partition_and_global_row(cluster):
    # The error is raised on a worker and reaches here whole.
    import dask.dataframe as dd
    qty = [str(i) for i in range(100)]
    qty[57] = "1,234.5"
    ddf = dd.from_pandas(pd.DataFrame({"qty": qty}, index=range(1000, 1100)), npartitions=4)
    with pytest.raises(px.InputError) as caught:
        pxd.apply(ddf, "qty * 2", fields={"qty": "integer"}, result="integer", global_rows=True).compute()
    err = caught.value
    assert (err.partition, err.row, err.global_row, err.label, err.text) == (2, 7, 57, 1057, "1,234.5")
    out = pxd.apply(ddf, "qty * 2", fields={"qty": "integer"}, result="integer", on_error="null",
                    error_column="error").compute()
    assert out["error"].count() == 1 and "1,234.5" in out.loc[1057, "error"] and out["result"].isna().sum() == 1
