"""Engine settings, compiled rules and their runs."""
import difflib
import re
import warnings
from collections.abc import Iterable, Mapping
from typing import Any, NamedTuple

from . import _core
from .batches import (DATES, DECIMALS, ON_ERROR, TZ, build_frame, frame_length, input_column, output_dtype,
                      output_form)
from .errors import CompileError, TextCutWarning, failure_error, place

TYPES = {_core.type_name(code): code for code in (_core.BOOLEAN, _core.INTEGER, _core.REAL, _core.STRING, _core.DATE)}

CAPABILITIES = {
    "process": _core.CAP_PROCESS,
    "file_read": _core.CAP_FILE_READ,
    "file_write": _core.CAP_FILE_WRITE,
    "files": _core.CAP_FILE_READ | _core.CAP_FILE_WRITE,
    "environment": _core.CAP_ENVIRONMENT,
    "locale": _core.CAP_LOCALE,
    "sleep": _core.CAP_SLEEP,
    "variables": _core.CAP_VARIABLES,
    # Files of /proc, /sys and the other pseudo file systems (the process's memory and
    # environment among them), decided on the opened file; "all" does not include it.
    "pseudo_files": _core.CAP_PSEUDO_FILES,
}
# Denied unless allowed: starting processes, writing files, and changing the process-wide locale
# (which would change every other engine's dates in the process).
DENIED_BY_DEFAULT = _core.CAP_PROCESS | _core.CAP_FILE_WRITE | _core.CAP_LOCALE

LIMITS = {
    "memory": _core.LIMIT_MEMORY, "steps": _core.LIMIT_STEPS, "string": _core.LIMIT_STRING,
    "call_depth": _core.LIMIT_CALL_DEPTH, "regex_match": _core.LIMIT_REGEX_MATCH,
    "regex_depth": _core.LIMIT_REGEX_DEPTH, "symbols": _core.LIMIT_SYMBOLS, "program": _core.LIMIT_PROGRAM,
}
DEFAULT_LIMITS = {"memory": 1 << 30}

class Result(NamedTuple):
    """One run: the program's result and the values of the variables it declared."""
    value: Any
    variables: dict


class CompileWarning(NamedTuple):
    """Something the program says that its author almost certainly did not mean: the code (one
    of the library's EXP_W_* numbers, from 1001), the message, and its line and column."""
    code: int
    message: str
    line: int
    column: int


def _capabilities(allow, deny):
    """The capability bits from the default, widened by `allow` and narrowed by `deny`."""
    bits = _core.CAP_ALL & ~DENIED_BY_DEFAULT
    for names, add in ((allow, True), (deny, False)):
        for name in [names] if isinstance(names, str) else names:
            if name == "all":
                bits = (bits | _core.CAP_ALL) if add else 0
                continue
            if name not in CAPABILITIES:
                raise ValueError(f"unknown capability {name!r} (known: {', '.join(CAPABILITIES)}, or 'all')")
            bits = bits | CAPABILITIES[name] if add else bits & ~CAPABILITIES[name]
    return bits


def _limits(limits):
    """(code, value) pairs of the defaults updated by `limits`; None or 0 lifts a limit."""
    merged = dict(DEFAULT_LIMITS)
    merged.update(limits or {})
    out = []
    for name, value in merged.items():
        if name not in LIMITS:
            raise ValueError(f"unknown limit {name!r} (known: {', '.join(LIMITS)})")
        if value is not None and (not isinstance(value, int) or value < 0):
            raise ValueError(f"limit {name!r} must be a non-negative int or None")
        out.append((LIMITS[name], value or 0))
    return tuple(out)


def _type_code(name, what):
    if name not in TYPES:
        raise ValueError(f"{what}: unknown type {name!r} (types: {', '.join(TYPES)})")
    return TYPES[name]


DEFAULT_RESULT_LENGTH = 65535
KEPT_ERRORS = 100  # failures kept in a batch's attrs["errors"]


class Result(NamedTuple):
    """One run: the program's result and the values of the variables it declared."""
    value: Any
    variables: dict


