"""Sources: data frames, Arrow data, dicts of arrays and files (CSV, compressed CSV, Parquet,
.npy), each giving its column names and blocks of the wanted columns."""

from __future__ import annotations

import io
import mmap
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, Protocol, cast

import numpy as np

from vornel.table import _deps
from vornel.table.blocks import (Block, InputError, Values, arrow_values, is_numeric_arrow,
                                 numpy_values)
from vornel.table.keys import KeyColumn, arrow_keys, numpy_keys, pandas_encode
from vornel.table.csvfile import BLOCK_BYTES, CsvSource

STDIN = "-"
FRAME_ROWS = 1 << 20  # rows per block of an in-memory frame
# File signatures, to say what a file looks like when it is not what its name says.
MAGIC = [(b"\x1f\x8b", "gzip-compressed data"), (b"BZh", "bzip2-compressed data"),
         (b"\x28\xb5\x2f\xfd", "zstd-compressed data"), (b"\xfd7zXZ\x00", "xz-compressed data"),
         (b"PAR1", "a Parquet file"), (b"\x93NUMPY", "a .npy file"),
         (b"PK\x03\x04", "a zip archive")]
COMPRESSED = {".gz": "gzip", ".bz2": "bzip2", ".zst": "zstd", ".xz": "xz"}


class Source(Protocol):
    source: str
    header: list[str]
    dropped: list[str]
    untyped: set[str]

    def numeric(self, name: str) -> bool | None:
        """Whether a column is numeric; None when only reading can tell."""

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        ...


class _Columns:
    """A source whose columns are in memory, as one block or a few."""

    dropped: list[str]
    untyped: set[str]

    def __init__(self, source: str, header: list[str]) -> None:
        self.source, self.header = source, header
        self.dropped, self.untyped = [], set()


# ---------------------------------------------------------------- in memory


class PandasSource(_Columns):
    def __init__(self, df: Any) -> None:
        super().__init__("DataFrame", list(df.columns))
        self.df = df

    def numeric(self, name: str) -> bool:
        pd = _deps.pd()
        dt = self.df[name].dtype
        return bool(pd.api.types.is_numeric_dtype(dt) and not pd.api.types.is_bool_dtype(dt))

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        pd = _deps.pd()
        df = self.df
        values = {name: _pandas_values(df[name], name) for name in columns}
        # Keys that must be hashed go in blocks of rows, so that hashing the keys of one
        # block overlaps the folds of the last; codes of categories and narrow integers
        # are cheap, and one block spares the per-block work.
        hashed = any(not (isinstance(df[k].dtype, pd.CategoricalDtype)
                          or pd.api.types.is_integer_dtype(df[k].dtype)) for k in by)
        step = FRAME_ROWS if hashed else max(len(df), 1)
        for lo in range(0, max(len(df), 1), step):
            hi = min(lo + step, len(df))
            part = {name: v.rows(lo, hi) for name, v in values.items()}
            keys = [_pandas_keys(pd, df[k].iloc[lo:hi]) for k in by]
            yield Block(hi - lo, part, keys)


def _pandas_keys(pd: Any, s: Any) -> KeyColumn:
    return KeyColumn(lambda: pandas_encode(pd, s))


def _pandas_values(s: Any, name: str) -> Values:
    dt = s.dtype
    if isinstance(dt, np.dtype):
        if dt.kind not in "iufb":
            raise InputError(f"not numeric (dtype {dt})", column=str(name))
        return numpy_values(s.to_numpy())
    if hasattr(dt, "pyarrow_dtype"):
        pa = _deps.pa()
        return _arrow_checked(pa.array(s.array), name)
    # pandas' masked dtypes (Int64, Float64, ...): the mask says which rows hold no value.
    try:
        data = s.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise InputError(f"not numeric (dtype {dt})", column=str(name)) from None
    missing = np.asarray(s.isna().to_numpy(), np.bool_)
    return Values(data, missing if missing.any() else None)


def _arrow_checked(arr: Any, name: str) -> Values:
    pa = _deps.pa()
    if not (is_numeric_arrow(arr.type) or pa.types.is_null(arr.type)
            or pa.types.is_boolean(arr.type)):
        raise InputError(f"not numeric (type {arr.type})", column=str(name))
    if pa.types.is_boolean(arr.type):
        arr = arr.cast(pa.uint8())
    return arrow_values(arr)


