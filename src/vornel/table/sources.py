"""Sources: data frames, Arrow data, dicts of arrays and files (CSV, compressed CSV, Parquet,
.npy), each giving its column names and blocks of the wanted columns."""

from __future__ import annotations

import io
import lzma
import os
import stat
import sys
import zlib
from collections.abc import Iterator, Sequence
from typing import IO, Any, Protocol, cast

import numpy as np

from vornel.table import _deps
from vornel.table.blocks import (Block, InputError, Values, arrow_values, is_numeric_arrow,
                                 numpy_values)
from vornel.table.keys import KeyColumn, arrow_keys, numpy_keys, pandas_encode
from vornel.table.csvfile import CsvOptions, CsvSource, Input

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
    header: list[Any]
    dropped: list[Any]
    untyped: set[Any]

    def numeric(self, name: Any) -> bool | None:
        """Whether a column is numeric; None when only reading can tell."""

    def kind(self, name: Any) -> str:
        """A column's type, as error messages name it."""

    def key_type(self, name: Any) -> str | None:
        """The type of a key column's keys (None: nulls only, which meet any type); raises
        InputError for a type that cannot be a key."""

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        ...


class _Columns:
    """A source whose columns are in memory, as one block or a few."""

    dropped: list[Any]
    untyped: set[Any]

    def __init__(self, source: str, header: list[Any]) -> None:
        self.source, self.header = source, header
        self.dropped, self.untyped = [], set()


def arrow_key_type(typ: Any, name: Any, source: str | None = None) -> str | None:
    """The type of Arrow keys, for the rule that keys of one column share a type across
    inputs: text, bytes, integer, float, ... (dictionaries by their values)."""
    pa = _deps.pa()
    t = typ.value_type if pa.types.is_dictionary(typ) else typ
    if pa.types.is_nested(t):
        raise InputError(f"cannot group by a column of type {t}", source, column=name)
    for test, kind in ((pa.types.is_null, None), (pa.types.is_string, "text"),
                       (pa.types.is_large_string, "text"), (pa.types.is_string_view, "text"),
                       (pa.types.is_boolean, "boolean"), (pa.types.is_integer, "integer"),
                       (pa.types.is_floating, "float"), (pa.types.is_date, "date"),
                       (pa.types.is_timestamp, "timestamp"), (pa.types.is_decimal, "decimal")):
        if test(t):
            return kind
    if pa.types.is_binary(t) or pa.types.is_large_binary(t) or pa.types.is_fixed_size_binary(
            t) or pa.types.is_binary_view(t):
        return "bytes"
    return str(t)


NUMPY_KEY_TYPES = {"U": "text", "S": "bytes", "b": "boolean", "i": "integer", "u": "integer",
                   "f": "float", "M": "timestamp", "m": "duration", "c": "complex"}


def numpy_key_type(dtype: np.dtype[Any], name: Any, source: str | None = None) -> str | None:
    if dtype.kind == "V":
        raise InputError(f"cannot group by a column of dtype {dtype}", source, column=name)
    return NUMPY_KEY_TYPES.get(dtype.kind)  # object columns: their values tell


# ---------------------------------------------------------------- in memory


class PandasSource(_Columns):
    def __init__(self, df: Any) -> None:
        super().__init__("DataFrame", list(df.columns))
        self.df = df

    def numeric(self, name: Any) -> bool:
        return _pandas_numeric(self.df[name].dtype)

    def kind(self, name: Any) -> str:
        return f"dtype {self.df[name].dtype}"

    def key_type(self, name: Any) -> str | None:
        return _pandas_key_type(self.df[name], name)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
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
            keys = [_pandas_keys(pd, df[k].iloc[lo:hi], k) for k in by]
            yield Block(hi - lo, part, keys)


def _pandas_numeric(dt: Any) -> bool:
    pd = _deps.pd()
    return bool(pd.api.types.is_numeric_dtype(dt) and not pd.api.types.is_bool_dtype(dt))


