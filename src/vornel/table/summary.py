"""Summaries of tables: records per column (and per group), grown block by block, and the
finished `Summary` with its pandas, Arrow and dict forms."""

from __future__ import annotations

import datetime
import operator
import threading
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from decimal import Decimal
from functools import partial
from typing import Any, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

from vornel import state
from vornel._sketch import GroupedQuantileSketch, QuantileSketch
from vornel.table import _deps
from vornel.table.blocks import Block, Values
from vornel.table.keys import ArrowKeyMap, KeyMap, TextKeyMap, arrow_mappable

STATS = ("count", "missing", "sum", "mean", "min", "max", "var", "std")
COUNTS = ("count", "missing")  # the int64 statistics; an empty group reports them too
Records = npt.NDArray[np.void]
Sketch = QuantileSketch | GroupedQuantileSketch


def _fold(ids: npt.NDArray[np.integer[Any]] | None, v: Values, into: Records,
          skipna: bool, sketch: Sketch | None = None) -> None:
    data = v.data
    if v.missing is not None and not skipna:
        # Missing rows hold NaN; NaN that is a value still counts, so drop them by mask.
        keep = ~v.missing
        data = data[keep]
        ids = None if ids is None else ids[keep]
    if ids is None:
        state.summarise(data, into=into, skipna=skipna)
    else:
        state.summarise_grouped(ids, data, len(into), into=into, skipna=skipna)
    _sketch_add(sketch, ids, data)


def _sketch_add(sketch: Sketch | None, ids: npt.NDArray[np.integer[Any]] | None,
                data: npt.NDArray[np.float64]) -> None:
    """Adds a block's values to a column's quantile sketch (NaN, and so every missing row,
    has no rank: the sketch skips it whatever skipna says)."""
    if sketch is None:
        return
    if ids is None:
        cast(QuantileSketch, sketch).add(data)
    else:
        cast(GroupedQuantileSketch, sketch).add(ids, data)


def quantile_name(q: float) -> str:
    """The output column of quantile q: repr(q) with its decimal point moved two places,
    after "p" (0.5 is p50, 0.29 p29, 0.999 p99.9, 1e-05 p0.001)."""
    text = format(Decimal(repr(q)).scaleb(2).normalize(), "f")
    return "p" + (text if "." not in text else text.rstrip("0").rstrip("."))


def check_quantiles(quantiles: Any, accuracy: float) -> list[float]:
    """Distinct numbers in [0, 1] (refused before any reading, as a bad accuracy is)."""
    if quantiles is None:
        return []
    qs = [quantiles] if isinstance(quantiles, (int, float)) else list(quantiles)
    out = []
    for q in qs:
        if isinstance(q, bool) or not isinstance(q, (int, float, np.floating, np.integer)):
            raise TypeError(f"quantiles must be numbers, not {type(q).__name__}")
        if not 0.0 <= float(q) <= 1.0:
            raise ValueError(f"quantiles must lie in [0, 1], got {q!r}")
        out.append(float(q))
    names = [quantile_name(q) for q in out]
    if len(set(names)) != len(names):
        raise ValueError(f"quantiles must be distinct, got {qs!r}")
    QuantileSketch(accuracy)  # refuses a bad accuracy
    return out


COUNT_ROWS = 1 << 16  # ids counted at a time: bincount copies them as int64 first


def _bincount(ids: npt.NDArray[np.integer[Any]], n: int) -> npt.NDArray[np.int64]:
    """Rows per id in [0, n), in steps that keep bincount's int64 copy of the ids small; a
    step is at least n long, so adding the steps' counts costs at most what counting does."""
    step = max(COUNT_ROWS, n)
    out: npt.NDArray[np.int64] = np.bincount(ids[:step], minlength=n)
    for lo in range(step, len(ids), step):
        out += np.bincount(ids[lo:lo + step], minlength=n)
    return out


_POOLS: dict[int, ThreadPoolExecutor] = {}  # by size; their threads live for the process
_POOLS_LOCK = threading.Lock()
PARALLEL_VALUES = 1 << 20  # below this many values a block's columns fold on the caller