class Engine:
    """Settings and host functions shared by the rules it compiles.

    allow / deny: capability names ("process", "files", "file_read", "file_write", "locale",
    "environment", "sleep", "variables", "pseudo_files") or "all". Starting processes, writing
    files and changing the locale are denied unless allowed. "pseudo_files" lets file built-ins
    reach /proc, /sys and the other pseudo file systems (the process's memory and environment
    among them); it is denied unless named, and "all" does not include it:
    allow={"all", "pseudo_files"} allows everything. limits: {"memory": bytes, "steps": per run, "string",
    "call_depth", "regex_match", "regex_depth", "symbols", "program"}; memory defaults to 1 GiB,
    None lifts a limit. tz: None refuses datetimes that carry a time zone (a date has none, and
    dropping the zone would make different instants equal); "utc" converts them to UTC first.
    user_settings: read the user's settings file (~/.config/expression/config), which may turn
    escaped strings on; off by default, so rules mean the same for every user.
    """

    def __init__(self, *, iso_dates=False, escaped_strings=False, allow=(), deny=(), limits=None, tz=None,
                 user_settings=False):
        if tz not in TZ:
            raise ValueError(f"tz must be None or 'utc', not {tz!r}")
        self._settings = {
            "iso_dates": bool(iso_dates),
            "escaped_strings": bool(escaped_strings),
            "tz_to_utc": tz == "utc",
            "capabilities": _capabilities(allow, deny),
            "limits": dict(_limits(limits)),
            "user_settings": bool(user_settings),
        }
        self._functions = []

    def register(self, name, func, args="", returns="s"):
        """Makes `func` callable from programs as `name`. args: one type letter per argument
        (b i r s d, or a for any; upper case refuses other types instead of converting), returns:
        one letter. The values follow the package's type mapping. Raises ValueError at once for
        a letter outside these, a name a built-in or an earlier register() has, or more than 64
        functions."""
        if not callable(func):
            raise TypeError("func must be callable")
        if not isinstance(name, str) or not isinstance(args, str):
            raise TypeError("name and args must be str")
        if not isinstance(returns, str) or len(returns) != 1:
            raise ValueError("returns must be one type letter")
        function = {"name": name, "func": func, "args": args, "returns": returns}
        _core.check_functions(self._functions + [function])
        self._functions.append(function)

    def compile(self, text, fields, result="string", result_name="result", strict=False, *,
                result_length=DEFAULT_RESULT_LENGTH):
        """Compiles `text` with `fields` ({name: type}) bound and returns its Rules; raises
        CompileError. result: the result's type, or None for no result column. A string result
        holds up to `result_length` characters (the result's buffer takes four bytes per
        character); a longer one fails its row with OutputError (code 113), never cut. The
        compiler's warnings are in rules.warnings; with strict=True the first one raises
        CompileError."""
        return Rules(self._state(), text, fields, result, result_name, strict, result_length)

    def _state(self):
        return (dict(self._settings), tuple(dict(f) for f in self._functions))


def _program(state, text, fields, result, result_name, result_length):
    settings, functions = state
    field_codes = [(name, _type_code(t, f"field {name!r}")) for name, t in fields.items()]
    try:
        # Without a result column, the program's last value is not output: its length is not checked.
        return _core.Program(text=text, fields=field_codes, result_type=_type_code(result or "string", "result"),
                             result_length=result_length if result is not None else 0, result_name=result_name,
                             functions=list(functions), **settings)
    except CompileError as error:
        error.hint = _hint(error, fields, [f["name"] for f in functions])
        error.args = error.args[:5] + (error.hint,)
        raise


def _hint(error, fields, functions):
    """What exprun would suggest for a compile error: the field or function name nearest to an
    unknown one, or the allow= a denied built-in needs; None when nothing applies."""
    quoted = re.search(r"'([^']+)'", error.message)
    if error.code == _core.E_CAPABILITY_DENIED:
        group = re.search(r"the '(\w+)' capability", error.message)
        if group and group.group(1) in CAPABILITIES:
            return f"engines deny it by default; Engine(allow={{{group.group(1)!r}}}) allows it"
        return "engines deny processes, file writes and locale changes by default; Engine(allow=...) allows them"
    if not quoted or error.code not in (_core.E_SYMBOL_NOT_FOUND, _core.E_FUNCTION_NOT_FOUND, _core.E_UNKNOWN_FUNCTION):
        return None
    known = list(fields) if error.code == _core.E_SYMBOL_NOT_FOUND else _core.function_names() + list(functions)
    lowered = {name.lower(): name for name in known}
    near = difflib.get_close_matches(quoted.group(1).lower(), list(lowered), n=1, cutoff=0.7)
    return f"did you mean `{lowered[near[0]]}`?" if near else None


def _warn_cuts(cuts, stacklevel):
    """Warns of the string variables a run cut to their length: (name, limit) from a single run,
    (name, limit, rows) from a batch. `stacklevel` points the warning at the user's call."""
    for cut in cuts:
        name, limit = cut[0], cut[1]
        where = f" in {cut[2]:,} row{'s' if cut[2] != 1 else ''}" if len(cut) > 2 else ""
        warnings.warn(TextCutWarning(f"{name!r} was cut to {limit:,} characters{where}; declare it string(n) "
                                     "with a larger n to keep the whole text"), stacklevel=stacklevel + 1)


