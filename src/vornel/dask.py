"""Summaries of one-dimensional dask arrays, with bits that do not depend on the scheduler.

Each chunk's records are made with the accumulators' own loops (`vornel.state.summarise`,
or `summarise_grouped` in one task per chunk; a stream's chunks go through
`summarise_many` in tasks of `CHUNKS_PER_TASK` consecutive chunks, one interleaved loop
that gives each chunk the bits it has alone); the records are then merged with `vornel.state.merge_records` in a
tree of fixed shape: the chunk records, in chunk order, are cut into runs of `split_every`;
each run of two or more becomes one merge node (a copy of its first record with the others
merged into it from left to right), a run of one passes up as it is, and the next level
does the same with the results until one is left. Only records (small NumPy arrays) travel
between tasks.

The tree depends on nothing but the number of chunks and `split_every` (whose default is
this module's `SPLIT_EVERY`, never dask's configuration), and each node merges in chunk
order. So for the same chunking and `split_every` the result is the same bit for bit under
every scheduler: synchronous, threads, processes, or a `distributed` cluster with any
number of workers. Counts, minima and maxima equal those of one sequential `add_values`
over all values; sums, means and variances agree with it up to rounding, and change in
their last bits with the chunking or `split_every`.

Needs the optional dependencies: `pip install 'vornel[dask]'`.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, cast, overload

import numpy as np

try:
    from dask.array.core import Array
    from dask.base import tokenize
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from dask.typing import DaskCollection
    from dask.typing import Key as DaskKey
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError(
        "vornel.dask needs dask and distributed: pip install 'vornel[dask]'") from e

from vornel._cycore import CyGroupedStreamStats, CyStreamStats
from vornel._sketch import GroupedQuantileSketch, QuantileSketch
from vornel.state import (empty_records, from_records, merge_records, summarise, summarise_grouped,
                          summarise_many)

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from vornel.table import Summary

__all__ = ["SPLIT_EVERY", "stream_stats", "grouped_stats", "quantiles", "grouped_quantiles",
           "describe"]

# Children per merge node when split_every is None. Fixed here rather than read from dask's
# configuration, so that the bits of a result never depend on a user's settings.
SPLIT_EVERY = 8

# Consecutive chunks of a stream summarised in one task. A core runs the update chains of
# several chunks at once (each waits on its own division), so a task of four chunks takes
# about as long as a task of one and a half; the bits do not depend on it.
CHUNKS_PER_TASK = 4

_MAX_GROUPS = 2**31 - 1
_ID_DTYPES = (np.dtype(np.int32), np.dtype(np.int64))

_NodeKey = tuple[str, int, int]


# ---------------------------------------------------------------------------------------
# Task functions: top level, so that worker processes can unpickle them by name.

def _chunk_records(values: NDArray[np.float64]) -> NDArray[np.void]:
    return summarise(_plain(values, "x"))


def _chunks_records(*values: NDArray[np.float64]) -> NDArray[np.void]:
    # Consecutive chunks in one interleaved loop; record j has the bits of _chunk_records
    # of chunk j alone.
    return summarise_many([_plain(v, "x") for v in values])


def _pick(records: NDArray[np.void], j: int) -> NDArray[np.void]:
    return records[j, ...].copy()


def _chunk_records_grouped(group_ids: NDArray[np.integer], values: NDArray[np.float64],
                           n_groups: int) -> NDArray[np.void]:
    return summarise_grouped(_plain(group_ids, "group_ids"), _plain(values, "values"),
                             n_groups)


def _merge_node(first: NDArray[np.void], *rest: NDArray[np.void]) -> NDArray[np.void]:
    # A copy: the children may be shared with other tasks or read-only (as arrays received
    # from another worker are).
    out = first.copy()
    for other in rest:
        merge_records(out, other)
    return out


def _describe_partition(part: object, columns: list[str], by: list[str] | None,
                        skipna: bool, quantiles: list[float] | None = None,
                        accuracy: float = 0.01) -> Summary:
    from vornel.table import describe as describe_table

    return describe_table(part, columns=columns, by=by, skipna=skipna, quantiles=quantiles,
                          relative_accuracy=accuracy)


def _merge_summaries(first: Summary, *rest: Summary) -> Summary:
    out = first
    for other in rest:
        out = out.merge(other)  # a new Summary each time: the children stay as they are
    return out


def _no_chunks(n_groups: int | None) -> NDArray[np.void]:
    return empty_records(() if n_groups is None else (n_groups,))


def _plain(chunk: object, name: str) -> object:
    # A masked array's buffer still holds the masked values, which would be summarised as
    # if they were data.
    if isinstance(chunk, np.ma.MaskedArray):
        raise TypeError(f"chunks of {name} are masked arrays; fill or compress them first")
    return chunk


# ---------------------------------------------------------------------------------------
# Checks, all made before any task runs.

def _check_array(x: object, name: str, dtypes: tuple[np.dtype[np.generic], ...]) -> Array:
    want = " or ".join(str(d) for d in dtypes)
    if not isinstance(x, Array):
        raise TypeError(
            f"{name} must be a dask array, not {type(x).__name__}; wrap in-memory data with "
            f"dask.array.from_array({name}, chunks=...) (or use vornel.parallel for it)")
    if x.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {x.ndim} dimensions")
    if x.dtype not in dtypes:
        raise ValueError(
            f"{name} must have dtype {want}, got {x.dtype}; convert it with "
            f"{name}.astype('{dtypes[-1]}')")
    meta = getattr(x, "_meta", None)
    if isinstance(meta, np.ma.MaskedArray) or not isinstance(meta, np.ndarray):
        raise TypeError(f"the chunks of {name} must be NumPy arrays, not "
                        f"{type(meta).__name__}")
    if any(math.isnan(c) for c in x.chunks[0]):
        raise ValueError(
            f"{name} has unknown chunk sizes (NaN in {name}.chunks); call "
            f"{name}.compute_chunk_sizes() first")
    return x


def _check_pairs(group_ids: object, values: object) -> tuple[Array, Array]:
    """Group ids (int32 or int64) and float64 values: dask arrays of the same chunks."""
    ids = _check_array(group_ids, "group_ids", _ID_DTYPES)
    vals = _check_array(values, "values", (np.dtype(np.float64),))
    if ids.chunks != vals.chunks:
        raise ValueError(
            f"group_ids and values must have the same chunks, got {ids.chunks[0]} and "
            f"{vals.chunks[0]}; rechunk one like the other, e.g. values.rechunk(group_ids.chunks)")
    return ids, vals


def _check_split_every(split_every: int | None) -> int:
    if split_every is None:
        return SPLIT_EVERY
    if isinstance(split_every, bool) or not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an int of at least 2 or None, got {split_every!r}")
    return split_every


def _check_n_groups(n_groups: int) -> int:
    if isinstance(n_groups, bool) or not isinstance(n_groups, (int, np.integer)):
        raise TypeError(f"n_groups must be an int, not {type(n_groups).__name__}")
    if not 1 <= n_groups <= _MAX_GROUPS:
        raise ValueError(f"n_groups must lie in [1, {_MAX_GROUPS}], got {n_groups}")
    return int(n_groups)


# ---------------------------------------------------------------------------------------
# The graph.

def _merge_tree(layer: dict[DaskKey, object], name: str, keys: list[_NodeKey],
                split_every: int, merge: tuple[object, ...] = (_merge_node,)) -> _NodeKey:
    """Adds the merge nodes over keys (chunk records, in chunk order) to layer; returns the
    key of the root. Level 0 holds the chunk records; merge is the task head of a node (a
    function and its leading arguments), the children follow."""
    level = 0
    while len(keys) > 1:
        level += 1
        parents: list[_NodeKey] = []
        for j, lo in enumerate(range(0, len(keys), split_every)):
            run = keys[lo:lo + split_every]
            if len(run) == 1:
                parents.append(run[0])
                continue
            parent: _NodeKey = (name, level, j)
            layer[parent] = (*merge, *run)
            parents.append(parent)
        keys = parents
    return keys[0]


def _records_delayed(name: str, tasks: Sequence[tuple[object, ...]], n_groups: int | None,
                     split_every: int, deps: list[Array],
                     inputs: dict[DaskKey, object] | None = None,
                     merge: tuple[object, ...] = (_merge_node,),
                     empty: tuple[object, ...] | None = None) -> Delayed:
    """A Delayed computing to the merged records of the chunk tasks (which may read the
    tasks of inputs); merge and empty give other kinds of partial results their merge node
    and the task of an array of no chunks."""
    layer: dict[DaskKey, object] = dict(inputs or {})
    keys: list[_NodeKey] = []
    for i, task in enumerate(tasks):
        layer[(name, 0, i)] = task
        keys.append((name, 0, i))
    if not keys:  # an array of no chunks at all
        layer[(name, 0, 0)] = empty or (_no_chunks, n_groups)
        keys.append((name, 0, 0))
    root = _merge_tree(layer, name, keys, split_every, merge)
    # dask's Array is a DaskCollection, but untyped methods keep mypy from seeing it.
    graph = HighLevelGraph.from_collections(
        name, layer, dependencies=cast("list[DaskCollection]", deps))
    return Delayed(root, graph, layer=name)  # type: ignore[no-untyped-call]


def _compute(lazy: Delayed) -> NDArray[np.void]:
    # On dask's current scheduler: a distributed client where one is the default.
    return cast("NDArray[np.void]", lazy.compute())  # type: ignore[no-untyped-call]


def _stream_tasks(name: str,
                  keys: Sequence[object]) -> tuple[list[tuple[object, ...]], dict[DaskKey, object]]:
    """Chunk record tasks, and the batch tasks they read: runs of CHUNKS_PER_TASK consecutive
    chunks are summarised in one task (one interleaved loop), and each chunk's record is
    picked from its batch. The merge tree over chunk records is the same either way."""
    tasks: list[tuple[object, ...]] = []
    batches: dict[DaskKey, object] = {}
    for b, lo in enumerate(range(0, len(keys), CHUNKS_PER_TASK)):
        run = keys[lo:lo + CHUNKS_PER_TASK]
        if len(run) == 1:
            tasks.append((_chunk_records, run[0]))
            continue
        batch = (name + "-chunks", b)
        batches[batch] = (_chunks_records, *run)
        tasks.extend((_pick, batch, j) for j in range(len(run)))
    return tasks, batches


# ---------------------------------------------------------------------------------------
# Public functions.

@overload
def stream_stats(x: object, *, split_every: int | None = ...,
                 compute: Literal[True] = ...) -> CyStreamStats: ...
@overload
def stream_stats(x: object, *, split_every: int | None = ...,
                 compute: Literal[False]) -> Delayed: ...
@overload
def stream_stats(x: object, *, split_every: int | None = ...,
                 compute: bool) -> CyStreamStats | Delayed: ...


def stream_stats(x: object, *, split_every: int | None = None,
                 compute: bool = True) -> CyStreamStats | Delayed:
    """Summarise a one-dimensional float64 dask array into a CyStreamStats.

    One task per chunk makes its records; the records are merged in a tree of at most
    split_every children per node (default SPLIT_EVERY), in chunk order. The result has the
    same bits under every scheduler for the same chunking and split_every. The computation
    runs on dask's current scheduler (a `distributed` client where one is the default).

    With compute=False nothing runs: the return value is a dask.delayed.Delayed that
    computes to a 0-d records array of vornel.state.RECORD_DTYPE (not to an accumulator;
    vornel.state.from_records turns it into one, vornel.state.finalise into statistics).

    Raises TypeError if x is not a dask array of NumPy chunks, ValueError for another dtype
    than float64, another ndim than 1, unknown chunk sizes or a bad split_every.
    """
    arr = _check_array(x, "x", (np.dtype(np.float64),))
    every = _check_split_every(split_every)
    name = "vornel-stream-stats-" + tokenize(arr, every)
    tasks, batches = _stream_tasks(name, arr.__dask_keys__())
    lazy = _records_delayed(name, tasks, None, every, [arr], batches)
    if not compute:
        return lazy
    return cast(CyStreamStats, from_records(_compute(lazy)))


@overload
def grouped_stats(group_ids: object, values: object, n_groups: int, *,
                  split_every: int | None = ...,
                  compute: Literal[True] = ...) -> CyGroupedStreamStats: ...
@overload
def grouped_stats(group_ids: object, values: object, n_groups: int, *,
                  split_every: int | None = ..., compute: Literal[False]) -> Delayed: ...
@overload
def grouped_stats(group_ids: object, values: object, n_groups: int, *,
                  split_every: int | None = ...,
                  compute: bool) -> CyGroupedStreamStats | Delayed: ...


def grouped_stats(group_ids: object, values: object, n_groups: int, *,
                  split_every: int | None = None,
                  compute: bool = True) -> CyGroupedStreamStats | Delayed:
    """Summarise values per group id into a CyGroupedStreamStats of n_groups groups.

    group_ids is a one-dimensional int32 or int64 dask array, values a float64 one with the
    same chunks. One task per chunk makes n_groups records; they are merged in a tree of at
    most split_every children per node (default SPLIT_EVERY), in chunk order, so the result
    has the same bits under every scheduler for the same chunking and split_every. Each
    chunk task holds n_groups records (48 bytes each).

    With compute=False nothing runs: the return value is a dask.delayed.Delayed that
    computes to a records array of shape (n_groups,) and dtype vornel.state.RECORD_DTYPE
    (not to an accumulator; vornel.state.from_records turns it into one).

    Raises TypeError or ValueError before any task runs for inputs that are not dask arrays
    of NumPy chunks, wrong dtypes or ndim, unknown chunk sizes, chunks of group_ids and
    values that differ, or a bad n_groups or split_every. A group id outside
    [0, n_groups) raises ValueError when its chunk runs.
    """
    ids, vals = _check_pairs(group_ids, values)
    groups = _check_n_groups(n_groups)
    every = _check_split_every(split_every)
    name = "vornel-grouped-stats-" + tokenize(ids, vals, groups, every)
    tasks = [(_chunk_records_grouped, i_key, v_key, groups)
             for i_key, v_key in zip(ids.__dask_keys__(), vals.__dask_keys__())]
    lazy = _records_delayed(name, tasks, groups, every, [ids, vals])
    if not compute:
        return lazy
    return cast(CyGroupedStreamStats, from_records(_compute(lazy)))


def _chunk_sketch(values: NDArray[np.float64], accuracy: float) -> QuantileSketch:
    _plain(values, "x")  # refuses masked chunks
    out = QuantileSketch(accuracy)
    out.add(values)
    return out


def _chunk_sketch_grouped(group_ids: NDArray[np.integer], values: NDArray[np.float64],
                          n_groups: int, accuracy: float) -> GroupedQuantileSketch:
    _plain(group_ids, "group_ids")
    _plain(values, "values")
    out = GroupedQuantileSketch(n_groups, accuracy)
    out.add(group_ids, values)
    return out


def _merge_sketches(n_groups: int | None, accuracy: float,
                    *children: QuantileSketch | GroupedQuantileSketch) -> object:
    # A new sketch: the children may be shared with other tasks. Merging only adds counts,
    # so the tree's shape and order cannot change the result.
    out: Any = (QuantileSketch(accuracy) if n_groups is None
                else GroupedQuantileSketch(n_groups, accuracy))
    for child in children:
        out.merge(child)
    return out


def _check_quantiles(qs: object) -> NDArray[np.float64]:
    q = np.asarray(qs, np.float64)
    if q.ndim > 1 or not np.all((q >= 0) & (q <= 1)):  # NaN fails both
        raise ValueError(f"qs must be numbers in [0, 1], got {qs!r}")
    return q.reshape(-1)


def _sketch_result(lazy: Delayed, q: NDArray[np.float64], compute: bool) -> Any:
    if not compute:
        return lazy
    sketch = lazy.compute()  # type: ignore[no-untyped-call]
    return sketch.quantiles(q)


@overload
def quantiles(x: object, qs: object, *, relative_accuracy: float = ...,
              split_every: int | None = ..., compute: Literal[True] = ...) -> NDArray[np.float64]: ...
@overload
def quantiles(x: object, qs: object, *, relative_accuracy: float = ...,
              split_every: int | None = ..., compute: Literal[False]) -> Delayed: ...


def quantiles(x: object, qs: object, *, relative_accuracy: float = 0.01,
              split_every: int | None = None, compute: bool = True) -> Any:
    """Quantiles of a one-dimensional float64 dask array within relative_accuracy (see
    vornel.sketch), as an array of len(qs).

    Each chunk makes a QuantileSketch; they are merged in a tree of at most split_every
    children per node. A sketch only counts, so the answer is the same bit for bit for any
    chunking, split_every, scheduler and worker count. With compute=False nothing runs: the
    result is a Delayed that computes to the merged QuantileSketch (sketches pickle).
    Bad inputs, qs or relative_accuracy raise TypeError or ValueError before any task."""
    arr = _check_array(x, "x", (np.dtype(np.float64),))
    q = _check_quantiles(qs)
    QuantileSketch(relative_accuracy)  # refuses a bad accuracy before any task
    every = _check_split_every(split_every)
    name = "vornel-quantiles-" + tokenize(arr, relative_accuracy, every)
    tasks = [(_chunk_sketch, key, relative_accuracy) for key in arr.__dask_keys__()]
    lazy = _records_delayed(name, tasks, None, every, [arr],
                            merge=(_merge_sketches, None, relative_accuracy),
                            empty=(_merge_sketches, None, relative_accuracy))
    return _sketch_result(lazy, q, compute)


@overload
def grouped_quantiles(group_ids: object, values: object, n_groups: int, qs: object, *,
                      relative_accuracy: float = ..., split_every: int | None = ...,
                      compute: Literal[True] = ...) -> NDArray[np.float64]: ...
@overload
def grouped_quantiles(group_ids: object, values: object, n_groups: int, qs: object, *,
                      relative_accuracy: float = ..., split_every: int | None = ...,
                      compute: Literal[False]) -> Delayed: ...


def grouped_quantiles(group_ids: object, values: object, n_groups: int, qs: object, *,
                      relative_accuracy: float = 0.01, split_every: int | None = None,
                      compute: bool = True) -> Any:
    """Quantiles of values per group id, an (n_groups, len(qs)) array (NaN for empty
    groups), within relative_accuracy; the same for any chunking and scheduler, as
    `quantiles`. group_ids is an int32 or int64 dask array chunked like values. With
    compute=False, a Delayed that computes to the merged GroupedQuantileSketch."""
    ids, vals = _check_pairs(group_ids, values)
    groups = _check_n_groups(n_groups)
    q = _check_quantiles(qs)
    QuantileSketch(relative_accuracy)
    every = _check_split_every(split_every)
    name = "vornel-grouped-quantiles-" + tokenize(ids, vals, groups, relative_accuracy, every)
    tasks = [(_chunk_sketch_grouped, i_key, v_key, groups, relative_accuracy)
             for i_key, v_key in zip(ids.__dask_keys__(), vals.__dask_keys__())]
    lazy = _records_delayed(name, tasks, groups, every, [ids, vals],
                            merge=(_merge_sketches, groups, relative_accuracy),
                            empty=(_merge_sketches, groups, relative_accuracy))
    return _sketch_result(lazy, q, compute)


def describe(ddf: object, columns: str | Sequence[str] | None = None,
             by: str | Sequence[str] | None = None, skipna: bool = True, *,
             quantiles: Sequence[float] | None = None, relative_accuracy: float = 0.01,
             split_every: int | None = None) -> Summary:
    """vornel.describe over a dask DataFrame: one Summary per partition (the accumulators'
    loops over the partition's rows in order), merged with Summary.merge in a tree of at most
    split_every children per node (default SPLIT_EVERY), in partition order. Groups come out
    in order of first appearance. For a given partitioning the bits are the same under every
    scheduler and worker count; they are not the bits of one pass over all rows (a merge
    rounds sums, means and variances differently from one running update).

    Quantiles (see vornel.describe) come from sketches that merge into exactly the sketch
    of one pass: they are the same for every partitioning, not only for a given one.

    Column and key names are checked against the frame's metadata before any task runs."""
    from dask.delayed import delayed

    from vornel.table import describe as describe_table

    # By its interface: the class differs between dask's legacy and expression frames.
    if not all(hasattr(ddf, a) for a in ("_meta", "to_delayed", "npartitions")) or not hasattr(
            getattr(ddf, "_meta"), "columns"):
        raise TypeError(f"ddf must be a dask DataFrame, not {type(ddf).__name__}")
    frame = cast(Any, ddf)
    every = _check_split_every(split_every)
    meta = describe_table(frame._meta, columns=columns, by=by, skipna=skipna,
                          quantiles=quantiles, relative_accuracy=relative_accuracy)
    cols, keys, qs = meta.columns, meta.by, meta.quantiles or None
    nodes = [delayed(_describe_partition, pure=True)(part, cols, keys, skipna, qs,
                                                     relative_accuracy)
             for part in frame.to_delayed()]
    if not nodes:
        return meta
    while len(nodes) > 1:
        nodes = [run[0] if len(run) == 1 else delayed(_merge_summaries, pure=True)(*run)
                 for run in (nodes[lo:lo + every] for lo in range(0, len(nodes), every))]
    return cast("Summary", nodes[0].compute())
