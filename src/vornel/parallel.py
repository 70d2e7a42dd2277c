"""Summaries of large buffers computed in a thread pool.

The buffer is cut into contiguous chunks; each chunk is added to an accumulator of its own
in a worker thread (the native loop runs with the thread detached, so chunks proceed in
parallel), and the partial accumulators are merged in chunk order into a fresh one.

Counts, minima and maxima equal those of one sequential add exactly. Sums, means and
variances are combined by the pairwise merge rule instead of one running update, so they
agree with the sequential result only up to floating-point rounding (a few units in the
last place for well-conditioned data). For a fixed input, threads and chunk_size, the result
is the same bit for bit on every run: chunk boundaries depend only on those three, and
partials are merged in chunk order whatever order the threads finish in.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TypeVar

from vornel._cycore import CyGroupedStreamStats, CyStreamStats

__all__ = ["stream_stats", "grouped_stats"]

# Below this many elements per chunk, thread start-up and merging cost more than they save.
MIN_CHUNK = 1 << 16

_Acc = TypeVar("_Acc", CyStreamStats, CyGroupedStreamStats)


def _default_threads() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return max(1, count or 1)


def _buffer_view(obj: object, name: str, dtype: str) -> memoryview:
    """A memoryview of obj after the checks the native buffer path makes, with messages that
    say what to pass instead."""
    try:
        view = memoryview(obj)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{name} must be a buffer (a NumPy array, array.array or memoryview) of {dtype}, "
            f"not {type(obj).__name__}; convert it first, e.g. numpy.asarray({name}, "
            f"dtype=numpy.{dtype.split()[0]})"
        ) from None
    if view.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {view.ndim} dimensions")
    if view.readonly:
        raise ValueError(
            f"{name} must be writable (the native buffer path takes writable buffers only); "
            f"pass a copy, or load files with numpy.load(..., mmap_mode='c')"
        )
    return view


def _chunk_bounds(n: int, threads: int, chunk_size: int | None,
                  per_thread: int) -> list[tuple[int, int]]:
    if chunk_size is None:
        chunk_size = max(MIN_CHUNK, -(-n // (threads * per_thread)))
    return [(lo, min(lo + chunk_size, n)) for lo in range(0, n, chunk_size)] or [(0, 0)]


def _check_options(threads: int | None, chunk_size: int | None) -> int:
    if threads is None:
        threads = _default_threads()
    elif isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, got {threads!r}")
    if chunk_size is not None and (
        isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1
    ):
        raise ValueError(f"chunk_size must be a positive int or None, got {chunk_size!r}")
    return threads


def _run(
    bounds: Sequence[tuple[int, int]],
    threads: int,
    make: Callable[[], _Acc],
    fill: Callable[[_Acc, int, int], None],
) -> _Acc:
    def one(lo_hi: tuple[int, int]) -> _Acc:
        part = make()
        fill(part, *lo_hi)
        return part

    total = make()
    if len(bounds) == 1 or threads == 1:
        # No pool: chunks in order in this thread, merged as the pool would merge them.
        for part in map(one, bounds):
            total.merge(part)
        return total
    with ThreadPoolExecutor(max_workers=min(threads, len(bounds))) as pool:
        # map yields in chunk order and re-raises the first failing chunk's exception, the
        # one a sequential add would have raised.
        for part in pool.map(one, bounds):
            total.merge(part)
    return total


def stream_stats(
    values: object, *, threads: int | None = None, chunk_size: int | None = None
) -> CyStreamStats:
    """Summarise a writable one-dimensional float64 buffer in a pool of threads.

    threads defaults to the number of CPUs this process may use; chunk_size defaults to an
    even split into four chunks per thread (at least 65536 elements per chunk).
    """
    n_threads = _check_options(threads, chunk_size)
    view = _buffer_view(values, "values", "float64")
    _probe(lambda: CyStreamStats().add_values(view[:0]), "values", "float64")

    def fill(acc: CyStreamStats, lo: int, hi: int) -> None:
        acc.add_values(view[lo:hi])

    # Several chunks per thread, so a thread slowed by other load does not hold up the rest;
    # merging a stream partial costs next to nothing.
    bounds = _chunk_bounds(len(view), n_threads, chunk_size, per_thread=4)
    return _run(bounds, n_threads, CyStreamStats, fill)


def grouped_stats(
    group_ids: object,
    values: object,
    n_groups: int,
    *,
    threads: int | None = None,
    chunk_size: int | None = None,
) -> CyGroupedStreamStats:
    """Summarise values per group id in a pool of threads.

    group_ids is a writable one-dimensional int32 or int64 buffer, values a float64 one of
    the same length. Each chunk holds an accumulator of n_groups records, so memory and
    merge time grow with n_groups times the number of chunks; chunk_size defaults to one
    chunk per thread (at least 65536 elements per chunk).
    """
    n_threads = _check_options(threads, chunk_size)
    ids = _buffer_view(group_ids, "group_ids", "int64 (or int32)")
    vals = _buffer_view(values, "values", "float64")
    probe = CyGroupedStreamStats(n_groups)  # checks n_groups itself
    _probe(lambda: CyStreamStats().add_values(vals[:0]), "values", "float64")
    _probe(lambda: probe.add(ids[:0], vals[:0]), "group_ids", "int32 or int64")
    if len(ids) != len(vals):
        raise ValueError(
            f"group_ids and values must have the same length, got {len(ids)} and {len(vals)}"
        )

    def make() -> CyGroupedStreamStats:
        return CyGroupedStreamStats(n_groups)

    def fill(acc: CyGroupedStreamStats, lo: int, hi: int) -> None:
        acc.add(ids[lo:hi], vals[lo:hi])

    # One chunk per thread: every partial holds n_groups records and costs a merge of them.
    bounds = _chunk_bounds(len(vals), n_threads, chunk_size, per_thread=1)
    return _run(bounds, n_threads, make, fill)


def _probe(call: Callable[[], None], name: str, want: str) -> None:
    """Runs the native format checks on an empty slice, so a dtype mismatch is reported
    before any work starts."""
    try:
        call()
    except ValueError as e:
        raise ValueError(f"{name}: expected {want}: {e}") from None
