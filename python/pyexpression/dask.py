"""Rules over Dask DataFrames: one compiled engine per worker process (one per thread running in
it at once), reused by every partition the process gets."""
import pickle
import threading

from .batches import empty_frame
from .engine import Engine

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


def _run_partition(frame, packed, options, starts, partition_info=None):
    number = partition_info["number"] if partition_info else None
    start = starts[number] if starts is not None and number is not None else None
    rules = _borrow(packed)
    try:
        return rules._run_frame(frame, options, partition=number, start=start)
    finally:
        _give_back(packed, rules)


def _run_in_order(frames, packed, options, starts):
    # Freshly unpickled rules: state starts empty and flows from each partition to the next.
    rules = pickle.loads(packed)
    return [rules._run_frame(frame, options, partition=number, start=starts[number] if starts is not None else None)
            for number, frame in enumerate(frames)]


def _partition_starts(ddf):
    """Each partition's first row's position in the whole frame (computes the lengths)."""
    import numpy as np
    lengths = ddf.map_partitions(len).compute()
    return [int(s) for s in np.concatenate([[0], np.cumsum(lengths)[:-1]])]


def apply(ddf, text, fields, result="string", result_name="result", on_error="raise", engine=None, *,
          ordered=False, decimals="decimal", dates="datetime64", error_column=None, global_rows=False,
          result_length=None):
    """Runs the program over every row of the Dask DataFrame `ddf` and returns a lazy Dask
    DataFrame of the result and the declared variables, partitioned like `ddf`. The program is
    compiled here first, so compile errors show at once and the output columns are known
    without running anything; `engine` (default Engine()) gives the settings and host
    functions, which must pickle.

    on_error, decimals, dates and error_column are run_batch's. A failure names its partition
    and its row within it; global_rows=True computes the partitions' lengths first (one more
    pass over the input) so that it also gives the row's position in the whole frame. To learn
    of the failures that "null" turns into nulls, set error_column and count its non-null values
    after compute(): the frames' attrs do not survive Dask.

    A program that keeps state from one record to the next (static variables, uniqueid, varset,
    vareval, files; see Rules.keeps_state) would answer differently by how Dask splits and
    schedules the partitions, so it is refused unless ordered=True: the partitions then run one
    after another in their order, in one task, with the state flowing from each to the next
    (that task holds the whole input and output at once)."""
    engine = engine or Engine()
    options_rules = {} if result_length is None else {"result_length": result_length}
    rules = engine.compile(text, fields, result=result, result_name=result_name, **options_rules)
    options = rules._batch_options(on_error, decimals, dates, error_column)
    if rules.keeps_state and not ordered:
        raise ValueError("the program keeps state from one record to the next (a static variable, or uniqueid, "
                         "varset, vareval or a file), so its answers would depend on how Dask splits and schedules "
                         "the partitions; pass ordered=True to run them one after another in order")
    packed = pickle.dumps(rules)
    meta = empty_frame(rules.columns, ddf._meta.index, decimals, dates, error_column)
    starts = _partition_starts(ddf) if global_rows else None
    if not ordered:
        return ddf.map_partitions(_run_partition, packed, options, starts, meta=meta, align_dataframes=False)
    import dask
    import dask.dataframe as dd
    from operator import getitem
    results = dask.delayed(_run_in_order, pure=False)(ddf.to_delayed(), packed, options, starts)
    parts = [dask.delayed(getitem, pure=False)(results, i) for i in range(ddf.npartitions)]
    return dd.from_delayed(parts, meta=meta, divisions=ddf.divisions, verify_meta=False)
