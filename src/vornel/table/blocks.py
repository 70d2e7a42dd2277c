"""Blocks: rows of a table as float64 value columns and key columns, whatever the source."""

from __future__ import annotations

import re
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

    def __str__(self) -> str:
        where = [self.source or ""]
        if self.line is not None:
            where.append(f"line {self.line}")
        if self.column is not None:
            where.append(f"column {self.column!r}")
        place = ", ".join(w for w in where if w)
        # One line, whatever a library's message or a file name holds: line breaks become
        # spaces, other unprintable characters escapes.
        message = re.sub(r"\s*[\r\n]+\s*", " ", str(self.args[0])).strip()
        text = f"{place}: {message}" if place else message
        return text if text.isprintable() else "".join(
            c if c.isprintable() else repr(c)[1:-1] for c in text)


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
    keymap: Any = None  # the data set's native map of text keys, when its keys are text
    seq: int = 0  # the block's place in the data set (first appearances of keys count it)
    file: str | None = None  # the file it comes from, which errors name


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
    data = numpy_view(arr)
    if data.dtype != np.float64:
        data = data.astype(np.float64)
    if not arr.null_count:
        return Values(data, None)
    missing = nulls(arr)
    if not data.flags.writeable:
        data = data.copy()
    data[missing] = np.nan  # null slots hold anything; NaN makes skipping them free
    return Values(data, missing)


def numpy_view(arr: Any) -> npt.NDArray[Any]:
    """The values buffer of a primitive numeric Arrow array as a read-only NumPy array,
    without a copy (null slots included, whatever they hold). Arrow's own conversion may
    import pandas, which costs a command-line run a quarter of a second."""
    pa = _deps.pa()
    typ = arr.type
    kind = "f" if pa.types.is_floating(typ) else "i" if pa.types.is_signed_integer(typ) else "u"
    dtype = np.dtype(f"<{kind}{typ.bit_width // 8}")
    buf = arr.buffers()[1]
    if buf is None:
        return np.zeros(len(arr), dtype)
    return np.frombuffer(buf, dtype, count=len(arr), offset=arr.offset * dtype.itemsize)


def nulls(arr: Any) -> Mask:
    """The null rows of an Arrow array, from its validity bitmap (a boolean array's own
    conversion to NumPy goes through pandas, slow to import)."""
    bits = np.frombuffer(arr.buffers()[0], np.uint8)
    valid = np.unpackbits(bits, bitorder="little", count=arr.offset + len(arr))[arr.offset:]
    out: Mask = valid == 0
    return out


# ---------------------------------------------------------------- NumPy and pandas


def numpy_values(a: npt.NDArray[Any]) -> Values:
    if a.dtype != np.float64 or not a.dtype.isnative:
        a = a.astype(np.float64)
    return Values(a)