def _pool(threads: int) -> ThreadPoolExecutor:
    with _POOLS_LOCK:
        if threads not in _POOLS:
            _POOLS[threads] = ThreadPoolExecutor(threads, thread_name_prefix="vornel-fold")
        return _POOLS[threads]


class Summariser:
    """Records that grow block by block: each group's record holds exactly the bits of
    adding that group's values to one accumulator in input order."""

    def __init__(self, columns: Sequence[str], by: Sequence[str] | None, skipna: bool,
                 quantiles: Sequence[float] = (), accuracy: float = 0.01,
                 threads: int = 2) -> None:
        self.columns = list(columns)
        self.threads = threads  # that fold a block's columns at once
        self.by = None if by is None else list(by)
        self.skipna = skipna
        self.keys: KeyMap | ArrowKeyMap | TextKeyMap | None = None
        shape: tuple[int, ...] = () if self.by is None else (64,)
        self.records = {name: state.empty_records(shape) for name in self.columns}
        self.quantiles = list(quantiles)
        # A quantile sketch per column when quantiles are asked for; they grow with the
        # groups, as the records do.
        self.sketches: dict[str, Sketch] = {} if not self.quantiles else {
            name: QuantileSketch(accuracy) if self.by is None
            else GroupedQuantileSketch(64, accuracy) for name in self.columns}
        # Rows per group: missing = rows - count, whatever skipna. Grouped, they are each
        # group's count plus its missing rows in the first column (kept per column, counted
        # only in blocks where a column had such rows); counted directly while no column is.
        self.row_counts = np.zeros(shape, np.int64)
        self.missing = {name: np.zeros(shape, np.int64) for name in self.columns}
        self._totals = dict.fromkeys(self.columns, 0)  # values folded per column
        self._pending: list[Future[None]] = []
        self._checks: list[Callable[[], None]] = []  # after a block's folds

    def _run(self, jobs: list[Callable[[], None]], values: int) -> None:
        """Starts the folds of a block's columns (which share nothing). With enough work they
        run on up to `threads` helper threads, detached, while the caller encodes the next
        block's keys; the records are touched again only after `_wait`."""
        if values < PARALLEL_VALUES or self.threads < 2 or len(jobs) < 2:
            for job in jobs:
                job()
            return
        pool = _pool(min(self.threads, len(jobs)))
        self._pending = [pool.submit(job) for job in jobs]

    def _wait(self) -> None:
        pending, self._pending = self._pending, []
        for f in pending:
            f.result()
        checks, self._checks = self._checks, []
        for check in checks:
            check()

    def _count_missing(self, block: Block, ids_of: Callable[[npt.NDArray[np.intp]], Any],
                       n: int) -> None:
        """After a block of n rows has folded, adds each column's rows that held no value
        (masked, or NaN under skipna) to its groups' missing counts. ids_of maps row numbers
        to group ids. Where groups are few, a column's total count tells first whether any
        row was missing, without a pass over the rows."""
        if not self.columns:
            self._count_rows(ids_of(np.arange(n)))
            return
        few = len(self.row_counts) * 8 <= n
        for name in self.columns:
            v = block.columns[name]
            if not self.skipna and v.missing is None:
                continue  # every row is a value, NaN too
            if few:
                total = int(self.records[name]["count"].sum())
                folded, self._totals[name] = total - self._totals[name], total
                if folded == n:
                    continue
            unused = np.isnan(v.data) if self.skipna or v.missing is None else v.missing
            rows = np.flatnonzero(unused)
            if len(rows):
                self.missing[name] += _bincount(ids_of(rows), len(self.row_counts))

    def _grow(self, n: int) -> None:
        have = len(self.row_counts)
        if have >= n:
            return
        # Growing by half keeps the copies to a constant share of the work.
        size = max(n + n // 4, have + have // 2)
        for name, rec in self.records.items():
            bigger = state.empty_records(size)
            bigger[:have] = rec
            self.records[name] = bigger
        rows = np.zeros(size, np.int64)
        rows[:have] = self.row_counts
        self.row_counts = rows
        for name, miss in self.missing.items():
            self.missing[name] = bigger_miss = np.zeros(size, np.int64)
            bigger_miss[:have] = miss
        for sketch in self.sketches.values():
            cast(GroupedQuantileSketch, sketch).resize(size)

    def _count_rows(self, ids: npt.NDArray[np.integer[Any]]) -> None:
        """Adds a block's rows to their groups' row counts (runs while the columns fold)."""
        self.row_counts += _bincount(ids, len(self.row_counts))

    def add(self, block: Block) -> None:
        work = block.n * len(self.columns)
        if self.by is None:
            self._wait()
            self._run([partial(_fold, None, v, rec, self.skipna, sk) for rec, v, sk in
                       self._cols(block)], work)
            self.row_counts += block.n
            return
        if self.keys is None:
            one = len(self.by) == 1 and arrow_mappable(block.keys[0])
            self.keys = (TextKeyMap(block.keymap, self.by) if block.keymap is not None
                         else ArrowKeyMap(self.by) if one else KeyMap(self.by))
        if isinstance(self.keys, TextKeyMap):
            codes, m, fresh = self.keys.map_block(block.keys, block.seq)
        else:
            codes, m, fresh = self.keys.map_block(block.keys)  # while the last block folds
        self._wait()
        self._grow(len(self.keys))
        cols = self._cols(block)
        if m is None:  # codes are group ids already
            self._run([partial(_fold, codes, v, rec, self.skipna, sk) for rec, v, sk in cols],
                      work)
            self._checks.append(partial(self._count_missing, block, codes.__getitem__, block.n))
            return
        if fresh is not None and len(fresh) < block.n:
            self._add_fresh(block, codes, m, fresh, cols, work)
            return
        ids = m[codes]
        self._run([partial(_fold, ids, v, rec, self.skipna, sk) for rec, v, sk in cols], work)
        self._checks.append(partial(self._count_missing, block, ids.__getitem__, block.n))

    def _cols(self, block: Block) -> list[tuple[Records, Values, Sketch | None]]:
        return [(self.records[c], block.columns[c], self.sketches.get(c)) for c in self.columns]

    def _add_fresh(self, block: Block, codes: npt.NDArray[np.integer[Any]],
                   m: npt.NDArray[np.int32],
                   fresh: list[int], cols: list[tuple[Records, Values, Sketch | None]],
                   work: int) -> None:
        """Every group of the block is new: fold in the block's own codes into new records
        and place them. A new group's record starts empty either way, so the bits are
        those of folding by group id, without a pass mapping every row to its id."""
        k = len(m) - 1
        if codes.dtype not in (np.int32, np.int64):
            codes = codes.astype(np.int32)
        if k in fresh:  # the missing key is among them: its code -1 becomes k
            codes = np.where(codes < 0, k, codes)
        at, ids = np.asarray(fresh, np.intp), m[fresh]
        # Sketches take the rows' group ids: only records are placed afterwards.
        rows = m[codes] if self.sketches else None

        def fold(rec: Records, v: Values, sketch: Sketch | None) -> None:
            local = state.empty_records(k + 1)
            _fold(codes, v, local, self.skipna)
            rec[ids] = local[at]
            _sketch_add(sketch, rows, v.data)  # missing rows hold NaN, which has no rank

        self._run([partial(fold, rec, v, sk) for rec, v, sk in cols], work)
        self._checks.append(partial(self._count_missing, block, lambda r: m[codes[r]],
                                    len(codes)))

    def drop(self, name: str) -> None:
        """Forgets a column (one found not to be numeric after all)."""
        self._wait()
        self.columns.remove(name)
        del self.records[name]
        self.sketches.pop(name, None)
        self.missing.pop(name, None)
        self._totals.pop(name, None)

    def summary(self) -> Summary:
        """The Summary of what was added. Spends the summariser: its records move into the
        Summary one column at a time, so that only one column is ever held twice."""
        self._wait()
        quantiles = (self.quantiles, self.sketches) if self.quantiles else None
        if self.by is None:
            return Summary(self.columns, None, [], self.records, self.row_counts, quantiles)
        if self.columns:  # every column's count plus missing is its groups' rows
            first = self.columns[0]
            self.row_counts = self.records[first]["count"] + self.missing[first]
        order, keys = self.keys.ordered() if self.keys is not None else (np.arange(0), [])
        n = len(order)
        if n and order[0] + n - 1 == order[-1] and np.all(np.diff(order) == 1):
            # Slots already in order: a slice, without a gathering pass.
            lo = order[0]
            recs = {name: self.records.pop(name)[lo:lo + n].copy() for name in self.columns}
            rows = self.row_counts[lo:lo + n].copy()
        else:
            recs = {name: self.records.pop(name)[order] for name in self.columns}
            rows = self.row_counts[order]
        if quantiles is not None:
            quantiles = (self.quantiles, {name: cast(GroupedQuantileSketch, sk).take(order)
                                          for name, sk in self.sketches.items()})
        return Summary(self.columns, self.by, keys, recs, rows, quantiles)


class Summary:
    """The statistics of columns (STATS, then the quantiles asked for), per group when
    grouped.

    `records[column]` holds the state (`vornel.state.RECORD_DTYPE`): shape () without
    grouping, (n_groups,) with it, group i having key `keys[i]` (a tuple with several key
    columns; None stands for a missing key). `row_counts` (int64, the same shape) holds the
    rows of each group, whatever their cells held. With quantiles, `sketches[column]` is the
    column's QuantileSketch (a GroupedQuantileSketch grouped), and each q is an output
    column named by `quantile_name`. Groups are in order of first appearance. A Summary
    holds records, row counts, sketches and keys only, so it pickles and travels between
    processes."""

    def __init__(self, columns: Sequence[str], by: Sequence[str] | None, keys: Any,
                 records: dict[str, Records], row_counts: npt.NDArray[np.int64],
                 quantiles: tuple[Sequence[float], dict[str, Sketch]] | None = None) -> None:
        self.columns = list(columns)
        self.by = None if by is None else list(by)
        # Keys arrive as a list, or as an Arrow array (many keys stay in Arrow until asked).
        self._keys: list[Any] | None = None if hasattr(keys, "type") else list(keys)
        self._key_array: Any = keys if self._keys is None else None
        self.has_arrow_keys = self._keys is None  # the Arrow array holds the keys themselves
        self.records = records
        self.row_counts = np.asarray(row_counts, np.int64)
        self.quantiles: list[float] = [] if quantiles is None else list(quantiles[0])
        self.sketches: dict[str, Sketch] = {} if quantiles is None else dict(quantiles[1])

    @property
    def stat_names(self) -> tuple[str, ...]:
        """The statistics of every output, in order: STATS, then one per quantile."""
        return STATS + tuple(quantile_name(q) for q in self.quantiles)

    @property
    def missing(self) -> dict[str, npt.NDArray[np.int64]]:
        """Per column, the cells of each group that held no value (nulls, NA cells, and NaN
        under skipna=True): its rows less its count, of the records' shape."""
        # asarray: NumPy makes a scalar of the difference of 0-d arrays.
        return {c: np.asarray(self.row_counts - self.records[c]["count"])
                for c in self.columns}

    @property
    def keys(self) -> list[Any]:
        """Group keys in group order: values, or tuples with several key columns."""
        if self._keys is None:
            arr = self._key_array
            if hasattr(arr.type, "num_fields") and arr.type.num_fields:  # several key columns
                self._keys = list(zip(*(arr.field(j).to_pylist()
                                        for j in range(arr.type.num_fields))))
            else:
                self._keys = arr.to_pylist()
        return self._keys

    def key_array(self) -> Any:
        """The keys as an Arrow array (a struct array with several key columns)."""
        if self._key_array is None:
            pa = _deps.pa()
            assert self._keys is not None and self.by is not None
            if len(self.by) == 1:
                self._key_array = _arrow_keys(pa, self._keys)
            else:
                fields = [_arrow_keys(pa, [t[j] for t in self._keys])
                          for j in range(len(self.by))]
                self._key_array = pa.StructArray.from_arrays(fields, self.by) if fields \
                    else pa.array([])
        return self._key_array

    def __repr__(self) -> str:
        groups = "" if self.by is None else f", by={self.by!r}, {len(self.keys)} groups"
        return f"<vornel.Summary columns={self.columns!r}{groups}>"

    def __eq__(self, other: object) -> bool:
        """Same columns, keys, row counts and record bits (any NaN equal to any other)."""
        if not isinstance(other, Summary):
            return NotImplemented
        return (self.columns == other.columns and self.by == other.by
                and _same_keys(self.keys, other.keys)
                and np.array_equal(self.row_counts, other.row_counts)
                and all(_bits(self.records[c]) == _bits(other.records[c])
                        for c in self.columns)
                and self.quantiles == other.quantiles and self.sketches == other.sketches)

    __hash__ = None  # type: ignore[assignment]

    def stats(self, column: str, ddof: int = 0,
              groups: tuple[int, int] | None = None) -> dict[str, npt.NDArray[Any]]:
        """The statistics of one column as arrays (one element per group), in STATS order;
        of groups lo to hi only with groups=(lo, hi). Empty groups count 0, sum 0.0 and NaN
        for the rest but missing. A group that saw values but no comparable one (all NaN,
        counted with skipna=False) has min and max NaN. var and std divide by count - ddof
        (see `vornel.state.finalise`): NaN where count <= ddof."""
        rec, rows = self.records[column], self.row_counts
        if groups is not None and self.by is not None:
            rec, rows = rec[groups[0]:groups[1]], rows[groups[0]:groups[1]]
        out = state.finalise(rec, ddof)
        out["missing"] = np.asarray(rows - out["count"])
        # The record keeps its initial extremes when no value compared: min > max.
        blind = (out["count"] > 0) & (rec["min"] > rec["max"])
        if np.any(blind):
            out["min"] = np.where(blind, np.nan, out["min"])
            out["max"] = np.where(blind, np.nan, out["max"])
        if self.quantiles:
            # NaN where no value with a rank arrived (an empty group, or NaN only).
            sketch = self.sketches[column]
            if groups is not None and self.by is not None:
                sketch = cast(GroupedQuantileSketch, sketch).take(np.arange(*groups))
            table = sketch.quantiles(self.quantiles)
            for j, q in enumerate(self.quantiles):
                out[quantile_name(q)] = np.asarray(table[..., j])
        return {s: out[s] for s in self.stat_names}

    def rows(self, ddof: int = 0) -> Iterator[tuple[Any, str, dict[str, Any]]]:
        """(key, column, statistics) per group and column, groups first; key is None
        without grouping. Statistics are Python numbers; those of an empty group are None
        (but count, missing and sum), as in `result()`."""
        _check_ddof(ddof)
        cols = {c: {s: a.tolist() for s, a in self.stats(c, ddof).items()}
                for c in self.columns}
        n = 1 if self.by is None else len(self.keys)
        for i in range(n):
            key = None if self.by is None else self.keys[i]
            for c in self.columns:
                vals = cols[c]
                names = self.stat_names
                if self.by is None:
                    res = {s: vals[s] for s in names}
                else:
                    res = {s: vals[s][i] for s in names}
                if res["count"] == 0:
                    res = {s: (res[s] if s in COUNTS else 0.0 if s == "sum" else None)
                           for s in names}
                yield key, c, res

    def to_dict(self, ddof: int = 0) -> dict[Any, Any]:
        """{column: {statistic: value}}, or {key: {column: {statistic: value}}} grouped."""
        if self.by is None:
            return {c: res for _, c, res in self.rows(ddof)}
        out: dict[Any, dict[str, dict[str, Any]]] = {}
        for key, c, res in self.rows(ddof):
            out.setdefault(key, {})[c] = res
        return out

    def _columns(self, ddof: int) -> tuple[list[Any], dict[str, npt.NDArray[Any]]]:
        """Key columns and statistic columns, one row per (group, column)."""
        _check_ddof(ddof)
        n_cols = len(self.columns)
        n = 1 if self.by is None else len(self.keys)
        per = [self.stats(c, ddof) for c in self.columns]
        stats = {s: interleaved(per, s, 0, n) if per
                 else np.empty(0, np.int64 if s in COUNTS else np.float64)
                 for s in self.stat_names}
        key_cols: list[Any] = []
        if self.by is not None:
            tuples = self.keys if len(self.by) > 1 else [(k,) for k in self.keys]
            for j in range(len(self.by)):
                key_cols.append([t[j] for t in tuples for _ in range(n_cols)])
        key_cols.append(list(self.columns) * n)
        return key_cols, stats

    def to_pandas(self, ddof: int = 0) -> Any:
        """A pandas DataFrame indexed by (keys..., column), or by column without grouping,
        with columns count, missing, sum, mean, min, max, var, std (var and std with divisor
        count - ddof). A key column named "column" is named "column_key" here (see
        `output_names`)."""
        pd = _deps.pd()
        key_cols, stats = self._columns(ddof)
        names = [*output_names(self.by or [], ["column"], text=False), "column"]
        # tupleize_cols=False: tuple names (of MultiIndex columns) and keys stay values.
        levels = [pd.Index(c, dtype=object if not c else None, tupleize_cols=False)
                  for c in key_cols]
        if len(levels) == 1:
            index = levels[0].rename("column")
        else:
            index = pd.MultiIndex.from_arrays(levels, names=names)
        return pd.DataFrame(stats, index=index)

    def to_arrow(self, ddof: int = 0) -> Any:
        """A pyarrow Table: the key columns, "column", then the statistics (var and std with
        divisor count - ddof). Names are text, and a key named like another column of the
        table is renamed (`output_names`)."""
        pa = _deps.pa()
        key_cols, stats = self._columns(ddof)
        names = [*output_names(self.by or [], ["column", *self.stat_names]), "column"]
        arrays = {n: _arrow_keys(pa, c) for n, c in zip(names, key_cols)}
        arrays["column"] = pa.array([str(c) for c in key_cols[-1]], pa.string())
        arrays.update((s, pa.array(a)) for s, a in stats.items())
        return pa.table(arrays)

    def merge(self, other: Summary) -> Summary:
        """A new Summary of both: groups matched by key, this one's groups first, then the
        other's new ones in their order. Merged sums, means and variances round as
        `merge_records` does, not as one pass over all values would."""
        if not isinstance(other, Summary):
            raise TypeError(f"other must be a Summary, not {type(other).__name__}")
        if other.columns != self.columns or other.by != self.by:
            raise ValueError(f"summaries differ in columns or keys: {self.columns!r} by "
                             f"{self.by!r}, other {other.columns!r} by {other.by!r}")
        if other.quantiles != self.quantiles:
            raise ValueError(f"summaries differ in quantiles: {self.quantiles!r} and "
                             f"{other.quantiles!r}")
        if self.by is None:
            recs = {c: state.merge_records(self.records[c].copy(), other.records[c])
                    for c in self.columns}
            single = {c: _merged(self.sketches[c], other.sketches[c]) for c in self.sketches}
            return Summary(self.columns, None, [], recs, self.row_counts + other.row_counts,
                           (self.quantiles, single) if self.quantiles else None)
        _check_key_types(self, other)
        # Matched by type and value: 1, 1.0 and True are equal in Python, not as keys.
        index = {_typed(k): i for i, k in enumerate(self.keys)}
        keys = list(self.keys)
        at = np.empty(len(other.keys), np.int64)
        for j, k in enumerate(other.keys):
            i = index.get(_typed(k))
            if i is None:
                i = index[_typed(k)] = len(keys)
                keys.append(k)
            at[j] = i
        recs = {}
        for c in self.columns:
            out = state.empty_records(len(keys))
            out[: len(self.keys)] = self.records[c]
            part = out[at]
            state.merge_records(part, other.records[c])
            out[at] = part
            recs[c] = out
        rows = np.zeros(len(keys), np.int64)
        rows[: len(self.keys)] = self.row_counts
        rows[at] += other.row_counts  # other's keys are distinct: each slot at most once
        # Sketches merge into exactly what one pass would give: buckets only add.
        mine = np.arange(len(keys))
        mine[len(self.keys):] = -1
        theirs = np.full(len(keys), -1, np.int64)
        theirs[at] = np.arange(len(at))
        sketches: dict[str, Sketch] = {}
        for c, sketch in self.sketches.items():
            merged = cast(GroupedQuantileSketch, sketch).take(mine)  # a new sketch
            merged.merge(cast(GroupedQuantileSketch, other.sketches[c]).take(theirs))
            sketches[c] = merged
        return Summary(self.columns, self.by, keys, recs, rows,
                       (self.quantiles, sketches) if self.quantiles else None)


def _merged(a: Sketch, b: Sketch) -> Sketch:
    """A new sketch of both single sketches (a's copy taken through the stored form:
    sketches have no copy of their own)."""
    out = cast(QuantileSketch, state.loads(state.dumps(a)))
    out.merge(cast(QuantileSketch, b))
    return out


def _check_ddof(ddof: object) -> None:
    """Refuses a bad ddof as finalise does, before any output is made (a Summary of no
    columns would never reach finalise)."""
    if isinstance(ddof, bool) or not isinstance(ddof, SupportsIndex):
        raise TypeError(f"ddof must be an int, not {type(ddof).__name__}")
    if operator.index(ddof) < 0:
        raise ValueError(f"ddof must be 0 or more, got {operator.index(ddof)!r}")


def output_names(by: Sequence[Any], taken: Sequence[str], text: bool = True) -> list[Any]:
    """The names of key columns in a flat table whose other columns are `taken`: each key
    keeps its name (as text where text=True), unless an output column or another key uses
    it; then "_key" is appended until the name is free. A header then reads back without
    ambiguity: keys first, then the first column named "column"."""
    used = set(taken) | {str(b) if text else b for b in by}
    out = []
    for b in by:
        name = str(b) if text else b
        if name in taken or name in out:
            name = str(name)
            while name in used:
                name += "_key"
            used.add(name)
        out.append(name)
    return out


def interleaved(per: Sequence[dict[str, npt.NDArray[Any]]], stat: str, lo: int,
                hi: int) -> npt.NDArray[Any]:
    """One statistic of groups lo to hi, a row per (group, column), groups first; per holds
    each column's `Summary.stats`."""
    return np.stack([p[stat].reshape(-1)[lo:hi] for p in per], axis=1).reshape(-1)


def _bits(rec: Records) -> bytes:
    """The bytes of records, every NaN made one NaN: the sign and payload of a computed NaN
    follow the operand order of the loop that made it (the grouped loops differ there from
    the single-stream one), and carry no meaning."""
    floats = ("sum", "mean", "m2", "min", "max")
    if not any(np.isnan(rec[f]).any() for f in floats):
        return rec.tobytes()
    rec = rec.copy()
    for f in floats:
        rec[f] = np.where(np.isnan(rec[f]), np.nan, rec[f])
    return rec.tobytes()


# Kinds of key values; pandas' Timestamp is a datetime, NumPy's str_ a str, and so on.
_KINDS = (bool, int, float, str, bytes, datetime.datetime, datetime.date, datetime.time,
          datetime.timedelta)


def _kind(k: Any) -> type:
    return next((t for t in _KINDS if isinstance(k, t)), type(k))


def _typed(key: Any) -> Any:
    """A key with the kinds of its values, so that keys equal across kinds stay apart."""
    if isinstance(key, tuple):
        return tuple((_kind(k), k) for k in key)
    return (_kind(key), key)


def _key_types(s: Summary) -> list[set[type]]:
    """Per key column, the types of its keys (the missing key has none)."""
    n = len(s.by or [])
    types: list[set[type]] = [set() for _ in range(n)]
    for key in s.keys:
        for j, k in enumerate(key if n > 1 else (key,)):
            if k is not None:
                types[j].add(_kind(k))
    return types


def _check_key_types(a: Summary, b: Summary) -> None:
    """Summaries whose key columns hold keys of different types do not merge: no key would
    match, and the keys would form no one typed column."""
    for name, ta, tb in zip(a.by or [], _key_types(a), _key_types(b)):
        if len(ta) == 1 and len(tb) == 1 and ta != tb:
            raise ValueError(
                f"summaries differ in the type of key column {name!r}: "
                f"{', '.join(sorted(t.__name__ for t in ta))} against "
                f"{', '.join(sorted(t.__name__ for t in tb))}")


def _arrow_keys(pa: Any, keys: list[Any]) -> Any:
    try:
        return pa.array(keys)
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError):  # keys of mixed types
        return pa.array([None if k is None else str(k) for k in keys], pa.string())


def _same_keys(a: list[Any], b: list[Any]) -> bool:
    return len(a) == len(b) and all(_typed(x) == _typed(y) for x, y in zip(a, b))
