"""What a pandas user gets: pandas' own dtypes, streamed chunks, Series and Arrow input, and state
that carries over only until reset()."""
from datetime import datetime
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

import pyexpression as px
from pyexpression.batches import pandas_holds_only_ns

EVERY_TYPE = px.Engine().compile(
    "integer i\nboolean b\nstring s\ndate d\ni = n\nb = n > 1\ns = tostring(n)\nd = todate(\"2026-03-07 10:00:00.123\")\n"
    "n * 0.25", {"n": "integer"}, result="real")


@pytest.mark.parametrize("decimals, real_dtype, quarter", [
    ("decimal", object, Decimal("0.25")), ("float", "float64", 0.25), ("str", "string", "0.25")])
def test_output_columns_have_pandas_dtypes(decimals, real_dtype, quarter):
    out = EVERY_TYPE.run_batch({"n": [1, None]}, decimals=decimals)
    assert out.dtypes.to_dict() == {"result": np.dtype(real_dtype) if real_dtype != "string" else pd.StringDtype(),
                                    "i": pd.Int64Dtype(), "b": pd.BooleanDtype(), "s": pd.StringDtype(),
                                    "d": np.dtype("datetime64[ns]" if pandas_holds_only_ns() else "datetime64[ms]")}
    assert out["result"][0] == quarter and out["d"][0] == pd.Timestamp("2026-03-07 10:00:00.123")
    assert out.iloc[1].drop("d").isna().all()
    assert EVERY_TYPE.dtypes(decimals) == out.dtypes.to_dict()  # what Dask's meta is made of


def test_chunks_stream_with_positions_across_the_whole_input():
    rules = px.Engine().compile("100 / n", {"n": "integer"}, result="integer")
    frame = pd.DataFrame({"n": [1, 2, 0, 4, 5, 0, 7]}, index=list("abcdefg"))
    pieces = list(rules.run_batch(frame, on_error="null", chunksize=3))
    assert [len(p) for p in pieces] == [3, 3, 1]
    assert pd.concat(pieces)["result"].tolist() == [100, 50, pd.NA, 25, 20, pd.NA, 14]
    assert [e.row for p in pieces for e in p.attrs["errors"]] == [2, 5]
    assert [e.label for p in pieces for e in p.attrs["errors"]] == ["c", "f"]
    # An iterable of frames (read_csv with chunksize) streams as it comes.
    halves = rules.run_batch(iter([frame.iloc[:4], frame.iloc[4:]]), on_error="null")
    assert [e.row for p in halves for e in p.attrs["errors"]] == [2, 5]
    with pytest.raises(px.RunError) as caught:
        list(rules.run_batch(frame, chunksize=4))
    assert (caught.value.row, caught.value.label) == (2, "c")


def test_series_and_arrays_as_input():
    rules = px.Engine().compile("upper(name)", {"name": "string"})
    assert rules.run_batch(pd.Series(["a", None], name="anything"))["result"].tolist() == ["A", pd.NA]
    two = px.Engine().compile("a + b", {"a": "integer", "b": "integer"}, result="integer")
    assert two.run_batch({"a": np.arange(3), "b": np.array([1, 1, 1])})["result"].tolist() == [1, 2, 3]
    with pytest.raises(ValueError, match="none of the fields"):
        two.run_batch(pd.Series([1], name="c"))


def test_arrow_string_buffers_are_read_in_place():
    # The buffers of an Arrow string chunk, made by hand: validity bits, offsets, UTF-8 bytes,
    # and a chunk that starts at an offset; two chunks in one column.
    text = "naïve" + "" + "x" + "日本"
    data = np.frombuffer(text.encode(), dtype=np.uint8)
    offsets = np.array([0, 6, 6, 7, 13], dtype=np.int32)
    validity = np.array([0b1011], dtype=np.uint8)  # row 2 is null
    chunks = [(validity, offsets, data, 0, 4), (None, np.array([0, 6, 6], dtype=np.int64), data, 1, 1)]
    rules = px.Engine().compile("name", {"name": "string"})
    out = rules._program.run_columns([("arrow", chunks, None)], 5)
    assert list(out["columns"][0][1]) == ["naïve", "", None, "日本", ""]


def test_arrow_backed_columns_when_pyarrow_is_present():
    pytest.importorskip("pyarrow")
    names = pd.Series(["ça", None, "va"], dtype="string[pyarrow]")
    rules = px.Engine().compile("upper(name)", {"name": "string"})
    assert rules.run_batch({"name": names})["result"].tolist() == ["ÇA", pd.NA, "VA"]


def test_state_carries_over_until_reset():
    counter = px.Engine().compile("static integer n\nif isnull(n) then n = 0\nn = n + 1\nn", {"x": "integer"},
                                  result="integer")
    assert counter.keeps_state and not counter.calls_host
    assert not px.Engine().compile("x + 1", {"x": "integer"}).keeps_state
    assert counter.run_batch({"x": [0, 0]})["result"].tolist() == [1, 2]
    assert counter.run_batch({"x": [0]})["result"].tolist() == [3]
    counter.reset()
    assert counter.run(x=0).value == 1


def test_dates_before_pandas_range_fail_or_come_as_objects():
    old = px.Engine().compile('todate("1500-01-01")', {"x": "integer"}, result="date")
    if pandas_holds_only_ns():
        with pytest.raises(px.OutputError, match="datetime64"):
            old.run_batch({"x": [1]})
    assert old.run_batch({"x": [1]}, dates="object")["result"][0] == datetime(1500, 1, 1)
