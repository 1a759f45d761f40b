"""Values cross between Python and the engine unchanged, one at a time and in batches."""
from datetime import date, datetime
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

import pyexpression as px

ROUND_TRIPS = {
    "integer": [0, -2**63, 2**63 - 1, None],
    "real": [Decimal("123456789012345.678901234567890"), Decimal("-0.000000000000000000000000000001"),
             Decimal("98765432109876543210987654321.0"), Decimal("1E+40"), None],
    "string": ["", "naïve café", "日本語テキスト", "emoji 🎉 and ı İ", "x" * 5000, None],
    "date": [datetime(1, 1, 1), datetime(9999, 12, 31, 23, 59, 59, 999000), datetime(2026, 3, 7, 12, 34, 56, 250000),
             None],
    "boolean": [True, False, None],
}


def identity(type_name):
    # The value comes back both as the result and through a declared variable (a declared
    # string holds 255 characters unless it says more).
    declared = "string(10000)" if type_name == "string" else type_name
    return px.Engine().compile(f"{declared} copy\ncopy = v\nv", fields={"v": type_name}, result=type_name)


@pytest.mark.parametrize("type_name", ROUND_TRIPS)
def test_round_trip_one_at_a_time(type_name):
    rules = identity(type_name)
    for value in ROUND_TRIPS[type_name]:
        result = rules.run({"v": value})
        assert result.value == value and type(result.value) is type(value)
        assert result.variables == {"copy": value}


@pytest.mark.parametrize("type_name", ROUND_TRIPS)
@pytest.mark.parametrize("as_frame", [False, True])
def test_round_trip_batch(type_name, as_frame):
    values = ROUND_TRIPS[type_name] * 3
    data = pd.DataFrame({"v": pd.Series(values, dtype=object)}) if as_frame else {"v": values}
    # Years 1 and 9999 need datetime objects: datetime64[ns] holds only the years 1678 to 2261.
    out = identity(type_name).run_batch(data, dates="object")
    assert list(out.columns) == ["result", "copy"]
    for column in ("result", "copy"):
        got = [None if v is pd.NA else v for v in out[column]]
        assert got == values


def test_dates_at_calendar_ends_and_plain_dates():
    rules = identity("date")
    assert rules.run(v=date(2026, 3, 7)).value == datetime(2026, 3, 7)
    # The engine reaches year 0, which datetime cannot hold: a clear error, not a wrong date.
    year_zero = px.Engine().compile('todate("0000-06-01")', fields={}, result="date")
    with pytest.raises(ValueError, match="years 1 to 9999"):
        year_zero.run()


def test_typed_columns_convert_exactly():
    rules = px.Engine().compile("real r\nr = x\nn + 1", fields={"n": "integer", "x": "real"}, result="integer")
    frame = pd.DataFrame({"n": pd.array([1, None, 3], dtype="Int64"), "x": [0.1, np.nan, 19.99]})
    out = rules.run_batch(frame)
    assert out["result"].tolist() == [2, pd.NA, 4]
    assert out["r"].tolist() == [Decimal("0.1"), None, Decimal("19.99")]  # shortest text, not binary
    assert str(out["result"].dtype) == "Int64"
    times = pd.Series(pd.to_datetime(["2026-03-07 10:00:00.123", None]))
    dated = px.Engine().compile("d", fields={"d": "date"}, result="date").run_batch({"d": times})
    assert dated["result"].tolist()[0] == datetime(2026, 3, 7, 10, 0, 0, 123000) and dated["result"].isna()[1]


def test_missing_markers_are_null():
    rules = identity("integer")
    for marker in (None, pd.NA, float("nan")):
        assert rules.run(v=marker).value is None
    assert identity("date").run(v=pd.NaT).value is None


@pytest.mark.parametrize("type_name, value, error", [
    ("integer", 2**63, ValueError),
    ("integer", 1.5, ValueError),
    ("integer", "abc", ValueError),
    ("real", Decimal("1" * 53), ValueError),
    ("real", float("inf"), ValueError),
    ("real", Decimal("Infinity"), ValueError),
    ("string", "a\0b", ValueError),
    ("string", 42, TypeError),
    ("date", 3.5, TypeError),
    ("boolean", 2, ValueError),
])
def test_bad_values_raise(type_name, value, error):
    rules = identity(type_name)
    with pytest.raises(error):
        rules.run(v=value)
    with pytest.raises(error, match="row 1"):
        rules.run_batch({"v": [None, value]})


def test_text_converts_by_the_engine_rules():
    assert identity("integer").run(v="42").value == 42
    assert identity("real").run(v="1.50").value == Decimal("1.5")
    assert identity("date").run(v="2026-12-06 15:13:44").value == datetime(2026, 12, 6, 15, 13, 44)
    assert identity("boolean").run(v="yes").value is True
