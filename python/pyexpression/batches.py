"""Columns in and out of a batch: pandas and numpy data to the buffers the extension reads, and
its output buffers to a DataFrame."""
from collections.abc import Mapping

import numpy as np

from .errors import RunError

# Output dtypes by engine type: nullable integers and booleans; exact objects for the rest
# (Decimal, str, datetime: datetime64 cannot hold the engine's years 0 to 9999).
OUTPUT_DTYPES = {"integer": "Int64", "boolean": "boolean", "real": object, "string": object, "date": object}


def frame_length(data):
    """(rows, index) of a DataFrame, or of a mapping of equal-length sequences (index None)."""
    if hasattr(data, "index") and hasattr(data, "columns"):
        return len(data), data.index
    if not isinstance(data, Mapping):
        raise TypeError("run_batch takes a pandas DataFrame or a mapping of column sequences")
    lengths = {len(v) for v in data.values()}
    if len(lengths) > 1:
        raise ValueError("columns of different lengths")
    return (lengths.pop() if lengths else 0), None


def _typed(values, mask=None):
    """The (kind, array, mask) triple for a numpy array, by dtype."""
    kind = values.dtype.kind
    if kind == "M":
        ns = values.astype("datetime64[ns]").view("int64")
        nat = np.isnat(values)
        ms = (ns + 500_000) // 1_000_000  # the engine keeps dates to the millisecond
        return "ms", np.ascontiguousarray(ms), nat if mask is None else (nat | mask)
    if kind == "b":
        return "bool", np.ascontiguousarray(values, dtype=bool), mask
    if kind == "i" or (kind == "u" and values.dtype.itemsize < 8):
        return "int", np.ascontiguousarray(values, dtype=np.int64), mask
    if kind == "f":
        return "float", np.ascontiguousarray(values, dtype=np.float64), mask
    return "object", np.ascontiguousarray(values.astype(object)), mask


def input_column(values):
    """One column for the extension: typed arrays go as they are, anything else as objects with
    a null mask computed by pandas when the values came from pandas."""
    series_like = hasattr(values, "dtype") and hasattr(values, "isna")
    if not series_like:
        if isinstance(values, np.ndarray):
            return _typed(values)
        # A list goes as it is: numpy would inspect every element to guess a dtype.
        return "object", values if isinstance(values, (list, tuple)) else list(values), None
    import pandas as pd
    dtype = values.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        values = values.dt.tz_localize(None)  # the wall-clock time, as written
        dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biufM":
        return _typed(values.to_numpy())
    if dtype == object or isinstance(dtype, pd.StringDtype):
        # The extension knows None, NaN, NA and NaT itself: no separate pass over the column.
        return "object", np.ascontiguousarray(values.to_numpy(dtype=object)), None
    mask = np.ascontiguousarray(values.isna().to_numpy(), dtype=bool)
    if pd.api.types.is_bool_dtype(dtype):
        return "bool", np.ascontiguousarray(values.to_numpy(dtype=bool, na_value=False)), mask
    if pd.api.types.is_integer_dtype(dtype):
        return "int", np.ascontiguousarray(values.to_numpy(dtype=np.int64, na_value=0)), mask
    if pd.api.types.is_float_dtype(dtype):
        return "float", np.ascontiguousarray(values.to_numpy(dtype=np.float64, na_value=np.nan)), mask
    return "object", np.ascontiguousarray(values.to_numpy(dtype=object)), mask


def _output_array(column):
    import pandas as pd
    kind = column[0]
    if kind == "int":
        return pd.arrays.IntegerArray(column[1], column[2])
    if kind == "bool":
        return pd.arrays.BooleanArray(column[1], column[2])
    return column[1]


def build_frame(names, out, index, on_error, with_result):
    """The DataFrame of a batch's output on the input's index (the kept rows for on_error
    "skip")."""
    import pandas as pd
    arrays = [_output_array(c) for c in out["columns"]]
    count = len(arrays[0])
    if not with_result:
        arrays = arrays[1:]
    rows = out["rows"]
    if index is None:
        index = pd.RangeIndex(count) if rows is None else pd.Index(rows)
    elif rows is not None:
        index = index[rows]
    # Object columns are given their dtype: pandas would otherwise turn datetimes into
    # datetime64, which holds neither the engine's range nor None.
    frame = pd.DataFrame({n: pd.Series(a, index=index, dtype=a.dtype, copy=False) for n, a in zip(names, arrays)},
                         index=index)
    if on_error != "raise":
        frame.attrs["errors"] = [RunError(*e) for e in out["errors"]]
        frame.attrs["error_count"] = out["error_count"]
    return frame


def empty_frame(names, index):
    """A DataFrame with the output columns' dtypes and no rows (Dask's meta)."""
    import pandas as pd
    return pd.DataFrame({n: pd.Series([], dtype=OUTPUT_DTYPES[t]) for n, t in names.items()}, index=index)
