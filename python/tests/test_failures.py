"""A failing row, whatever failed (its input, the program or an output), is handled as on_error
says and reported with where it happened; values are refused rather than changed or cut."""
import pickle
from datetime import datetime, timedelta, timezone

import numpy as np
import pandas as pd
import pytest

import pyexpression as px
from pyexpression import _core

PRICE = px.Engine().compile("real a\nreal b\na = qty * 2\nb = 10.0 / qty\nqty * price",
                            {"qty": "integer", "price": "real"}, result="real")
BAD_INPUTS = [  # (column values, failing row): each kind of value that does not convert
    (["2", "x", "3"], 1),
    ([2, 10**60, 3], 1),
    (["2", "3", "1,234.5"], 2),
    (["2", "\udcff", "3"], 1),  # a lone surrogate, as errors="surrogateescape" leaves
]


@pytest.mark.parametrize("qty, bad", BAD_INPUTS)
@pytest.mark.parametrize("on_error", ["raise", "null", "skip"])
def test_input_errors_follow_on_error(qty, bad, on_error):
    frame = pd.DataFrame({"qty": np.array(qty, dtype=object), "price": ["1.5", "2", "4"]}, index=[10, 11, 12])
    if on_error == "raise":
        with pytest.raises(px.InputError) as caught:
            PRICE.run_batch(frame)
        err = caught.value
        assert (err.field, err.row, err.label) == ("qty", bad, 10 + bad) and "qty" in str(err)
        return
    out = PRICE.run_batch(frame, on_error=on_error)
    good = [i for i in range(3) if i != bad]
    if on_error == "skip":
        assert list(out.index) == [10 + i for i in good]
    else:
        assert out.iloc[bad].isna().all() and out.drop(index=10 + bad).notna().all().all()
    assert out.attrs["error_count"] == 1 and isinstance(out.attrs["errors"][0], px.InputError)


def test_a_failed_rows_outputs_are_all_null():
    # Row 1 fails at b = 10.0 / 0 after a was set: a must not keep its half-computed 0.
    out = PRICE.run_batch({"qty": [1, 0, 2], "price": [1, 1, 1]}, on_error="null")
    assert out["a"].tolist() == [2, None, 4] and out["result"].tolist() == [1, None, 2]


def test_errors_carry_labels_pickle_whole_and_fill_the_error_column():
    frame = pd.DataFrame({"qty": [1, 0, "y"], "price": [1, 1, 1]}, index=["p", "q", "r"])
    out = PRICE.run_batch(frame, on_error="null", error_column="error")
    assert out["error"].dtype == "string" and out["error"].isna().tolist() == [True, False, False]
    assert "field 'qty'" in out.loc["r", "error"] and "error 101" in out.loc["q", "error"]
    run_error, input_error = out.attrs["errors"]
    assert (run_error.row, run_error.label, input_error.label) == (1, "q", "r")
    for err in (run_error, input_error):
        copy = pickle.loads(pickle.dumps(err))
        assert type(copy) is type(err) and str(copy) == str(err) and copy.__dict__ == err.__dict__
    with pytest.raises(ValueError, match="error_column"):
        PRICE.run_batch(frame, on_error="skip", error_column="error")


def test_output_values_without_a_form_fail_their_row():
    year_zero = px.Engine().compile('todate("0000-06-01")', fields={"x": "integer"}, result="date")
    with pytest.raises(px.OutputError, match="years 1 to 9999"):
        year_zero.run_batch({"x": [1]}, dates="object")
    assert year_zero.run_batch({"x": [1, 2]}, on_error="null", dates="object")["result"].isna().all()
    # After a run error, the next row's output failure is told apart (its own code and kind).
    mixed = px.Engine().compile('integer z\nz = 10 / x\ntodate("0000-06-01")', {"x": "integer"}, result="date")
    errors = mixed.run_batch({"x": [0, 1]}, on_error="null", dates="object").attrs["errors"]
    assert [(type(e), e.code, e.row) for e in errors] == [(px.RunError, 101, 0), (px.OutputError, 0, 1)]
    # A later column's failure takes back the values the row's earlier columns gave.
    late = px.Engine().compile('string s\ndate d\ns = "x"\nif x > 1 then d = todate("0000-06-01")\nx',
                               {"x": "integer"}, result="integer")
    out = late.run_batch({"x": [1, 2, 3]}, on_error="null", dates="object", error_column="why")
    assert out["result"].tolist() == [1, pd.NA, pd.NA] and out["s"].tolist() == ["x", pd.NA, pd.NA]
    assert out["why"].str.startswith("output 'd'").tolist() == [pd.NA, True, True]
    assert late.run_batch({"x": [2, 1]}, on_error="skip", dates="object")["s"].tolist() == ["x"]


