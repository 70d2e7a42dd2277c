"""describe(): one pass over a table (data frame, Arrow data, arrays or files), summarising
its numeric columns, per group when asked, while the next block is being read."""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from typing import Any

from vornel.table.blocks import Block, InputError
from vornel import _scan
from vornel.table.csvfile import BLOCK_BYTES, KEY_NA_VALUES, NA_VALUES, CsvOptions, cpus
from vornel.table.sources import CsvFileSource, Source, file_source, is_files, sources
from vornel.table.summary import Summariser, Summary, check_quantiles


def _names(arg: Any, what: str) -> list[Any] | None:
    """Column names: a list (or another iterable that is not a tuple) names several; any
    other hashable value, a str or a tuple among them (as in pandas), names one."""
    if arg is None:
        return None
    names = list(arg) if isinstance(arg, Iterable) and not isinstance(
        arg, (str, bytes, tuple)) else [arg]
    for n in names:
        if not isinstance(n, Hashable):
            raise TypeError(f"{what} must be a column name or a list of column names, "
                            f"not {type(n).__name__}")
    return list(dict.fromkeys(names))


def _duplicates(header: Sequence[Any], source: str) -> None:
    seen: set[Any] = set()
    dup = [h for h in header if h in seen or seen.add(h)]  # type: ignore[func-returns-value]
    if dup:
        raise InputError("duplicate column names: " + ", ".join(map(repr, dict.fromkeys(dup))),
                         source)


class _Plan:
    """The columns and keys asked for, checked against each source in turn. Key columns
    must hold keys of one type in every source (CSV keys are text), so that a key never
    meets an equal key of another type."""

    def __init__(self, columns: list[Any] | None, by: list[Any]) -> None:
        self.columns, self.by = columns, by
        self.auto = columns is None
        self.typed: set[Any] = set()
        self.untyped: set[Any] = set()
        self.why: dict[Any, str] = {}  # why automatic selection left a column out
        self.key_types: dict[Any, tuple[str, str]] = {}  # name -> (type, first source)

    def check(self, src: Source) -> list[Any]:
        header = src.header
        _duplicates(header, src.source)
        have = set(header)
        listing = f" (columns: {', '.join(map(str, header))})"
        for k in self.by:
            if k not in have:
                raise InputError(f"no column named {k!r} to group by{listing}", src.source)
            self._key_type(src, k)
        if self.columns is None:
            picked = []
            for h in header:
                numeric = None if h in self.by else src.numeric(h)
                if h in self.by:
                    self.why[h] = "is a group-by column"
                elif numeric is False:
                    self.why[h] = f"is not numeric ({src.kind(h)})"
                else:
                    picked.append(h)
            if not picked:
                raise InputError(self.nothing_left(), src.source)
            self.columns = picked
        for c in self.columns:
            if c not in have:
                raise InputError(f"no column named {c!r}{listing}", src.source)
            if c in self.by:
                raise InputError(f"column {c!r} is a group-by column", src.source)
        return self.columns

    def _key_type(self, src: Source, name: Any) -> None:
        kind = src.key_type(name)  # refuses types that cannot be keys
        if kind is None:  # only nulls: meets any type
            return
        first = self.key_types.setdefault(name, (kind, src.source))
        if first[0] != kind:
            raise InputError(f"group-by column {name!r} holds {first[0]} keys in "
                             f"{first[1]} but {kind} keys here; convert one of them",
                             src.source)

    def nothing_left(self) -> str:
        """The error when automatic selection kept no column: each column and why."""
        seen = ", ".join(f"{n!r} {why}" for n, why in self.why.items())
        return "no numeric columns to summarise" + (f": {seen}" if seen else "")


def _blocks(plan: _Plan, data: Any, opts: CsvOptions) -> Iterator[Block]:
    for item in sources(data):
        src = file_source(item, opts) if isinstance(item, str) else item
        try:
            cols = plan.check(src)
        except BaseException:
            if isinstance(src, CsvFileSource):
                src.close()  # its blocks, which close it, will not be read
            raise
        if isinstance(item, str) and plan.by and opts.keymap is None and all(
                plan.key_types.get(k, ("text",))[0] == "text" for k in plan.by):
            # Text keys of files go through one native map, whichever file holds them.
            opts.keymap = _scan.KeyMap(len(plan.by))
        try:
            for block in src.blocks(cols, plan.by, plan.auto):
                if isinstance(item, str):
                    block.file = src.source
                    if block.keymap is None and opts.keymap is not None and plan.by:
                        block.keymap, block.seq = opts.keymap, next(opts.sequence)
                yield block
        except InputError as e:
            raise _located(e, item) from None
        plan.untyped |= src.untyped
        plan.typed |= set(cols) - src.untyped - set(src.dropped)
        for name in src.dropped:
            plan.why[name] = "is text"
        if src.dropped:
            plan.columns = [c for c in cols if c not in src.dropped]


