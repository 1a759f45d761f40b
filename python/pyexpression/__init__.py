"""Per-record rules for Python: compile a program once, run it on records, DataFrames and Dask.

    import pyexpression as px
    eng = px.Engine(iso_dates=True)
    rules = eng.compile("qty * price", fields={"qty": "integer", "price": "real"}, result="real")
    rules.run({"qty": 2, "price": Decimal("19.99")})     # Result(value=Decimal('39.98'), variables={})
    rules.run_batch(df)                                  # DataFrame of the result and the variables
"""
from .errors import CompileError, ExpressionError, InputError, OutputError, RunError, TextCutWarning
from .engine import CompileWarning, Engine, Result, Rules
from ._core import library_version

__all__ = ["Engine", "Rules", "Result", "CompileWarning", "CompileError", "RunError", "InputError", "OutputError",
           "ExpressionError", "TextCutWarning", "library_version"]
