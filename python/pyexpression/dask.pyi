# Type stubs of pyexpression.dask.
from collections.abc import Mapping

import dask.dataframe as dd

from . import Dates, Decimals, Engine, OnError, TypeName

def apply(ddf: dd.DataFrame, text: str, fields: Mapping[str, TypeName], result: TypeName | None = ...,
          result_name: str = ..., on_error: OnError = ..., engine: Engine | None = ..., *, ordered: bool = ...,
          decimals: Decimals = ..., dates: Dates = ..., error_column: str | None = ..., global_rows: bool = ...,
          result_length: int | None = ...) -> dd.DataFrame: ...
