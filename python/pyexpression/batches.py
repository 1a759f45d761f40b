"""Columns in and out of a batch: pandas, Arrow and numpy data to the buffers the extension
reads, and its output buffers to pandas' own dtypes."""
from collections.abc import Mapping

import numpy as np

ON_ERROR = ("raise", "null", "skip")
DECIMALS = ("decimal", "float", "str")
DATES = ("datetime64", "object")
TZ = (None, "utc")


def pandas_holds_only_ns():
    """Whether this pandas keeps datetime64 columns in nanoseconds only (pandas before 2.0), which
    hold the years 1678 to 2261 rather than the engine's 0 to 9999."""
    import pandas as pd
    return int(pd.__version__.split(".")[0]) < 2


# Milliseconds since 1970 that datetime64[ns] holds (the whole milliseconds inside its range).
NS_RANGE_MS = (-(2**63 - 1) // 1_000_000 + 1, (2**63 - 1) // 1_000_000)


def output_dtype(type_name, decimals="decimal", dates="datetime64"):
    """The pandas dtype of an output column of engine type `type_name`: nullable Int64 and
    boolean, string, datetime64 (milliseconds; nanoseconds before pandas 2.0), and for reals exact
    Decimal objects, float64 or string as `decimals` says."""
    if type_name == "real":
        return {"decimal": object, "float": "float64", "str": "string"}[decimals]
    if type_name == "date":
        if dates == "object":
            return object
        return "datetime64[ns]" if pandas_holds_only_ns() else "datetime64[ms]"
    return {"integer": "Int64", "boolean": "boolean", "string": "string"}[type_name]


def output_form(decimals, dates):
    """The extension's run_columns keywords for the output's form."""
    if decimals not in DECIMALS:
        raise ValueError(f"decimals must be one of {DECIMALS}, not {decimals!r}")
    if dates not in DATES:
        raise ValueError(f"dates must be one of {DATES}, not {dates!r}")
    form = {"decimals": decimals, "date_objects": dates == "object"}
    if dates == "datetime64" and pandas_holds_only_ns():
        form["min_ms"], form["max_ms"] = NS_RANGE_MS
    return form


def frame_length(data):
    """(rows, index) of a DataFrame, or of a mapping of equal-length sequences (index None)."""
    if hasattr(data, "index") and hasattr(data, "columns"):
        return len(data), data.index
    if not isinstance(data, Mapping):
        raise TypeError("run_batch takes a pandas DataFrame or Series, a mapping of column sequences, "
                        "or an iterable of DataFrames")
    lengths = {len(v) for v in data.values()}
    if len(lengths) > 1:
        raise ValueError("columns of different lengths")
    return (lengths.pop() if lengths else 0), None


def _typed(values):
    """The (kind, array, mask) triple for a numpy array, by dtype."""
    kind = values.dtype.kind
    if kind == "M":
        # Milliseconds, the part below dropped as the cast floors it; NaT stays NaT (null).
        return "ms", np.ascontiguousarray(values.astype("datetime64[ms]").view("int64")), None
    if kind == "b":
        return "bool", np.ascontiguousarray(values, dtype=bool), None
    if kind == "i" or (kind == "u" and values.dtype.itemsize < 8):
        return "int", np.ascontiguousarray(values, dtype=np.int64), None
    if kind == "f":
        return "float", np.ascontiguousarray(values, dtype=np.float64), None
    # Anything else (uint64 included, whose upper half no int64 holds) value by value.
    return "object", np.ascontiguousarray(values.astype(object)), None


def _arrow_chunks(values):
    """The Arrow string chunks behind a pandas column backed by Arrow (string[pyarrow] or an
    ArrowDtype of strings), as (validity, offsets, data, offset, length) numpy views of their
    buffers; None for any other column."""
    array = getattr(values, "array", values)
    chunked = getattr(array, "_pa_array", None)
    if chunked is None:
        chunked = getattr(array, "_data", None)
    if chunked is None or not hasattr(chunked, "chunks"):
        return None
    import pyarrow as pa
    if not (pa.types.is_string(chunked.type) or pa.types.is_large_string(chunked.type)):
        return None
    wide = pa.types.is_large_string(chunked.type)
    chunks = []
    for chunk in chunked.chunks:
        validity, offsets, data = chunk.buffers()
        chunks.append((
            None if validity is None or chunk.null_count == 0 else np.frombuffer(validity, dtype=np.uint8),
            np.frombuffer(offsets, dtype=np.int64 if wide else np.int32),
            np.frombuffer(data, dtype=np.uint8) if data is not None else np.empty(0, dtype=np.uint8),
            chunk.offset, len(chunk)))
    return chunks


def input_column(name, values, field_type, tz=None):
    """One column for the extension: typed arrays go as they are, Arrow strings as their buffers,
    anything else as objects with a null mask computed by pandas when the values came from
    pandas. Raises TypeError, naming the field, for a column that cannot be read without changing
    its values."""
    series_like = hasattr(values, "dtype") and hasattr(values, "isna")
    if not series_like:
        if isinstance(values, np.ndarray):
            return _typed(values)
        # A list goes as it is: numpy would inspect every element to guess a dtype.
        return "object", values if isinstance(values, (list, tuple)) else list(values), None
    import pandas as pd
    dtype = values.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        if tz != "utc":
            raise TypeError(f"field {name!r}: the column's datetimes carry the time zone {dtype.tz}, which a date "
                            "cannot hold; tz='utc' converts them to UTC")
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)
        dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biufM":
        return _typed(values.to_numpy())
    if field_type == "string" and (str(getattr(dtype, "storage", "")).startswith("pyarrow")
                                   or type(dtype).__name__ == "ArrowDtype"):
        chunks = _arrow_chunks(values)
        if chunks is not None:
            return "arrow", chunks, None
    if dtype == object or isinstance(dtype, pd.StringDtype):
        # The extension knows None, NaN, NA and NaT itself: no separate pass over the column.
        return "object", np.ascontiguousarray(values.to_numpy(dtype=object)), None
    mask = np.ascontiguousarray(values.isna().to_numpy(), dtype=bool)
    if pd.api.types.is_bool_dtype(dtype):
        return "bool", np.ascontiguousarray(values.to_numpy(dtype=bool, na_value=False)), mask
    if pd.api.types.is_unsigned_integer_dtype(dtype) and dtype.itemsize == 8:
        # Values above 2**63 - 1 must fail their rows, not wrap to negative numbers.
        return "object", np.ascontiguousarray(values.to_numpy(dtype=object, na_value=None)), None
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
    if kind == "ms":
        times = column[1].view("datetime64[ms]")
        return times.astype("datetime64[ns]") if pandas_holds_only_ns() else times
    if kind == "string":
        return pd.arrays.StringArray(column[1])
    return column[1]  # float64, or objects (Decimal, datetime) with None for null


def build_frame(names, out, index, with_result=True, error_texts=None):
    """The DataFrame of a batch's output on the input's index (the kept rows for on_error
    "skip"); `error_texts` ((name, {position: text})) adds the error column."""
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
    data = {n: pd.Series(a, index=index, copy=False) for n, a in zip(names, arrays)}
    if error_texts is not None:
        name, texts = error_texts
        errors = np.full(count, None, dtype=object)
        for position, text in texts.items():
            errors[position] = text
        data[name] = pd.Series(pd.arrays.StringArray(errors), index=index, copy=False)
    return pd.DataFrame(data, index=index)


def empty_frame(columns, index, decimals="decimal", dates="datetime64", error_column=None):
    """A DataFrame with the output columns' dtypes and no rows (Dask's meta)."""
    import pandas as pd
    data = {n: pd.Series([], dtype=output_dtype(t, decimals, dates)) for n, t in columns.items()}
    if error_column is not None:
        data[error_column] = pd.Series([], dtype="string")
    return pd.DataFrame(data, index=index)