def _located(e: InputError, path: Any) -> InputError:
    """The error, naming the file it comes from when it does not yet."""
    if e.source is None and isinstance(path, str):
        e.source = path
    return e


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


def _text_list(arg: Any, what: str) -> list[str]:
    """CSV cells given as one str or a sequence of them."""
    cells = [arg] if isinstance(arg, str) else list(arg)
    if not all(isinstance(c, str) for c in cells):
        raise TypeError(f"{what} must be a str or a sequence of str")
    return cells


def describe(data: Any, *, columns: Any = None, by: Any = None, skipna: bool = True,
             quantiles: Sequence[float] | None = None, relative_accuracy: float = 0.01,
             na_values: str | Sequence[str] = NA_VALUES,
             key_na_values: str | Sequence[str] = KEY_NA_VALUES,
             block_size: int = BLOCK_BYTES, threads: int | None = None,
             progress: Callable[[int], None] | None = None) -> Summary:
    """Count, sum, mean, min, max, population variance and standard deviation of numeric
    columns, per group of the `by` key column(s) when given; see `Summary`.

    data: a pandas or Polars DataFrame or Series, a pyarrow Table, RecordBatch or
    RecordBatchReader, a dict of 1-d columns (arrays, Series, Arrow arrays), or a path or
    list of paths (CSV, also .gz, .bz2, .zst, .xz; Parquet; .npy) forming one data set.
    columns, by: a column name (any hashable; a tuple is one name, as in pandas) or a list
    of names; columns defaults to every numeric column, and by=None or [] summarises
    without groups. Missing values (nulls, pandas' NA, the CSV cells in na_values) hold no
    value; with skipna=True (the default) NaN is missing too, with skipna=False it counts as
    a value. CSV key cells in key_na_values (default: only the empty cell) are the missing
    key; other sources have typed nulls. quantiles: distinct q in [0, 1], each answered
    within relative_accuracy by a quantile sketch per column and group (see vornel.sketch;
    NaN has no rank there, whatever skipna says), and output as a column named like p50.
    block_size bounds the bytes of CSV read at a time; threads (default: every CPU the
    process may use) scan CSV ranges at once, and fold a block's columns at once (for every
    source); the results are the same bits for any number. progress, if given, is called with the number
    of bytes of each file read."""
    col_names = _names(columns, "columns")
    by_names = _names(by, "by") or []
    if isinstance(block_size, bool) or not isinstance(block_size, int):
        raise TypeError(f"block_size must be an int, not {type(block_size).__name__}")
    if block_size < 1:
        raise ValueError("block_size must be positive")
    qs = check_quantiles(quantiles, relative_accuracy)
    if threads is None:
        threads = cpus()
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError("threads must be positive")
    opts = CsvOptions(_text_list(na_values, "na_values"),
                      _text_list(key_na_values, "key_na_values"), block_size,
                      progress or (lambda n: None), threads)
    plan = _Plan(col_names, by_names)
    grouped = by_names or None
    summariser: Summariser | None = None
    blocks = _blocks(plan, data, opts)
    for block in (_prefetch(blocks) if is_files(data) else blocks):
        if summariser is None:
            assert plan.columns is not None
            summariser = Summariser(plan.columns, grouped, skipna, qs, relative_accuracy,
                                    threads)
        for name in [c for c in summariser.columns if c not in block.columns]:
            summariser.drop(name)
        try:
            summariser.add(block)
        except InputError as e:  # a key the file holds
            raise _located(e, block.file) from None
    if summariser is None:
        summariser = Summariser(plan.columns or [], grouped, skipna, qs, relative_accuracy,
                                threads)
    if plan.auto:
        for name in list(summariser.columns):
            if name in plan.untyped and name not in plan.typed:
                plan.why[name] = "holds no number"
                summariser.drop(name)  # no cell held a number
        if not summariser.columns:
            raise InputError(plan.nothing_left())
    return summariser.summary()