def _is_stream(data):
    """Whether `data` is an iterable of DataFrames rather than one batch."""
    if hasattr(data, "columns") or hasattr(data, "dtype") or isinstance(data, (Mapping, str, bytes)):
        return False
    return isinstance(data, Iterable)


def _pieces(data, size):
    """Positional pieces of at most `size` rows of a DataFrame or a mapping of sequences."""
    rows, _ = frame_length(data)
    for start in range(0, rows, size):
        if hasattr(data, "iloc"):
            yield data.iloc[start:start + size]
        else:
            yield {k: (v.iloc if hasattr(v, "iloc") else v)[start:start + size] for k, v in data.items()}


class Rules:
    """A compiled program. Pickles as its source text, fields and settings, and compiles again
    where it is unpickled (static variables start afresh there). One thread runs it at a time;
    others wait. Runs release the GIL; Ctrl-C stops any run with KeyboardInterrupt and another
    thread may cancel() it, and the rules stay usable afterwards."""

    def __init__(self, state, text, fields, result="string", result_name="result", strict=False,
                 result_length=DEFAULT_RESULT_LENGTH):
        if not isinstance(fields, Mapping):
            raise TypeError("fields must be a mapping of name to type")
        if not isinstance(result_length, int) or not 1 <= result_length <= _core.MAX_RESULT_LENGTH:
            raise ValueError(f"result_length must be an int from 1 to {_core.MAX_RESULT_LENGTH}")
        self._state = state
        self.text = text
        self.fields = dict(fields)
        self.result = result
        self.result_name = result_name
        self.strict = bool(strict)
        self.result_length = result_length
        self._program = _program(state, text, self.fields, result, result_name, result_length)
        self.warnings = [CompileWarning(*w) for w in self._program.warnings]
        if self.strict and self.warnings:
            first = self.warnings[0]
            raise CompileError(first.code, first.message, first.line, first.column,
                               _core.format_excerpt(text, first.line, first.column))
        self.variables = dict(self._program.variables)
        if result is not None and result_name in self.variables:
            raise ValueError(f"the program declares {result_name!r}: choose another result_name")

    def __reduce__(self):
        return (Rules, (self._state, self.text, self.fields, self.result, self.result_name, self.strict,
                        self.result_length))

    @property
    def columns(self):
        """Output column names and types, in order: the result, then the declared variables."""
        out = {self.result_name: self.result} if self.result is not None else {}
        out.update(self.variables)
        return out

    def dtypes(self, decimals="decimal", dates="datetime64"):
        """The pandas dtypes of run_batch's output columns for these options."""
        return {name: output_dtype(t, decimals, dates) for name, t in self.columns.items()}

    @property
    def keeps_state(self):
        """Whether an answer may depend on earlier records (static variables, uniqueid, varset,
        vareval, files opened or written), as the compiler decided: the order and the split of
        the records then matter."""
        return bool(self._program.traits & _core.TRAIT_KEEPS_STATE)

    @property
    def calls_host(self):
        """Whether the program calls a function registered with Engine.register."""
        return bool(self._program.traits & _core.TRAIT_CALLS_HOST)

    def reset(self):
        """Clears the state kept from earlier runs: static variables start null again, as in
        freshly compiled rules. Wait for runs in other threads to end first."""
        self._program = _program(self._state, self.text, self.fields, self.result, self.result_name,
                                 self.result_length)

    def run(self, record=None, /, **values):
        """Runs once with the fields taken from `record` (a mapping) and keyword arguments.
        Returns Result(value, variables); raises InputError (a value that does not convert),
        RunError (the program failed) or OutputError (a value with no Python form). A text cut
        to the length of the string variable it was assigned to draws a TextCutWarning naming
        the variable (the result is never cut: a longer one is an OutputError)."""
        if record is not None and not isinstance(record, Mapping):
            raise TypeError("run takes a mapping of field values (and keyword arguments)")
        merged = dict(record or {})
        merged.update(values)
        value, variables, cuts = self._program.run(merged)
        _warn_cuts(cuts, stacklevel=2)
        return Result(value if self.result is not None else None, variables)

    def run_batch(self, data, on_error="raise", *, chunksize=None, decimals="decimal", dates="datetime64",
                  error_column=None):
        """Runs once per row of `data` and returns a DataFrame of the result and the declared
        variables on the input's index.

        data: a pandas DataFrame, a Series (named like a field, or any name for a one-field
        program), a mapping of equal-length sequences or arrays, or an iterable of DataFrames
        (such as read_csv(..., chunksize=N)).
        on_error: what a failing row gives: "raise" (the exception, with the row's position and
        index label), "null" (every output of the row null) or "skip" (the row left out). A row
        fails when the program fails (RunError), a field's value does not convert (InputError)
        or an output value has no form in its column (OutputError). With "null" or "skip", the
        frame's attrs["error_count"] counts the failures and attrs["errors"] keeps the first 100.
        error_column: a name for an extra string column holding each failed row's error (null
        for the others), which survives concatenation and Dask; needs on_error "null".
        chunksize: run N rows at a time and return an iterator of DataFrames, so that the output
        of a large input never exists as a whole; an iterable input is also run frame by frame.
        decimals: reals as exact Decimal ("decimal"), float64 ("float") or string ("str").
        dates: datetime64 ("datetime64": milliseconds, or nanoseconds before pandas 2.0, whose
        range is the years 1678 to 2261) or datetime objects ("object", years 1 to 9999); a date
        outside fails its row.
        Other columns come as Int64, boolean and string. Static variables keep their values
        from one call to the next (and from row to row) until reset().
        Texts cut to the length of the string variable they were assigned to (255 characters
        unless declared string(n)) are counted per variable over the rows that went through:
        attrs["cuts"] is {variable: rows} when there were any, and a TextCutWarning names each
        variable and its count (once per output frame)."""
        options = self._batch_options(on_error, decimals, dates, error_column)
        if chunksize is not None and (not isinstance(chunksize, int) or chunksize < 1):
            raise ValueError("chunksize must be a positive int")
        if chunksize is not None or _is_stream(data):
            return self._stream(data, chunksize, options)
        return self._run_frame(data, options)

    def cancel(self):
        """Stops the run or batch in progress (from any thread) with RunError."""
        self._program.cancel()

    # ---- batches ------------------------------------------------------------------------------

    def _batch_options(self, on_error, decimals, dates, error_column):
        if on_error not in ON_ERROR:
            raise ValueError(f"on_error must be one of {ON_ERROR}")
        if decimals not in DECIMALS or dates not in DATES:
            output_form(decimals, dates)  # raises, naming the option
        if error_column is not None:
            if on_error == "skip":
                raise ValueError("error_column needs on_error='null': a skipped row leaves no row to hold its error")
            if error_column in self.columns:
                raise ValueError(f"error_column {error_column!r} is already an output column")
        return {"on_error": on_error, "form": output_form(decimals, dates), "error_column": error_column}

    def _stream(self, data, chunksize, options):
        frames = data if _is_stream(data) else [data]
        offset = 0
        for frame in frames:
            for piece in (_pieces(frame, chunksize) if chunksize else [frame]):
                out = self._run_frame(piece, options, offset)
                offset += frame_length(self._as_columns(piece))[0]
                yield out

    def _as_columns(self, data):
        """A Series as a one-column frame named for its field."""
        if hasattr(data, "dtype") and hasattr(data, "to_frame"):
            if data.name in self.fields:
                return data.to_frame()
            if len(self.fields) == 1:
                return data.to_frame(name=next(iter(self.fields)))
            raise ValueError(f"a Series named {data.name!r} is none of the fields {list(self.fields)}")
        return data

    def _run_frame(self, data, options, offset=0, partition=None, start=None):
        """Runs one batch; `offset` is its first row's position in the whole input, `partition`
        and `start` the Dask partition and its first row's global position, for errors."""
        data = self._as_columns(data)
        rows, index = frame_length(data)
        missing = [name for name in self.fields if name not in data]
        if missing:
            raise KeyError(f"input has no column {missing[0]!r}")
        tz = "utc" if self._state[0]["tz_to_utc"] else None
        columns = [input_column(name, data[name], t, tz) for name, t in self.fields.items()]
        error_column = options["error_column"]
        out = self._program.run_columns(columns, rows, on_error=options["on_error"],
                                        keep_all=error_column is not None, **options["form"])
        if out["stop"] is not None:
            error = place(failure_error(out["stop"]), offset, index, partition, start)
            if out["cause"] is not None:
                raise error from out["cause"]
            raise error
        texts = None
        if error_column is not None:
            # With "null" the output keeps every row: a failure's position is its row.
            texts = (error_column, {f[-1]: failure_error(f).reason() for f in out["failures"]})
        frame = build_frame(list(self.columns), out, index, self.result is not None, texts)
        if options["on_error"] != "raise":
            frame.attrs["errors"] = [place(failure_error(f), offset, index, partition, start)
                                     for f in out["failures"][:KEPT_ERRORS]]
            frame.attrs["error_count"] = out["failure_count"]
        if out["cuts"]:
            frame.attrs["cuts"] = {name: rows for name, _, rows in out["cuts"]}
            _warn_cuts(out["cuts"], stacklevel=3)
        return frame