class ArrowSource(_Columns):
    """A pyarrow Table, RecordBatch or RecordBatchReader: one block per record batch."""

    def __init__(self, data: Any, source: str = "Table") -> None:
        super().__init__(source, list(data.schema.names))
        self.data = data
        self.schema = data.schema

    def numeric(self, name: str) -> bool:
        return is_numeric_arrow(self.schema.field(name).type)

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        pa = _deps.pa()
        data = self.data
        batches = [data] if isinstance(data, pa.RecordBatch) else (
            data.to_batches() if isinstance(data, pa.Table) else data)
        idx = {name: self.header.index(name) for name in [*columns, *by]}
        for batch in batches:
            yield Block(batch.num_rows,
                        {c: _arrow_checked(batch.column(idx[c]), c) for c in columns},
                        [arrow_keys(batch.column(idx[k])) for k in by])


class DictSource(_Columns):
    def __init__(self, data: dict[Any, Any]) -> None:
        super().__init__("dict", list(data))
        self.arrays = {}
        n = None
        for name, col in data.items():
            a = col if hasattr(col, "dtype") and hasattr(col, "shape") else np.asarray(col)
            if getattr(a, "ndim", 1) != 1:
                raise InputError(f"expected a one-dimensional array, got {a.ndim} dimensions",
                                 column=str(name))
            if n is not None and len(a) != n:
                raise InputError(f"length {len(a)} differs from the first column's {n}",
                                 column=str(name))
            n = len(a)
            self.arrays[name] = a
        self.n = n or 0

    def numeric(self, name: str) -> bool:
        a = self.arrays[name]
        return isinstance(a, np.ndarray) and a.dtype.kind in "iuf"

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        values = {}
        for c in columns:
            a = self.arrays[c]
            if not isinstance(a, np.ndarray) or a.dtype.kind not in "iufb":
                raise InputError(f"not numeric (dtype {a.dtype})", column=str(c))
            values[c] = numpy_values(a)
        yield Block(self.n, values, [numpy_keys(np.asarray(self.arrays[k])) for k in by])


# ---------------------------------------------------------------- files


class NpySource(_Columns):
    """A .npy file, mapped read-only: a 1-d array is column "value", a 2-d array has
    columns "0", "1", ..., a record array one column per field."""

    def __init__(self, path: str, block_bytes: int) -> None:
        _expect(path, b"\x93NUMPY", "a .npy file")
        try:
            a = np.load(path, mmap_mode="r", allow_pickle=False)
        except (ValueError, EOFError, OSError) as e:
            raise InputError(f"not a readable .npy file: {e}", path) from None
        if a.dtype.names:
            if a.ndim != 1:
                raise InputError(f"expected a one-dimensional record array, got {a.ndim} "
                                 "dimensions", path)
            cols = {name: a[name] for name in a.dtype.names}
        elif a.ndim == 1:
            cols = {"value": a}
        elif a.ndim == 2:
            cols = {str(j): a[:, j] for j in range(a.shape[1])}
        else:
            raise InputError(f"expected one or two dimensions, got {a.ndim}", path)
        super().__init__(path, list(cols))
        self.cols, self.n = cols, len(a)
        self.rows = max(1, block_bytes // max(1, a.dtype.itemsize * (a.shape[1] if
                                                                      a.ndim == 2 else 1)))

    def numeric(self, name: str) -> bool:
        c = self.cols[name]
        return c.ndim == 1 and c.dtype.kind in "iuf"

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        for name in columns:
            if not self.numeric(name) and not (self.cols[name].ndim == 1
                                               and self.cols[name].dtype.kind == "b"):
                raise InputError(f"not numeric (dtype {self.cols[name].dtype})", self.source,
                                 column=name)
        for name in by:
            if self.cols[name].ndim != 1:
                raise InputError(f"cannot group by a sub-array field (shape "
                                 f"{self.cols[name].shape[1:]})", self.source, column=name)
        for lo in range(0, self.n, self.rows):
            hi = min(lo + self.rows, self.n)
            yield Block(hi - lo, {c: numpy_values(self.cols[c][lo:hi]) for c in columns},
                        [numpy_keys(self.cols[k][lo:hi]) for k in by])
        if self.n == 0:
            yield Block(0, {c: numpy_values(self.cols[c]) for c in columns},
                        [numpy_keys(self.cols[k]) for k in by])


