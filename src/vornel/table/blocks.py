"""Blocks: rows of a table as float64 value columns and key columns, whatever the source."""

from __future__ import annotations

from collections.abc import Callable
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


class KeyColumn:
    """A key column of a block; `encode` gives per row a code in [0, K) and the K distinct
    keys in order of first appearance, missing keys included (as None, NaN or NA)."""

    def __init__(self, encode: Callable[[], tuple[npt.NDArray[np.integer[Any]], list[Any]]]):
        self.encode = encode


@dataclass
class Block:
    """Rows of one block: value columns by name, and the key columns when grouping."""

    n: int
    columns: dict[str, Values]
    keys: list[KeyColumn] = field(default_factory=list)
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


def arrow_keys(arr: Any) -> KeyColumn:
    pa = _deps.pa()

    def encode() -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
        pc = _deps.pc()
        a = arr
        if isinstance(a, pa.ChunkedArray):
            if pa.types.is_dictionary(a.type) and a.null_count == 0:
                return _unified_codes(a.unify_dictionaries())
            a = a.combine_chunks() if a.num_chunks != 1 else a.chunk(0)
        if pa.types.is_dictionary(a.type):
            # Dictionary order is not appearance order: encode the indices again.
            codes, first = _arrow_encode(pc, a.indices)
            values = a.dictionary.to_pylist()
            return codes, [None if i is None else values[i] for i in first]
        if pa.types.is_string_view(a.type) or pa.types.is_binary_view(a.type):
            a = a.cast(pa.large_string() if pa.types.is_string_view(a.type)
                       else pa.large_binary())
        return _arrow_encode(pc, a)

    return KeyColumn(encode)


def _unified_codes(a: Any) -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
    """Codes of dictionary chunks that share one dictionary. Each chunk's dictionary is in
    order of appearance (as a parser or an encoder builds it), and so is their union, taken
    in chunk order."""
    if a.num_chunks == 0:
        return np.empty(0, np.int32), []
    codes = np.concatenate([c.indices.to_numpy() for c in a.chunks])
    return codes, a.chunk(0).dictionary.to_pylist()


def _arrow_encode(pc: Any, a: Any) -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
    enc = pc.dictionary_encode(a, null_encoding="encode")
    return enc.indices.to_numpy(zero_copy_only=False), enc.dictionary.to_pylist()


# ---------------------------------------------------------------- NumPy and pandas


def numpy_values(a: npt.NDArray[Any]) -> Values:
    if a.dtype != np.float64 or not a.dtype.isnative:
        a = a.astype(np.float64)
    return Values(a)


def numpy_keys(a: npt.NDArray[Any]) -> KeyColumn:
    def encode() -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
        pd = _deps.pandas_or_none()
        if pd is not None:
            return pandas_encode(pd, a)
        if a.dtype.kind == "O":
            index: dict[Any, int] = {}
            codes = np.fromiter((index.setdefault(k, len(index)) for k in a.tolist()),
                                np.int64, len(a))
            return codes, list(index)
        return arrow_keys(_deps.pa().array(a)).encode()

    return KeyColumn(encode)


def pandas_encode(pd: Any, obj: Any) -> tuple[npt.NDArray[np.integer[Any]], list[Any]]:
    if isinstance(obj, np.ndarray) and obj.dtype.kind == "f":
        obj = obj + 0.0  # -0.0 and 0.0 are one key
    codes, uniques = pd.factorize(obj, sort=False, use_na_sentinel=False)
    return codes, list(uniques.tolist() if hasattr(uniques, "tolist") else uniques)