def _pandas_key_type(s: Any, name: Any) -> str | None:
    pd = _deps.pd()
    dt = s.dtype
    if isinstance(dt, pd.CategoricalDtype):
        dt = dt.categories.dtype
    if hasattr(dt, "pyarrow_dtype"):
        return arrow_key_type(dt.pyarrow_dtype, name)
    if isinstance(dt, np.dtype):
        return numpy_key_type(dt, name)
    if pd.api.types.is_string_dtype(dt):
        return "text"
    if pd.api.types.is_bool_dtype(dt):
        return "boolean"
    if pd.api.types.is_integer_dtype(dt):
        return "integer"
    if pd.api.types.is_float_dtype(dt):
        return "float"
    return str(dt)


def _pandas_keys(pd: Any, s: Any, name: Any) -> KeyColumn:
    return KeyColumn(lambda: pandas_encode(pd, s, name))


def _pandas_values(s: Any, name: Any) -> Values:
    pd = _deps.pd()
    dt = s.dtype
    if isinstance(dt, np.dtype):
        if dt.kind not in "iufb":
            raise InputError(f"not numeric (dtype {dt})", column=name)
        return numpy_values(s.to_numpy())
    if hasattr(dt, "pyarrow_dtype"):
        pa = _deps.pa()
        return _arrow_checked(pa.array(s.array), name)
    # Text is never numeric, whatever it holds: pandas' string dtypes convert "1.5" to a
    # float, where an object column of the same text is refused.
    if not (pd.api.types.is_numeric_dtype(dt) or pd.api.types.is_bool_dtype(dt)):
        raise InputError(f"not numeric (dtype {dt})", column=name)
    # pandas' masked dtypes (Int64, Float64, ...): the mask says which rows hold no value.
    try:
        data = s.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise InputError(f"not numeric (dtype {dt})", column=name) from None
    missing = np.asarray(s.isna().to_numpy(), np.bool_)
    return Values(data, missing if missing.any() else None)


def _arrow_checked(arr: Any, name: Any) -> Values:
    pa = _deps.pa()
    if not (is_numeric_arrow(arr.type) or pa.types.is_null(arr.type)
            or pa.types.is_boolean(arr.type)):
        raise InputError(f"not numeric (type {arr.type})", column=name)
    if pa.types.is_boolean(arr.type):
        arr = arr.cast(pa.uint8())
    return arrow_values(arr)


class ArrowSource(_Columns):
    """A pyarrow Table, RecordBatch or RecordBatchReader: one block per record batch."""

    def __init__(self, data: Any, source: str = "Table") -> None:
        super().__init__(source, list(data.schema.names))
        self.data = data
        self.schema = data.schema

    def numeric(self, name: Any) -> bool:
        return is_numeric_arrow(self.schema.field(name).type)

    def kind(self, name: Any) -> str:
        return f"type {self.schema.field(name).type}"

    def key_type(self, name: Any) -> str | None:
        return arrow_key_type(self.schema.field(name).type, name, self.source)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        pa = _deps.pa()
        data = self.data
        batches = [data] if isinstance(data, pa.RecordBatch) else (
            data.to_batches() if isinstance(data, pa.Table) else data)
        idx = {name: self.header.index(name) for name in [*columns, *by]}
        for batch in batches:
            yield Block(batch.num_rows,
                        {c: _arrow_checked(batch.column(idx[c]), c) for c in columns},
                        [arrow_keys(batch.column(idx[k])) for k in by])


class PolarsSource(_Columns):
    """A Polars DataFrame: only the columns asked for are handed to Arrow, so a column of a
    type Arrow cannot take (Int128) matters only when it is asked for."""

    def __init__(self, df: Any) -> None:
        super().__init__("DataFrame", list(df.columns))
        self.df = df

    def numeric(self, name: Any) -> bool:
        dt = self.df.schema[name]
        return bool(dt.is_numeric() and _polars_readable(dt))

    def kind(self, name: Any) -> str:
        return f"dtype {self.df.schema[name]}"

    def key_type(self, name: Any) -> str | None:
        return arrow_key_type(_polars_arrow(self.df[name], name).type, name, self.source)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        cols = {name: _polars_arrow(self.df[name], name) for name in [*columns, *by]}
        yield Block(self.df.height, {c: _arrow_checked(cols[c], c) for c in columns},
                    [arrow_keys(cols[k]) for k in by])