@pytest.mark.parametrize("text_length, fails", [(65535, False), (65536, True), (80001, True)])
def test_string_results_are_never_cut(text_length, fails):
    rules = px.Engine().compile("x & x & y", {"x": "string", "y": "string"})
    x, y = "é" * (text_length // 2), "a" * (text_length % 2)
    if not fails:
        assert len(rules.run(x=x, y=y).value) == text_length
        return
    with pytest.raises(px.OutputError) as caught:
        rules.run(x=x, y=y)
    assert caught.value.code == _core.E_TEXT_CUT and caught.value.output == "result"
    wide = px.Engine().compile("x & x & y", {"x": "string", "y": "string"}, result_length=200_000)
    assert wide.run_batch({"x": [x], "y": [y]})["result"][0] == x + x + y
    # Without a result column, the last value is nobody's output.
    unread = px.Engine().compile("string(200000) s\ns = x & x & y\ns", {"x": "string", "y": "string"}, result=None)
    assert unread.run_batch({"x": [x], "y": [y]})["s"][0] == x + x + y


def test_values_that_cannot_be_held_are_refused():
    both = px.Engine().compile("u", {"u": "integer"}, result="integer")
    big = pd.Series([1, 2**64 - 1, None], dtype="UInt64")
    with pytest.raises(px.InputError, match="18446744073709551615"):
        both.run_batch({"u": big})
    assert both.run_batch({"u": big}, on_error="null")["result"].tolist() == [1, pd.NA, pd.NA]

    dated = "tostring(d)"
    utc = datetime(2026, 3, 7, tzinfo=timezone.utc)
    tokyo = datetime(2026, 3, 7, tzinfo=timezone(timedelta(hours=9)))
    for zoned in (pd.Series([utc, tokyo]), pd.Series([tokyo, tokyo])):  # objects, and datetime64[ns, UTC+09:00]
        with pytest.raises(TypeError, match="time zone"):
            px.Engine(iso_dates=True).compile(dated, {"d": "date"}).run_batch({"d": zoned})
    with pytest.raises(px.InputError, match="time zone"):
        px.Engine(iso_dates=True).compile(dated, {"d": "date"}).run(d=tokyo)
    to_utc = px.Engine(iso_dates=True, tz="utc").compile(dated, {"d": "date"})
    assert to_utc.run(d=tokyo).value == "2026-03-06 15:00:00"
    assert to_utc.run_batch({"d": pd.Series([utc, tokyo])})["result"].tolist() == [
        "2026-03-07 00:00:00", "2026-03-06 15:00:00"]
    assert to_utc.run_batch({"d": pd.Series([tokyo])})["result"].tolist() == ["2026-03-06 15:00:00"]

    # The part below the millisecond is dropped, never carried into the next day.
    last, kept = datetime(2026, 3, 7, 23, 59, 59, 999999), datetime(2026, 3, 7, 23, 59, 59, 999000)
    same = px.Engine().compile("d", {"d": "date"}, result="date")
    assert same.run(d=last).value == kept
    assert same.run_batch({"d": pd.Series([last])})["result"][0] == kept


def test_register_checks_at_once():
    eng = px.Engine()
    with pytest.raises(ValueError, match="letter 'q'"):
        eng.register("f", len, args="q")
    with pytest.raises(ValueError, match="upper"):
        eng.register("upper", str.upper, args="s")  # a built-in's name
    eng.register("twice", lambda x: 2 * x, args="i", returns="i")
    with pytest.raises(ValueError, match="TWICE"):
        eng.register("TWICE", lambda x: x, args="i", returns="i")
    for k in range(63):
        eng.register(f"f{k}", lambda: 1, returns="i")
    with pytest.raises(ValueError, match="64"):
        eng.register("one_too_many", lambda: 1, returns="i")
    assert eng.compile("twice(f62())", {}, result="integer").run().value == 2
