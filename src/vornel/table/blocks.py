"""Blocks: rows of a table as float64 value columns and key columns, whatever the source."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from vornel.table import _deps

F64 = npt.NDArray[np.float64]
Mask = npt.NDArray[np.bool_]


class InputError(ValueError):
    """Bad input, told in one line naming the source, line and column where known."""

    def __init__(self, message: str, source: str | None = None, line: int | None = None,
                 column: str | None = None) -> None:
        super().__init__(message)
        self.source, self.line, self.column = source, line, column

    def where(self, source: str | None = None, line: int | None = None) -> InputError:
        """Fills in the source and line if still unknown; returns self."""
        self.source = self.source or source
        self.line = self.line if self.line is not None else line
        return self

    def __str__(self) -> str:
        where = [self.source or ""]
        if self.line is not None:
            where.append(f"line {self.line}")
        if self.column is not None:
            where.append(f"column {self.column!r}")
        place = ", ".join(w for w in where if w)
        return f"{place}: {self.args[0]}" if place else str(self.args[0])


@dataclass
class Values:
    """A column's values as float64 (read-only arrays included) and the rows that hold no
    value (None: every row holds one). Missing rows hold NaN in `data`, so skipping NaN
    skips them too."""

    data: F64
    missing: Mask | None = None

    def rows(self, lo: int, hi: int) -> Values:
        return Values(self.data[lo:hi], None if self.missing is None else self.missing[lo:hi])


@dataclass
class Block:
    """Rows of one block: value columns by name, and the key columns when grouping."""

    n: int
    columns: dict[str, Values]
    keys: list[Any] = field(default_factory=list)  # KeyColumn per key column
    line: int | None = None  # the input line of the block's first row, where there are lines


# ---------------------------------------------------------------- arrow


def is_numeric_arrow(typ: Any) -> bool:
    pa = _deps.pa()
    return bool(pa.types.is_integer(typ) or pa.types.is_floating(typ)
                or pa.types.is_decimal(typ))


def arrow_values(arr: Any) -> Values:
    """float64 values of a numeric arrow Array or ChunkedArray. Integers are converted by
    NumPy (so values beyond 2**53 round as NumPy rounds them); a float64 array without nulls
    is taken without a copy."""
    pa = _deps.pa()
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks() if arr.num_chunks != 1 else arr.chunk(0)
    typ = arr.type
    if pa.types.is_decimal(typ):
        arr = _deps.pc().cast(arr, pa.float64(), safe=False)
    elif pa.types.is_null(typ):
        return Values(np.full(len(arr), np.nan), np.ones(len(arr), np.bool_))
    missing = None
    if arr.null_count:
        missing = np.asarray(arr.is_null().to_numpy(zero_copy_only=False), np.bool_)
    # With nulls, to_numpy gives float64 with NaN in the null slots.
    data = arr.to_numpy(zero_copy_only=False)
    if data.dtype != np.float64:
        data = data.astype(np.float64)
    return Values(data, missing)


# ---------------------------------------------------------------- NumPy and pandas


def numpy_values(a: npt.NDArray[Any]) -> Values:
    if a.dtype != np.float64 or not a.dtype.isnative:
        a = a.astype(np.float64)
    return Values(a)