class ParquetSource(_Columns):
    def __init__(self, path: str, block_bytes: int) -> None:
        pa, pq = _deps.pa(), _deps.pq()

        _expect(path, b"PAR1", "a Parquet file")
        try:
            self.file = pq.ParquetFile(path)
        except (pa.ArrowInvalid, OSError) as e:
            raise InputError(f"not a readable Parquet file: {e}", path) from None
        self.schema = self.file.schema_arrow
        super().__init__(path, list(self.schema.names))
        self.block_bytes = block_bytes

    def numeric(self, name: str) -> bool:
        return is_numeric_arrow(self.schema.field(name).type)

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        # Bounded in bytes: a batch of wide rows holds fewer of them.
        rows = max(1024, self.block_bytes // (8 * (len(columns) + len(by) + 1)))
        for batch in self.file.iter_batches(batch_size=rows, columns=[*by, *columns],
                                            use_threads=True):
            yield Block(batch.num_rows,
                        {c: _arrow_checked(batch.column(c), c) for c in columns},
                        [arrow_keys(batch.column(k)) for k in by])


def _sniff(path: str) -> tuple[bytes, str]:
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError as e:
        raise InputError(f"cannot open: {e.strerror or e}", path) from None
    for magic, what in MAGIC:
        if head.startswith(magic):
            return head, what
    if not head:
        return head, "an empty file"
    return head, "binary data" if b"\x00" in head else "text"


def _expect(path: str, magic: bytes, what: str) -> None:
    head, looks = _sniff(path)
    if not head.startswith(magic):
        raise InputError(f"not {what}: it looks like {looks}", path)


def open_csv(path: str) -> tuple[IO[bytes], str]:
    """A binary stream of a CSV file's text, decompressed by its extension."""
    if path == STDIN:
        return sys.stdin.buffer, "<stdin>"
    ext = os.path.splitext(path)[1].lower()
    head, looks = _sniff(path)
    method = COMPRESSED.get(ext)
    if method is None:
        if looks not in ("text", "an empty file"):
            raise InputError(f"not CSV text: it looks like {looks}", path)
        return open(path, "rb"), path
    if not looks.startswith(method):
        raise InputError(f"not {method}-compressed: it looks like {looks}", path)
    if method == "gzip":
        import gzip

        return cast(IO[bytes], gzip.open(path, "rb")), path
    if method == "bzip2":
        import bz2

        return bz2.open(path, "rb"), path
    if method == "xz":
        import lzma

        return lzma.open(path, "rb"), path
    from compression import zstd

    return cast(IO[bytes], zstd.open(path, "rb")), path


def file_source(path: str, na_values: Sequence[str], block_bytes: int,
                progress: Callable[[int], None] = lambda n: None) -> Source:
    name = path.lower()
    if name.endswith(".npy"):
        return NpySource(path, block_bytes)
    if name.endswith((".parquet", ".pq")):
        return ParquetSource(path, block_bytes)
    f, source = open_csv(path)
    try:
        return CsvFileSource(f, source, na_values, block_bytes, progress, _mapped(f))
    except BaseException:
        if f is not sys.stdin.buffer:
            f.close()
        raise


def _mapped(f: IO[bytes]) -> mmap.mmap | None:
    """A read-only map of a plain, non-empty file: its ranges are then parsed from the page
    cache, without a read into our own buffers."""
    if not isinstance(f, io.BufferedReader):
        return None
    try:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode) or os.fstat(f.fileno()).st_size == 0:
            return None
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return None
    if hasattr(mm, "madvise"):
        mm.madvise(mmap.MADV_SEQUENTIAL)
    return mm


class CsvFileSource(CsvSource):
    """A CSV source that closes its file when its blocks are done."""

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        try:
            yield from super().blocks(columns, by, auto)
        except (OSError, EOFError) as e:
            raise InputError(f"cannot read: {getattr(e, 'strerror', None) or e}",
                             self.source) from None
        finally:
            self.close()

    def close(self) -> None:
        if self.f is not sys.stdin.buffer:
            self.f.close()


def sources(data: Any, na_values: Sequence[str], block_bytes: int = BLOCK_BYTES) -> list[Any]:
    """The sources of describe's data argument, in order (lazily for files: each is opened
    when reached, so later files cannot fail the first)."""
    if isinstance(data, (str, os.PathLike)):
        return [os.fspath(data)]
    if isinstance(data, (list, tuple)) and data and all(
            isinstance(p, (str, os.PathLike)) for p in data):
        return [os.fspath(p) for p in data]
    return [memory_source(data)]


def memory_source(data: Any) -> Source:
    mod = type(data).__module__.split(".")[0]
    if mod == "pandas" and hasattr(data, "columns"):
        return PandasSource(data)
    if mod == "polars" and hasattr(data, "to_arrow"):
        return ArrowSource(data.to_arrow(), "DataFrame")
    if mod == "pyarrow" and hasattr(data, "schema"):
        return ArrowSource(data, type(data).__name__)
    if isinstance(data, dict):
        return DictSource(data)
    raise TypeError("data must be a pandas or Polars DataFrame, a pyarrow Table or "
                    "RecordBatchReader, a dict of 1-d arrays, or a path or list of paths, "
                    f"not {type(data).__name__}")
