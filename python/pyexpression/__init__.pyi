# Type stubs of the public API (pyexpression/__init__.py and the modules it re-exports).
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, Literal, NamedTuple, overload

import pandas as pd

from .errors import CompileError as CompileError
from .errors import ExpressionError as ExpressionError
from .errors import InputError as InputError
from .errors import OutputError as OutputError
from .errors import RunError as RunError
from .errors import TextCutWarning as TextCutWarning

TypeName = Literal["boolean", "integer", "real", "string", "date"]
Capability = Literal["process", "file_read", "file_write", "files", "environment", "locale", "sleep", "variables",
                     "pseudo_files"]
OnError = Literal["raise", "null", "skip"]
Decimals = Literal["decimal", "float", "str"]
Dates = Literal["datetime64", "object"]
BatchInput = pd.DataFrame | pd.Series | Mapping[str, Any]

class Result(NamedTuple):
    value: Any
    variables: dict[str, Any]

class CompileWarning(NamedTuple):
    code: int
    message: str
    line: int
    column: int

class Engine:
    def __init__(self, *, iso_dates: bool = ..., escaped_strings: bool = ...,
                 allow: Capability | Literal["all"] | Iterable[Capability | Literal["all"]] = ...,
                 deny: Capability | Literal["all"] | Iterable[Capability | Literal["all"]] = ...,
                 limits: Mapping[str, int | None] | None = ..., tz: Literal["utc"] | None = ...,
                 user_settings: bool = ...) -> None: ...
    def register(self, name: str, func: Callable[..., Any], args: str = ..., returns: str = ...) -> None: ...
    def compile(self, text: str, fields: Mapping[str, TypeName], result: TypeName | None = ...,
                result_name: str = ..., strict: bool = ..., *, result_length: int = ...) -> Rules: ...

class Rules:
    text: str
    fields: dict[str, TypeName]
    result: TypeName | None
    result_name: str
    result_length: int
    strict: bool
    variables: dict[str, TypeName]
    warnings: list[CompileWarning]
    @property
    def columns(self) -> dict[str, TypeName]: ...
    @property
    def keeps_state(self) -> bool: ...
    @property
    def calls_host(self) -> bool: ...
    def dtypes(self, decimals: Decimals = ..., dates: Dates = ...) -> dict[str, Any]: ...
    def reset(self) -> None: ...
    def run(self, record: Mapping[str, Any] | None = ..., /, **values: Any) -> Result: ...
    @overload
    def run_batch(self, data: BatchInput, on_error: OnError = ..., *, chunksize: None = ...,
                  decimals: Decimals = ..., dates: Dates = ..., error_column: str | None = ...) -> pd.DataFrame: ...
    @overload
    def run_batch(self, data: BatchInput | Iterable[pd.DataFrame], on_error: OnError = ..., *, chunksize: int,
                  decimals: Decimals = ..., dates: Dates = ...,
                  error_column: str | None = ...) -> Iterator[pd.DataFrame]: ...
    @overload
    def run_batch(self, data: Iterable[pd.DataFrame], on_error: OnError = ..., *, chunksize: int | None = ...,
                  decimals: Decimals = ..., dates: Dates = ...,
                  error_column: str | None = ...) -> Iterator[pd.DataFrame]: ...
    def cancel(self) -> None: ...

def library_version() -> str: ...

__all__ = ["Engine", "Rules", "Result", "CompileWarning", "CompileError", "RunError", "InputError", "OutputError",
           "ExpressionError", "TextCutWarning", "library_version"]
