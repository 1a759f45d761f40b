"""Engine settings, compiled rules and their runs."""
from collections.abc import Mapping
from typing import Any, NamedTuple

from . import _core
from .batches import build_frame, input_column, frame_length

TYPES = {"boolean": _core.BOOLEAN, "integer": _core.INTEGER, "real": _core.REAL,
         "string": _core.STRING, "date": _core.DATE}

CAPABILITIES = {
    "process": _core.CAP_PROCESS,
    "file_read": _core.CAP_FILE_READ,
    "file_write": _core.CAP_FILE_WRITE,
    "files": _core.CAP_FILE_READ | _core.CAP_FILE_WRITE,
    "environment": _core.CAP_ENVIRONMENT,
    "locale": _core.CAP_LOCALE,
    "sleep": _core.CAP_SLEEP,
    "variables": _core.CAP_VARIABLES,
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

ON_ERROR = ("raise", "null", "skip")


class Result(NamedTuple):
    """One run: the program's result and the values of the variables it declared."""
    value: Any
    variables: dict


def _capabilities(allow, deny):
    """The capability bits from the default, widened by `allow` and narrowed by `deny`."""
    bits = _core.CAP_ALL & ~DENIED_BY_DEFAULT
    for names, add in ((allow, True), (deny, False)):
        if names == "all":
            bits = _core.CAP_ALL if add else 0
            continue
        for name in [names] if isinstance(names, str) else names:
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


class Engine:
    """Settings and host functions shared by the rules it compiles.

    allow / deny: capability names ("process", "files", "file_read", "file_write", "locale",
    "environment", "sleep", "variables") or "all". Starting processes, writing files and changing
    the locale are denied unless allowed. limits: {"memory": bytes, "steps": per run, "string",
    "call_depth", "regex_match", "regex_depth", "symbols", "program"}; memory defaults to 1 GiB,
    None lifts a limit. user_settings: read the user's settings file (~/.config/expression/config),
    which may turn escaped strings on; off by default, so rules mean the same for every user.
    """

    def __init__(self, *, iso_dates=False, escaped_strings=False, allow=(), deny=(), limits=None,
                 user_settings=False):
        self._settings = {
            "iso_dates": bool(iso_dates),
            "escaped_strings": bool(escaped_strings),
            "capabilities": _capabilities(allow, deny),
            "limits": _limits(limits),
            "user_settings": bool(user_settings),
        }
        self._functions = []

    def register(self, name, func, args="", returns="s"):
        """Makes `func` callable from programs as `name`. args: one type letter per argument
        (b i r s d, or a for any; upper case refuses other types instead of converting), returns:
        one letter. The values follow the package's type mapping."""
        if not callable(func):
            raise TypeError("func must be callable")
        if not isinstance(returns, str) or len(returns) != 1:
            raise ValueError("returns must be one type letter")
        self._functions.append((name, func, args, returns))

    def compile(self, text, fields, result="string", result_name="result"):
        """Compiles `text` with `fields` ({name: type}) bound; raises CompileError."""
        return Rules(self._state(), text, fields, result, result_name)

    def _state(self):
        return (dict(self._settings), tuple(self._functions))


def _program(state, text, fields, result):
    settings, functions = state
    field_codes = [(name, _type_code(t, f"field {name!r}")) for name, t in fields.items()]
    return _core.Program(text, field_codes, _type_code(result or "string", "result"), settings["iso_dates"],
                         settings["escaped_strings"], settings["capabilities"], list(settings["limits"]),
                         list(functions), user_settings=settings.get("user_settings", False))


class Rules:
    """A compiled program. Pickles as its source text, fields and settings, and compiles again
    where it is unpickled. One thread runs it at a time; others wait."""

    def __init__(self, state, text, fields, result="string", result_name="result"):
        if not isinstance(fields, Mapping):
            raise TypeError("fields must be a mapping of name to type")
        self._state = state
        self.text = text
        self.fields = dict(fields)
        self.result = result
        self.result_name = result_name
        self._program = _program(state, text, self.fields, result)
        self.variables = dict(self._program.variables)
        if result is not None and result_name in self.variables:
            raise ValueError(f"the program declares {result_name!r}: choose another result_name")

    def __reduce__(self):
        return (Rules, (self._state, self.text, self.fields, self.result, self.result_name))

    @property
    def columns(self):
        """Output column names and types, in order: the result, then the declared variables."""
        out = {self.result_name: self.result} if self.result is not None else {}
        out.update(self.variables)
        return out

    def run(self, record=None, /, **values):
        """Runs once with the fields taken from `record` (a mapping) and keyword arguments.
        Returns Result(value, variables); raises RunError."""
        if record is not None and not isinstance(record, Mapping):
            raise TypeError("run takes a mapping of field values (and keyword arguments)")
        merged = dict(record or {})
        merged.update(values)
        value, variables = self._program.run(merged)
        return Result(value if self.result is not None else None, variables)

    def run_batch(self, data, on_error="raise"):
        """Runs once per row of `data` (a pandas DataFrame, or a mapping of equal-length
        sequences) and returns a DataFrame of the result and the declared variables, on the
        input's index. on_error: "raise" (RunError with the row), "null" (the row's result is
        null) or "skip" (the row is left out); the failures are then in df.attrs["errors"]
        (the first 100) and df.attrs["error_count"]."""
        if on_error not in ON_ERROR:
            raise ValueError(f"on_error must be one of {ON_ERROR}")
        rows, index = frame_length(data)
        missing = [name for name in self.fields if name not in data]
        if missing:
            raise KeyError(f"input has no column {missing[0]!r}")
        columns = [input_column(data[name]) for name in self.fields]
        out = self._program.run_columns(columns, rows, on_error)
        return build_frame(self.columns, out, index, on_error, self.result is not None)

    def cancel(self):
        """Stops the run or batch in progress (from any thread) with RunError."""
        self._program.cancel()
