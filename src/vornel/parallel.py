"""Summaries of large buffers computed in a pool of threads, the calling thread among them.

The buffer is cut into contiguous chunks; each chunk is summarised into records of its own
(vornel.state.summarise, whose native loop runs with the thread detached, so chunks proceed
in parallel), and the records are merged in chunk order into one accumulator at the end.
Inputs may be read-only: the chunks are only read.

Counts, minima and maxima equal those of one sequential add exactly. Sums, means and
variances are combined by the pairwise merge rule instead of one running update, so they
agree with the sequential result only up to floating-point rounding (a few units in the
last place for well-conditioned data). For a fixed input, threads and chunk_size, the result
is the same bit for bit on every run: chunk boundaries depend only on those three, and
records are merged in chunk order whichever thread summarised which chunk.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, cast

from vornel import _state
from vornel._cycore import CyGroupedStreamStats, CyStreamStats
from vornel.state import (empty_records, from_records, merge_records, summarise,
                          summarise_grouped, summarise_many)

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    _Records = NDArray[np.void]

__all__ = ["stream_stats", "grouped_stats"]

# Below this many elements per chunk, thread start-up and merging cost more than they save.
MIN_CHUNK = 1 << 16


def _default_threads() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return max(1, count or 1)


def _buffer_view(obj: object, name: str, dtype: str) -> memoryview:
    """A one-dimensional memoryview of obj, with messages that say what to pass instead."""
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


class _Chunks:
    """Hands units of work (one or a few consecutive chunks) out in ascending order to
    whichever thread asks next, and merges their chunk records into the total in chunk order
    as soon as each unit's turn comes, so only units finished out of order wait in memory."""

    def __init__(self, units: int, summarise_unit: Callable[[int], list[_Records]]) -> None:
        self.summarise_unit = summarise_unit
        self.total: _Records | None = None
        self.errors: dict[int, BaseException] = {}
        self._waiting: dict[int, list[_Records]] = {}  # finished, not yet merged
        self._merged = 0  # units before this one are in total
        self._merging = False  # a thread is merging: others leave their records to it
        self._next = 0
        self._stop = units  # units from here on cannot change the outcome
        self._lock = threading.Lock()

    def _claim(self) -> int:
        with self._lock:
            i = self._next
            if i >= self._stop:
                return -1
            self._next = i + 1
            return i

    def _finish(self, i: int, part: list[_Records]) -> None:
        with self._lock:
            self._waiting[i] = part
            if self._merging:
                return
            self._merging = True
        while True:
            with self._lock:
                if self._merged not in self._waiting:
                    self._merging = False
                    return
                ready = self._waiting.pop(self._merged)
                self._merged += 1
            # Merging into an empty record copies it exactly, so the first chunk's records
            # start the total as they are. Only the merging thread touches total.
            for records in ready:
                if self.total is None:
                    self.total = records
                else:
                    merge_records(self.total, records)

    def drain(self) -> None:
        """Summarises chunks until none is left or one has failed."""
        while (i := self._claim()) >= 0:
            try:
                part = self.summarise_unit(i)
            except Exception as e:
                # Claims ascend, so every chunk before i runs and the first failure wins;
                # the chunks after it are not worth starting.
                with self._lock:
                    self.errors[i] = e
                    self._stop = min(self._stop, i)
                return
            except BaseException:
                with self._lock:  # an interrupt: start nothing more
                    self._stop = 0
                raise
            self._finish(i, part)


# Helper threads outlive the calls. A thread started for a call was often placed on the
# caller's CPU and shared it for a scheduler tick or two (4 to 8 ms where measured) before
# being moved, which is most of the gain of a short call; a kept thread wakes on the CPU it
# last ran on. Idle helpers only wait on the pool's queue.
_pool: ThreadPoolExecutor | None = None
_pool_size = 0
_pool_lock = threading.Lock()


def _forget_pool() -> None:
    """In a forked child the pool's threads do not exist; the next call starts new ones."""
    global _pool, _pool_size, _pool_lock
    _pool, _pool_size, _pool_lock = None, 0, threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pool)


def _start_helpers(count: int, job: Callable[[], None]) -> list[Future[None]]:
    """Runs job in count helper threads of the shared pool, growing the pool to count
    threads if it is smaller; fewer (or none) once the interpreter is shutting down."""
    global _pool, _pool_size
    with _pool_lock:  # submits too, so no other caller shuts this pool down meanwhile
        if _pool is None or _pool_size < count:
            if _pool is not None:
                _pool.shutdown(wait=False)  # its threads finish their jobs, then exit
            _pool = ThreadPoolExecutor(max_workers=count, thread_name_prefix="vornel-parallel")
            _pool_size = count
        started: list[Future[None]] = []
        try:
            for _ in range(count):
                started.append(_pool.submit(job))
        except RuntimeError:  # no new threads at interpreter shutdown: the caller does the rest
            pass
        return started


