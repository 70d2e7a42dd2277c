"""describe(): one pass over a table (data frame, Arrow data, arrays or files), summarising
its numeric columns, per group when asked, while the next block is being read."""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from vornel.table.blocks import Block, InputError
from vornel.table.csvfile import BLOCK_BYTES, NA_VALUES
from vornel.table.sources import CsvFileSource, Source, file_source, sources
from vornel.table.summary import Summariser, Summary


def _names(arg: str | Sequence[str] | None, what: str) -> list[str] | None:
    if arg is None:
        return None
    names = [arg] if isinstance(arg, str) else list(arg)
    if not all(isinstance(n, str) for n in names):
        raise TypeError(f"{what} must be a column name or a list of column names")
    return list(dict.fromkeys(names))


def _duplicates(header: Sequence[str], source: str) -> None:
    seen: set[str] = set()
    dup = [h for h in header if h in seen or seen.add(h)]  # type: ignore[func-returns-value]
    if dup:
        raise InputError("duplicate column names: " + ", ".join(map(repr, dict.fromkeys(dup))),
                         source)


class _Plan:
    """The columns and keys asked for, checked against each source in turn."""

    def __init__(self, columns: list[str] | None, by: list[str]) -> None:
        self.columns, self.by = columns, by
        self.auto = columns is None
        self.typed: set[str] = set()
        self.untyped: set[str] = set()

    def check(self, src: Source) -> list[str]:
        header = src.header
        _duplicates(header, src.source)
        have = set(header)
        listing = f" (columns: {', '.join(map(str, header))})"
        for k in self.by:
            if k not in have:
                raise InputError(f"no column named {k!r} to group by{listing}", src.source)
        if self.columns is None:
            picked = [h for h in header if h not in self.by and src.numeric(h) is not False]
            if not picked:
                raise InputError("no numeric columns to summarise", src.source)
            self.columns = picked
        for c in self.columns:
            if c not in have:
                raise InputError(f"no column named {c!r}{listing}", src.source)
            if c in self.by:
                raise InputError(f"column {c!r} is a group-by column", src.source)
        return self.columns


def _blocks(plan: _Plan, data: Any, na_values: Sequence[str], block_bytes: int,
            progress: Callable[[int], None]) -> Iterator[Block]:
    for item in sources(data, na_values, block_bytes):
        src = (file_source(item, na_values, block_bytes, progress) if isinstance(item, str)
               else item)
        try:
            cols = plan.check(src)
        except BaseException:
            if isinstance(src, CsvFileSource):
                src.close()  # its blocks, which close it, will not be read
            raise
        yield from src.blocks(cols, plan.by, plan.auto)
        plan.untyped |= src.untyped
        plan.typed |= set(cols) - src.untyped - set(src.dropped)
        if src.dropped:
            plan.columns = [c for c in cols if c not in src.dropped]


def _prefetch(blocks: Iterator[Block]) -> Iterator[Block]:
    """The blocks, each read in a helper thread while the one before is summarised. At
    most two blocks are alive at once, which bounds memory."""
    q: queue.Queue[tuple[str, Any]] = queue.Queue()
    slots = threading.Semaphore(2)
    stop = threading.Event()

    def produce() -> None:
        try:
            while True:
                slots.acquire()
                if stop.is_set():
                    return
                b = next(blocks, None)
                if b is None:
                    break
                q.put(("block", b))
            q.put(("end", None))
        except BaseException as e:  # handed to the consumer, which raises it
            q.put(("error", e))

    t = threading.Thread(target=produce, name="vornel-reader", daemon=True)
    t.start()
    try:
        while True:
            kind, item = q.get()
            if kind == "end":
                return
            if kind == "error":
                raise item
            yield item
            del item
            slots.release()  # the consumer is done with that block
    finally:
        stop.set()
        slots.release()
        t.join()


def describe(data: Any, *, columns: str | Sequence[str] | None = None,
             by: str | Sequence[str] | None = None, skipna: bool = True,
             na_values: Sequence[str] = NA_VALUES, block_size: int = BLOCK_BYTES,
             progress: Callable[[int], None] | None = None) -> Summary:
    """Count, sum, mean, min, max, population variance and standard deviation of numeric
    columns, per group of the `by` key column(s) when given; see `Summary`.

    data: a pandas or Polars DataFrame, a pyarrow Table, RecordBatch or RecordBatchReader,
    a dict of 1-d arrays, or a path or list of paths (CSV, also .gz, .bz2, .zst, .xz;
    Parquet; .npy) forming one data set. columns: default every numeric column. Missing
    values (nulls, pandas' NA, the CSV cells in na_values) hold no value; with skipna=True
    (the default) NaN is missing too, with skipna=False it counts as a value. block_size
    bounds the bytes of CSV read at a time; progress, if given, is called with the number
    of bytes of each file read."""
    col_names = _names(columns, "columns")
    by_names = _names(by, "by") or []
    if block_size < 1:
        raise ValueError("block_size must be positive")
    plan = _Plan(col_names, by_names)
    summariser: Summariser | None = None
    files = isinstance(data, (str, list, tuple)) or hasattr(data, "__fspath__")
    blocks = _blocks(plan, data, list(na_values), block_size, progress or (lambda n: None))
    for block in (_prefetch(blocks) if files else blocks):
        if summariser is None:
            assert plan.columns is not None
            summariser = Summariser(plan.columns, by_names if by is not None else None, skipna)
        for name in [c for c in summariser.columns if c not in block.columns]:
            summariser.drop(name)
        summariser.add(block)
    if summariser is None:
        summariser = Summariser(plan.columns or [], by_names if by is not None else None,
                                skipna)
    if plan.auto:
        for name in list(summariser.columns):
            if name in plan.untyped and name not in plan.typed:
                summariser.drop(name)  # no cell held a number
        if not summariser.columns:
            raise InputError("no numeric columns to summarise")
    return summariser.summary()