def _polars_readable(dt: Any) -> bool:
    return str(dt) not in ("Int128", "UInt128")  # types Arrow has no array for


def _polars_arrow(s: Any, name: Any) -> Any:
    if not _polars_readable(s.dtype):
        raise InputError(f"dtype {s.dtype} cannot be read (Arrow has no such type)",
                         column=name)
    try:
        return s.to_arrow()
    except Exception as e:  # Polars' own errors have no common public base here
        raise InputError(f"dtype {s.dtype} cannot be read: {e}", column=name) from None


class DictSource(_Columns):
    """A dict of one-dimensional columns: NumPy arrays (or anything np.asarray takes),
    pandas and Polars Series, Arrow arrays."""

    def __init__(self, data: dict[Any, Any], source: str = "dict") -> None:
        super().__init__(source, list(data))
        self.cols = {}
        n = None
        for name, col in data.items():
            c = _Column(col, name)
            if n is not None and c.n != n:
                raise InputError(f"length {c.n} differs from the first column's {n}",
                                 column=name)
            n = c.n
            self.cols[name] = c
        self.n = n or 0

    def numeric(self, name: Any) -> bool:
        return self.cols[name].numeric()

    def kind(self, name: Any) -> str:
        return self.cols[name].kind()

    def key_type(self, name: Any) -> str | None:
        return self.cols[name].key_type(name)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        values = {c: self.cols[c].values(c) for c in columns}
        yield Block(self.n, values, [self.cols[k].keys(k) for k in by])


class _Column:
    """One column of a dict: how to read it as values and as keys, by what holds it."""

    def __init__(self, obj: Any, name: Any) -> None:
        mod = type(obj).__module__.split(".")[0]
        self.obj, self.how = obj, "numpy"
        if mod == "pandas" and hasattr(obj, "dtype"):
            pd = _deps.pd()
            self.how = "pandas"
            self.obj = obj if isinstance(obj, pd.Series) else pd.Series(obj, copy=False)
        elif mod == "polars" and hasattr(obj, "to_arrow"):
            self.how = "polars"
        elif mod == "pyarrow" and hasattr(obj, "type"):
            self.how = "arrow"
        else:
            a = obj if isinstance(obj, np.ndarray) else np.asarray(obj)
            if a.ndim != 1:
                raise InputError(f"expected a one-dimensional array, got {a.ndim} dimensions",
                                 column=name)
            self.obj = a
        self.n = len(self.obj)

    def numeric(self) -> bool:
        if self.how == "pandas":
            return _pandas_numeric(self.obj.dtype)
        if self.how == "polars":
            return bool(self.obj.dtype.is_numeric() and _polars_readable(self.obj.dtype))
        if self.how == "arrow":
            return is_numeric_arrow(self.obj.type)
        return bool(self.obj.dtype.kind in "iuf")

    def kind(self) -> str:
        return f"type {self.obj.type}" if self.how == "arrow" else f"dtype {self.obj.dtype}"

    def key_type(self, name: Any) -> str | None:
        if self.how == "pandas":
            return _pandas_key_type(self.obj, name)
        if self.how in ("polars", "arrow"):
            return arrow_key_type(self._arrow(name).type, name)
        return numpy_key_type(self.obj.dtype, name)

    def _arrow(self, name: Any) -> Any:
        return _polars_arrow(self.obj, name) if self.how == "polars" else self.obj

    def values(self, name: Any) -> Values:
        if self.how == "pandas":
            return _pandas_values(self.obj, name)
        if self.how in ("polars", "arrow"):
            return _arrow_checked(self._arrow(name), name)
        if self.obj.dtype.kind not in "iufb":
            raise InputError(f"not numeric (dtype {self.obj.dtype})", column=name)
        return numpy_values(self.obj)

    def keys(self, name: Any) -> KeyColumn:
        if self.how == "pandas":
            return _pandas_keys(_deps.pd(), self.obj, name)
        if self.how in ("polars", "arrow"):
            return arrow_keys(self._arrow(name))
        return numpy_keys(self.obj, name)


