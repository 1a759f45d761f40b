"""Exceptions raised by the package: where and why a program did not compile or run.

Every exception pickles with all its attributes, so an error raised on a Dask worker reaches the
client whole."""


class ExpressionError(Exception):
    """An engine error: its number, message and position in the program text (line and column
    from 1, or 0 when unknown)."""

    def __init__(self, code, message, line=0, column=0):
        super().__init__(code, message, line, column)
        self.code = code
        self.message = message
        self.line = line
        self.column = column

    def reason(self):
        """The error without where in the data it happened."""
        where = f" (line {self.line}, column {self.column})" if self.line else ""
        return f"error {self.code}: {self.message}{where}"

    def __str__(self):
        return self.reason()


class CompileError(ExpressionError):
    """The program text does not compile (or, with strict=True, draws a warning). `excerpt` is the
    program's line at the error with a caret under the column, as exprun shows it ("" without a
    position); `hint` a suggestion such as the field or function name nearest to an unknown one,
    or None. str() shows the message, the excerpt and the hint."""

    def __init__(self, code, message, line=0, column=0, excerpt="", hint=None):
        super().__init__(code, message, line, column)
        self.excerpt = excerpt
        self.hint = hint
        self.args = (code, message, line, column, excerpt, hint)

    def __str__(self):
        parts = [self.reason()]
        if self.excerpt:
            parts.append(self.excerpt.rstrip("\n"))
        if self.hint:
            parts.append(f"hint: {self.hint}")
        return "\n".join(parts)


class TextCutWarning(UserWarning):
    """A text was cut to the length of the string variable it was assigned to (a declared
    `string` holds 255 characters; `string(n)` holds n). Rules.run warns for each variable a run
    cut; run_batch warns once per variable and output frame with the number of rows, which the
    frame's attrs["cuts"] ({variable: rows}) also holds."""


class RunError(ExpressionError):
    """A run failed. In a batch, `row` is the failing row's position (from 0) in the data given
    to run_batch (across all its chunks) and `label` its index label; on Dask, `partition` is the
    partition's number, `row` the position within it, and `global_row` the position in the whole
    frame when it is known (apply(..., global_rows=True)). Each is None when it does not apply."""

    def __init__(self, code, message, line=0, column=0, row=None, label=None, partition=None, global_row=None):
        super().__init__(code, message, line, column)
        self.row = row
        self.label = label
        self.partition = partition
        self.global_row = global_row
        self.args = self._arguments()

    def _arguments(self):
        # What __init__ takes, so that the exception pickles (with its attributes) and reprs whole.
        return (self.code, self.message, self.line, self.column, self.row, self.label, self.partition, self.global_row)

    def where(self):
        """Where in the data the failure happened, as text ("" for a single run)."""
        parts = []
        if self.row is not None:
            parts.append(f"at row {self.row}")
            if self.label is not None and self.label != self.row:
                parts.append(f"(index label {self.label!r})")
        if self.partition is not None:
            parts.append(f"in partition {self.partition}")
        if self.global_row is not None:
            parts.append(f"(row {self.global_row} of the whole frame)")
        return " ".join(parts)

    def __str__(self):
        where = self.where()
        return f"{self.reason()} {where}" if where else self.reason()


class InputError(RunError, ValueError, TypeError):
    """A field's value does not convert to the field's type, so the row did not run: `field`
    names the field and `text` shows the value. It is also a ValueError and a TypeError, which
    earlier versions raised for such values."""

    def __init__(self, field, text, message, row=None, label=None, partition=None, global_row=None):
        self.field = field
        self.text = text
        RunError.__init__(self, 0, message, 0, 0, row, label, partition, global_row)

    def _arguments(self):
        return (self.field, self.text, self.message, self.row, self.label, self.partition, self.global_row)

    def reason(self):
        return f"field {self.field!r}: {self.message}"


class OutputError(RunError, ValueError):
    """The row ran, but a value it produced has no form in its output column (a date pandas or
    datetime cannot hold, a real beyond float64 with decimals="float", a string result longer
    than the result limit: code 113). `output` names the output column. Also a ValueError."""

    def __init__(self, output, message, row=None, label=None, partition=None, global_row=None, code=0):
        self.output = output
        RunError.__init__(self, code, message, 0, 0, row, label, partition, global_row)

    def _arguments(self):
        return (self.output, self.message, self.row, self.label, self.partition, self.global_row, self.code)

    def reason(self):
        return f"output {self.output!r}: {self.message}"


def failure_error(failure):
    """The exception for a failure tuple of the extension: (kind, code, message, line, column,
    name, text, row)."""
    kind, code, message, line, column, name, text, row = failure
    if kind == "input":
        return InputError(name, text, message, row)
    if kind == "output":
        return OutputError(name, message, row, code=code)
    return RunError(code, message, line, column, row)


def place(error, offset=0, index=None, partition=None, start=None):
    """Sets where a batch's failure happened: its row (moved by `offset`), its index label (the
    row's entry of `index`, the batch's own rows), its partition and its global position (the
    partition's first row at `start`)."""
    if error.row is None:
        return error
    local = error.row
    error.row = local + offset
    error.label = index[local] if index is not None else error.row
    error.partition = partition
    error.global_row = start + error.row if start is not None else None
    error.args = error._arguments()
    return error
