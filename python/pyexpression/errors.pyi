# Type stubs of pyexpression.errors.
from typing import Any

class ExpressionError(Exception):
    code: int
    message: str
    line: int
    column: int
    def __init__(self, code: int, message: str, line: int = ..., column: int = ...) -> None: ...
    def reason(self) -> str: ...

class CompileError(ExpressionError):
    excerpt: str
    hint: str | None
    def __init__(self, code: int, message: str, line: int = ..., column: int = ..., excerpt: str = ...,
                 hint: str | None = ...) -> None: ...

class TextCutWarning(UserWarning): ...

class RunError(ExpressionError):
    row: int | None
    label: Any
    partition: int | None
    global_row: int | None
    def __init__(self, code: int, message: str, line: int = ..., column: int = ..., row: int | None = ...,
                 label: Any = ..., partition: int | None = ..., global_row: int | None = ...) -> None: ...
    def where(self) -> str: ...

class InputError(RunError, ValueError, TypeError):
    field: str
    text: str
    def __init__(self, field: str, text: str, message: str, row: int | None = ..., label: Any = ...,
                 partition: int | None = ..., global_row: int | None = ...) -> None: ...

class OutputError(RunError, ValueError):
    output: str
    def __init__(self, output: str, message: str, row: int | None = ..., label: Any = ...,
                 partition: int | None = ..., global_row: int | None = ..., code: int = ...) -> None: ...

def failure_error(failure: tuple[Any, ...]) -> RunError: ...
def place(error: RunError, offset: int = ..., index: Any = ..., partition: int | None = ...,
          start: int | None = ...) -> RunError: ...
