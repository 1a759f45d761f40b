"""Exceptions raised by the package: where and why a program did not compile or run."""


class ExpressionError(Exception):
    """An engine error: its number, message and position in the program text (line and column
    from 1, or 0 when unknown)."""

    def __init__(self, code, message, line=0, column=0):
        super().__init__(code, message, line, column)
        self.code = code
        self.message = message
        self.line = line
        self.column = column

    def __str__(self):
        where = f" (line {self.line}, column {self.column})" if self.line else ""
        return f"error {self.code}: {self.message}{where}"


class CompileError(ExpressionError):
    """The program text does not compile."""


class RunError(ExpressionError):
    """A run failed. In a batch, `row` is the failing row's position (from 0), else None."""

    def __init__(self, code, message, line=0, column=0, row=None):
        super().__init__(code, message, line, column)
        self.args = (code, message, line, column, row)
        self.row = row

    def __str__(self):
        text = super().__str__()
        return text if self.row is None else f"{text} at row {self.row}"
