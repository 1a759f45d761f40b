"""Rules over Dask DataFrames: one compiled engine per worker process (one per thread running in
it at once), reused by every partition the process gets."""
import pickle
import threading

from .batches import empty_frame
from .engine import Engine, ON_ERROR

# Per process: pickled rules -> compiled copies not in use. Partitions borrow a copy and give it
# back, so concurrent worker threads never wait for one another and nothing recompiles.
_idle = {}
_idle_lock = threading.Lock()
_MAX_PROGRAMS = 16  # distinct programs kept per process


def _borrow(packed):
    with _idle_lock:
        copies = _idle.get(packed)
        if copies:
            return copies.pop()
    return pickle.loads(packed)


def _give_back(packed, rules):
    with _idle_lock:
        if packed not in _idle and len(_idle) >= _MAX_PROGRAMS:
            _idle.pop(next(iter(_idle)))
        _idle.setdefault(packed, []).append(rules)


def _run_partition(frame, packed, on_error):
    rules = _borrow(packed)
    try:
        return rules.run_batch(frame, on_error=on_error)
    finally:
        _give_back(packed, rules)


def apply(ddf, text, fields, result="string", result_name="result", on_error="raise", engine=None):
    """Runs the program over every row of the Dask DataFrame `ddf` and returns a lazy Dask
    DataFrame of the result and the declared variables, partitioned like `ddf`. The program is
    compiled here first, so compile errors show at once and the output columns are known
    without running anything; `engine` (default Engine()) gives the settings and host
    functions, which must pickle."""
    if on_error not in ON_ERROR:
        raise ValueError(f"on_error must be one of {ON_ERROR}")
    rules = (engine or Engine()).compile(text, fields, result=result, result_name=result_name)
    packed = pickle.dumps(rules)
    meta = empty_frame(rules.columns, ddf._meta.index)
    return ddf.map_partitions(_run_partition, packed, on_error, meta=meta, align_dataframes=False)