def _run(units: int, threads: int, summarise_unit: Callable[[int], list[_Records]]) -> _Records:
    """The records of every chunk merged in chunk order. threads - 1 helper threads and the
    calling thread take units in turn: the caller would only wait otherwise, and it needs
    no hand-off to start."""
    work = _Chunks(units, summarise_unit)
    count = min(threads, units) - 1
    helpers = _start_helpers(count, work.drain) if count > 0 else []
    try:
        work.drain()
    finally:
        # A helper that has not started finds nothing left (or is not needed after an
        # interrupt); one that has finishes its chunk before its records are read.
        for f in helpers:
            if not f.cancel():
                f.result()
    if work.errors:
        # The first failing chunk's exception: the one a sequential add would raise.
        raise work.errors[min(work.errors)]
    return cast("_Records", work.total)  # every chunk ran, so every chunk was merged


def _probe(call: Callable[[], object], name: str, want: str) -> None:
    """Runs the native format checks on an empty slice, so a dtype mismatch is reported
    before any work starts."""
    try:
        call()
    except ValueError as e:
        raise ValueError(f"{name}: expected {want}: {e}") from None


def stream_stats(
    values: object, *, threads: int | None = None, chunk_size: int | None = None
) -> CyStreamStats:
    """Summarise a one-dimensional float64 buffer (read-only ones too) in a pool of threads.

    threads defaults to the number of CPUs this process may use; chunk_size defaults to an
    even split into four chunks per thread (at least 65536 elements per chunk).
    """
    n_threads = _check_options(threads, chunk_size)
    view = _buffer_view(values, "values", "float64")
    _probe(lambda: summarise(view[:0]), "values", "float64")

    # Four chunks per thread. A unit of work is up to four consecutive chunks folded in one
    # interleaved loop (summarise_many): one stream's update chain waits on its division,
    # and a core keeps four chains in flight. Merging a stream record costs next to nothing.
    bounds = _chunk_bounds(len(view), n_threads, chunk_size, per_thread=4)
    per_unit = 4

    def summarise_unit(u: int) -> list[_Records]:
        part = bounds[u * per_unit:(u + 1) * per_unit]
        many = summarise_many([view[lo:hi] for lo, hi in part])
        return [many[j, ...] for j in range(len(many))]

    units = -(-len(bounds) // per_unit)
    return cast(CyStreamStats, from_records(_run(units, n_threads, summarise_unit)))


def grouped_stats(
    group_ids: object,
    values: object,
    n_groups: int,
    *,
    threads: int | None = None,
    chunk_size: int | None = None,
) -> CyGroupedStreamStats:
    """Summarise values per group id in a pool of threads.

    group_ids is a one-dimensional int32 or int64 buffer, values a float64 one of the same
    length; read-only buffers are taken too. Each chunk holds n_groups records, so memory
    and merge time grow with n_groups times the number of chunks; chunk_size defaults to
    one chunk per thread (at least 65536 elements per chunk).
    """
    n_threads = _check_options(threads, chunk_size)
    ids = _buffer_view(group_ids, "group_ids", "int64 (or int32)")
    vals = _buffer_view(values, "values", "float64")
    groups = _state.n_groups(n_groups)  # checks n_groups as CyGroupedStreamStats does
    _probe(lambda: summarise(vals[:0]), "values", "float64")
    # One record is enough for no values and spares making n_groups of them.
    _probe(lambda: _state.summarise_grouped(ids[:0], vals[:0], empty_records(1), False),
           "group_ids", "int32 or int64")
    if len(ids) != len(vals):
        raise ValueError(
            f"group_ids and values must have the same length, got {len(ids)} and {len(vals)}"
        )

    # One chunk per thread: every chunk's records hold n_groups records and cost a merge.
    bounds = _chunk_bounds(len(vals), n_threads, chunk_size, per_thread=1)

    def summarise_unit(u: int) -> list[_Records]:
        lo, hi = bounds[u]
        return [summarise_grouped(ids[lo:hi], vals[lo:hi], groups)]

    total = _run(len(bounds), n_threads, summarise_unit)
    return cast(CyGroupedStreamStats, from_records(total))
