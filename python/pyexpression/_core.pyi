# Type stubs of the extension module pyexpression._core (used by the package's own layer).
from collections.abc import Mapping, Sequence
from typing import Any

BOOLEAN: int
INTEGER: int
REAL: int
STRING: int
DATE: int
CAP_PROCESS: int
CAP_FILE_READ: int
CAP_FILE_WRITE: int
CAP_ENVIRONMENT: int
CAP_LOCALE: int
CAP_SLEEP: int
CAP_VARIABLES: int
CAP_PSEUDO_FILES: int
CAP_ALL: int
LIMIT_MEMORY: int
LIMIT_STEPS: int
LIMIT_STRING: int
LIMIT_CALL_DEPTH: int
LIMIT_REGEX_MATCH: int
LIMIT_REGEX_DEPTH: int
LIMIT_SYMBOLS: int
LIMIT_PROGRAM: int
TRAIT_KEEPS_STATE: int
TRAIT_CALLS_HOST: int
E_SYMBOL_NOT_FOUND: int
E_FUNCTION_NOT_FOUND: int
E_UNKNOWN_FUNCTION: int
E_CAPABILITY_DENIED: int
E_DIVIDE_BY_ZERO: int
E_INTERRUPT: int
E_TEXT_CUT: int
MAX_RESULT_LENGTH: int

class Program:
    def __init__(self, *, text: str, fields: Sequence[tuple[str, int]], result_type: int, result_length: int,
                 result_name: str = ..., iso_dates: bool = ..., escaped_strings: bool = ..., tz_to_utc: bool = ...,
                 capabilities: int = ..., limits: Mapping[int, int] = ...,
                 functions: Sequence[Mapping[str, Any]] = ..., user_settings: bool = ...) -> None: ...
    def run(self, record: dict[str, Any]) -> tuple[Any, dict[str, Any], list[tuple[str, int]]]: ...
    def run_columns(self, columns: Sequence[tuple[Any, ...]], rows: int, *, on_error: str = ...,
                    decimals: str = ..., date_objects: bool = ..., min_ms: int = ..., max_ms: int = ...,
                    keep_all: bool = ...) -> dict[str, Any]: ...
    def cancel(self) -> None: ...
    @property
    def variables(self) -> list[tuple[str, str]]: ...
    @property
    def warnings(self) -> list[tuple[int, str, int, int]]: ...
    @property
    def traits(self) -> int: ...

def check_functions(functions: Sequence[Mapping[str, Any]]) -> None: ...
def library_version() -> str: ...
def type_name(type: int) -> str: ...
def format_excerpt(source: str, line: int, column: int) -> str: ...
def function_names() -> list[str]: ...