# ---------------------------------------------------------------- files


class NpySource(_Columns):
    """A .npy file, mapped read-only: a 1-d array is column "value", a 2-d array has
    columns "0", "1", ..., a record array one column per field."""

    def __init__(self, path: str, block_bytes: int) -> None:
        _expect(path, b"\x93NUMPY", "a .npy file")
        try:
            a = np.load(path, mmap_mode="r", allow_pickle=False)
        except Exception as e:  # NumPy parses the header as Python literals: any error
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

    def numeric(self, name: Any) -> bool:
        c = self.cols[name]
        return c.ndim == 1 and c.dtype.kind in "iuf"

    def kind(self, name: Any) -> str:
        c = self.cols[name]
        return f"dtype {c.dtype}" + (f", shape {c.shape[1:]}" if c.ndim > 1 else "")

    def key_type(self, name: Any) -> str | None:
        if self.cols[name].ndim != 1:
            raise InputError(f"cannot group by a sub-array field (shape "
                             f"{self.cols[name].shape[1:]})", self.source, column=name)
        return numpy_key_type(self.cols[name].dtype, name, self.source)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        for name in columns:
            if not self.numeric(name) and not (self.cols[name].ndim == 1
                                               and self.cols[name].dtype.kind == "b"):
                raise InputError(f"not numeric ({self.kind(name)})", self.source, column=name)
        for lo in range(0, self.n, self.rows):
            hi = min(lo + self.rows, self.n)
            yield Block(hi - lo, {c: numpy_values(self.cols[c][lo:hi]) for c in columns},
                        [numpy_keys(self.cols[k][lo:hi], k) for k in by])
        if self.n == 0:
            yield Block(0, {c: numpy_values(self.cols[c]) for c in columns},
                        [numpy_keys(self.cols[k], k) for k in by])


class ParquetSource(_Columns):
    def __init__(self, path: str, block_bytes: int) -> None:
        pa, pq = _deps.pa(), _deps.pq()

        _expect(path, b"PAR1", "a Parquet file")
        try:
            self.file = pq.ParquetFile(path)
            self.schema = self.file.schema_arrow
        except (pa.ArrowException, OSError, UnicodeError) as e:
            raise InputError(f"not a readable Parquet file: {e}", path) from None
        super().__init__(path, list(self.schema.names))
        self.block_bytes = block_bytes

    def numeric(self, name: Any) -> bool:
        return is_numeric_arrow(self.schema.field(name).type)

    def kind(self, name: Any) -> str:
        return f"type {self.schema.field(name).type}"

    def key_type(self, name: Any) -> str | None:
        return arrow_key_type(self.schema.field(name).type, name, self.source)

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        pa = _deps.pa()
        # Bounded in bytes: a batch of wide rows holds fewer of them.
        rows = max(1024, self.block_bytes // (8 * (len(columns) + len(by) + 1)))
        batches = self.file.iter_batches(batch_size=rows, columns=[*by, *columns],
                                         use_threads=True)
        while True:
            try:
                batch = next(batches, None)
            except (pa.ArrowException, OSError, UnicodeError) as e:  # a damaged page
                raise InputError(f"unreadable Parquet data: {e}", self.source) from None
            if batch is None:
                return
            yield Block(batch.num_rows,
                        {c: _arrow_checked(batch.column(c), c) for c in columns},
                        [arrow_keys(batch.column(k)) for k in by])


def _sniff(path: str) -> tuple[bytes, str]:
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError as e:
        raise InputError(f"cannot open: {e.strerror or e}", path) from None
    return head, _looks(head)


def _looks(head: bytes) -> str:
    for magic, what in MAGIC:
        if head.startswith(magic):
            return what
    if not head:
        return "an empty file"
    return "binary data" if b"\x00" in head else "text"


def _expect(path: str, magic: bytes, what: str) -> None:
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        regular = True  # opening it tells what is wrong
    if not regular:
        # A pipe can be read once, and these formats are read by seeking.
        raise InputError(f"{what} cannot be read from a pipe or device; save it to a file "
                         "first", path)
    head, looks = _sniff(path)
    if not head.startswith(magic):
        raise InputError(f"not {what}: it looks like {looks}", path)


class _Prefixed(io.RawIOBase):
    """A stream whose first bytes were already read (to see what it holds): they come
    first, then the rest of the stream."""

    def __init__(self, head: bytes, f: IO[bytes]) -> None:
        super().__init__()
        self.head, self.f = memoryview(head), f

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if len(self.head):
            n = min(len(b), len(self.head))
            b[:n] = self.head[:n]
            self.head = self.head[n:]
            return n
        return self.f.readinto(b)  # type: ignore[attr-defined, no-any-return]

    def close(self) -> None:
        self.head = memoryview(b"")
        super().close()  # the stream under it belongs to whoever opened it


class _Gunzip(io.RawIOBase):
    """gzip members inflated by zlib itself, which checks each member's CRC and length as it
    goes (GzipFile adds a copy and a CRC pass of its own: a quarter of its time). Members
    are read in turn, with zero bytes allowed between and after them, as GzipFile does."""

    CHUNK = 1 << 18  # compressed bytes read at a time (some 2.5 MiB of text)
    MOST = 1 << 26  # bytes inflated at a time, at most
    TRUNCATED = "Compressed file ended before the end-of-stream marker was reached"

    def __init__(self, f: Any) -> None:
        super().__init__()
        self.f, self.d = f, zlib.decompressobj(31)
        self.tail = b""  # input not yet given to self.d
        self.left = memoryview(b"")  # output not yet handed out

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        view = memoryview(b).cast("B")
        while len(view):
            if len(self.left):
                n = min(len(view), len(self.left))
                view[:n], self.left = self.left[:n], self.left[n:]
                return n
            if self.d.eof and not self._next_member():
                return 0
            if not self.tail:
                self.tail = self.f.read(self.CHUNK)
                if not self.tail:  # the input ended inside a member
                    self.left = memoryview(self.d.flush())
                    if not self.d.eof:
                        raise EOFError(self.TRUNCATED)
                    continue
            try:
                # A chunk inflates to a few MiB; the cap only bounds a zip bomb's.
                self.left = memoryview(self.d.decompress(self.tail, self.MOST))
            except zlib.error as e:  # say which kind of data is damaged
                raise zlib.error(f"damaged gzip data ({str(e).rpartition(': ')[2]})") from None
            self.tail = self.d.unconsumed_tail
        return 0

    def _next_member(self) -> bool:
        """After a member: starts the next one; False at the end of input."""
        rest = self.d.unused_data  # at a member's end zlib holds back no input
        while not (rest := rest.lstrip(b"\0")):
            rest = self.f.read(self.CHUNK)
            if not rest:
                return False
        self.d, self.tail = zlib.decompressobj(31), rest
        return True


DECOMPRESS_ERRORS: tuple[type[BaseException], ...] = (OSError, EOFError, zlib.error,
                                                      lzma.LZMAError)


def open_csv(path: str) -> Input:
    """A CSV input's text, decompressed by its extension. A plain file is read to the size it
    had when opened; a pipe, FIFO or standard input is read once, as a stream."""
    if path == STDIN:
        return Input(_head_stream(sys.stdin.buffer, "<stdin>")[0], "<stdin>")
    ext = os.path.splitext(path)[1].lower()
    try:
        raw = open(path, "rb", buffering=0)
    except OSError as e:
        raise InputError(f"cannot open: {e.strerror or e}", path) from None
    try:
        st = os.fstat(raw.fileno())
        if stat.S_ISDIR(st.st_mode):
            raise InputError("cannot open: Is a directory", path)
        stream, looks = _head_stream(raw, path)
        method = COMPRESSED.get(ext)
        if method is None:
            if looks not in ("text", "an empty file"):
                raise InputError(f"not CSV text: it looks like {looks}", path)
            return Input(stream, path, st.st_size if stat.S_ISREG(st.st_mode) else None,
                         raw)
        if not looks.startswith(method):
            raise InputError(f"not {method}-compressed: it looks like {looks}", path)
        return Input(_decompressed(method, stream), path, None, raw)
    except BaseException:
        raw.close()
        raise


def _head_stream(f: Any, source: str) -> tuple[Any, str]:
    """The stream with its first bytes read to see what it holds, and what they look like."""
    try:
        head = f.read(4096) or b""
    except OSError as e:
        raise InputError(f"cannot read: {e.strerror or e}", source) from None
    return _Prefixed(head, f), _looks(head)


def _decompressed(method: str, stream: Any) -> IO[bytes]:
    buffered = io.BufferedReader(stream)
    if method == "gzip":
        return cast(IO[bytes], _Gunzip(buffered))
    if method == "bzip2":
        import bz2

        return bz2.BZ2File(buffered, "rb")
    if method == "xz":
        return lzma.LZMAFile(buffered, "rb")
    from compression import zstd

    return cast(IO[bytes], zstd.ZstdFile(buffered, "rb"))


def file_source(path: str, opts: CsvOptions) -> Source:
    name = path.lower()
    if name.endswith(".npy"):
        return NpySource(path, opts.block_bytes)
    if name.endswith((".parquet", ".pq")):
        return ParquetSource(path, opts.block_bytes)
    f = open_csv(path)
    try:
        return CsvFileSource(f, opts)
    except BaseException as e:
        f.close()
        if isinstance(e, DECOMPRESS_ERRORS + _zstd_errors()):
            raise _damaged(e, f.source) from None
        raise


def _zstd_errors() -> tuple[type[BaseException], ...]:
    try:
        from compression import zstd
    except ImportError:
        return ()
    return (zstd.ZstdError,)


def _damaged(e: BaseException, source: str) -> InputError:
    if isinstance(e, InputError):
        return e
    what = getattr(e, "strerror", None) or str(e) or type(e).__name__
    return InputError(f"cannot read: {what}", source)


class CsvFileSource(CsvSource):
    """A CSV source that closes its file when its blocks are done."""

    def blocks(self, columns: Sequence[Any], by: Sequence[Any], auto: bool) -> Iterator[Block]:
        try:
            yield from super().blocks(columns, by, auto)
        except InputError:
            raise
        except DECOMPRESS_ERRORS + _zstd_errors() as e:
            raise _damaged(e, self.source) from None
        finally:
            self.close()

    def close(self) -> None:
        self.f.close()


def is_files(data: Any) -> bool:
    """Whether describe's data names files: a path or a non-empty list of paths."""
    if isinstance(data, (str, os.PathLike)):
        return True
    return isinstance(data, (list, tuple)) and bool(data) and all(
        isinstance(p, (str, os.PathLike)) for p in data)


def sources(data: Any) -> list[Any]:
    """The sources of describe's data argument, in order (lazily for files: each is opened
    when reached, so later files cannot fail the first)."""
    if isinstance(data, (str, os.PathLike)):
        return [os.fspath(data)]
    if is_files(data):
        return [os.fspath(p) for p in data]
    return [memory_source(data)]


def memory_source(data: Any) -> Source:
    mod = type(data).__module__.split(".")[0]
    if mod == "pandas" and hasattr(data, "columns"):
        return PandasSource(data)
    if mod == "pandas" and type(data).__name__ == "Series":
        return DictSource({_series_name(data.name): data}, "Series")
    if mod == "polars" and type(data).__name__ == "DataFrame":
        return PolarsSource(data)
    if mod == "polars" and type(data).__name__ == "Series":
        return DictSource({_series_name(data.name): data}, "Series")
    if mod == "pyarrow" and hasattr(data, "schema"):
        return ArrowSource(data, type(data).__name__)
    if isinstance(data, dict):
        return DictSource(data)
    raise TypeError("data must be a pandas or Polars DataFrame or Series, a pyarrow Table, "
                    "RecordBatch or RecordBatchReader, a dict of 1-d columns, or a path or "
                    f"list of paths, not {type(data).__name__}")


def _series_name(name: Any) -> Any:
    return "value" if name is None or name == "" else name
