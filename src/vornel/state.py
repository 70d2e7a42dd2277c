"""Accumulator state as NumPy records and bytes: out of one process, into another, exactly.

A record is the whole state of one stream: count, sum, mean, m2 (the sum of squared
deviations), min and max, in `RECORD_DTYPE`. `to_records` and `from_records` move state out
of and into accumulators bit for bit; `summarise` and `summarise_grouped` make records
straight from buffers (read-only ones too) with the accumulators' own loops;
`merge_records` and `finalise` are the merge and the result over whole arrays; `dumps` and
`loads` are the stored form (docs/state-format.md).

Counts never wrap: an operation that would take a count past 2**63 - 1 raises
OverflowError. On a single record nothing changes before the error. Over many records
(grouped adds, grouped merges, `merge_records`) the records before the failing one stay
updated or merged, as the grouped add's partial updates do; checking every record first
would cost the grouped merge a second pass over memory.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from vornel import _sketch, _state
from vornel._cycore import CyGroupedStreamStats, CyStreamStats
from vornel._sketch import GroupedQuantileSketch, QuantileSketch

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "RECORD_DTYPE", "empty_records", "to_records", "from_records", "summarise",
    "summarise_many", "summarise_grouped", "merge_records", "finalise", "dumps", "loads",
]

RECORD_DTYPE = np.dtype([("count", "<i8"), ("sum", "<f8"), ("mean", "<f8"), ("m2", "<f8"),
                         ("min", "<f8"), ("max", "<f8")])

_FIELDS: tuple[str, ...] = ("count", "sum", "mean", "m2", "min", "max")
_DBL_MAX = np.finfo(np.float64).max
_COLUMNS = ("count", "sum", "mean", "min", "max", "var", "std")
_EMPTY = np.array((0, 0.0, 0.0, 0.0, _DBL_MAX, -_DBL_MAX), RECORD_DTYPE)
_MAX_GROUPS = 2**31 - 1

# The stored form (docs/state-format.md).
_MAGIC = b"\x89VRNL\r\n\x1a"
_VERSION = 1
_HEADER = struct.Struct("<8sHBBIQ")
_KIND_STREAM, _KIND_GROUPED, _KIND_RECORD, _KIND_RECORDS = 1, 2, 3, 4
# Quantile sketches: a payload of their own (docs/state-format.md), in version 2 blobs;
# the other kinds keep version 1, so older readers still read them.
_KIND_SKETCH, _KIND_GROUPED_SKETCH = 5, 6
_SKETCH_VERSION = 2

Accumulator = CyStreamStats | CyGroupedStreamStats
Sketch = QuantileSketch | GroupedQuantileSketch


def empty_records(shape: int | tuple[int, ...] = ()) -> NDArray[np.void]:
    """A new records array of the given shape holding empty records (the initial state)."""
    out = np.empty(shape, RECORD_DTYPE)
    out[...] = _EMPTY  # whole records at a time: faster than a strided pass per field
    return out


def _is_record_dtype(dtype: np.dtype[Any]) -> bool:
    """RECORD_DTYPE in any byte order and field layout: same names, same kinds and sizes."""
    if dtype.names != _FIELDS or dtype.fields is None:
        return False
    for name in _FIELDS:
        field = dtype.fields[name][0]
        want = RECORD_DTYPE[name]
        if field.shape != () or field.kind != want.kind or field.itemsize != want.itemsize:
            return False
    return True


def _as_records(obj: object, what: str) -> NDArray[np.void]:
    """obj as a C-contiguous, 8-byte aligned array of RECORD_DTYPE (copied only when it must
    be)."""
    arr = np.asarray(obj)
    if not _is_record_dtype(arr.dtype):
        raise ValueError(f"{what} must be an array of vornel.state.RECORD_DTYPE, got dtype {arr.dtype}")
    arr = np.require(arr, RECORD_DTYPE, ["C"])
    # The loops read records as 8-byte fields; NumPy calls a packed struct aligned at any
    # address, and arrays unpickled from a message may start anywhere.
    return arr if arr.ctypes.data % 8 == 0 else arr.copy()


def _check_into(into: object, shape: tuple[int, ...]) -> NDArray[np.void]:
    if not isinstance(into, np.ndarray):
        raise TypeError(f"into must be a NumPy array of RECORD_DTYPE, not {type(into).__name__}")
    if into.dtype != RECORD_DTYPE:
        raise ValueError(f"into must have dtype RECORD_DTYPE, got {into.dtype}")
    if into.shape != shape:
        raise ValueError(f"into has shape {into.shape}, expected {shape}")
    if not into.flags.writeable:
        raise ValueError("into must be writable")
    if not into.flags.c_contiguous or into.ctypes.data % 8 != 0:
        raise ValueError("into must be C-contiguous and 8-byte aligned (it is updated in place)")
    return into


def to_records(acc: Accumulator) -> NDArray[np.void]:
    """The accumulator's records, bit for bit, in a new array: shape () for a CyStreamStats,
    (n_groups,) for a CyGroupedStreamStats. Instances of subclasses are accepted."""
    n = _state.n_records(acc)
    out = np.empty(() if n is None else (n,), RECORD_DTYPE)
    _state.copy_out(acc, out)
    return out


def from_records(records: object) -> Accumulator:
    """A new accumulator holding exactly these records: a 0-d array gives a CyStreamStats, a
    1-d array a CyGroupedStreamStats of its length. Any array-like of RECORD_DTYPE, in any
    byte order and layout, is copied. Records that no adds and merges could make (a negative
    count, an empty record whose other fields are not the initial ones) raise ValueError."""
    arr = _as_records(records, "records")
    acc: Accumulator
    if arr.ndim == 0:
        acc = CyStreamStats()
    elif arr.ndim == 1:
        if not 0 < len(arr) <= _MAX_GROUPS:
            raise ValueError(
                f"records of length {len(arr)} cannot form a CyGroupedStreamStats "
                f"(1 to {_MAX_GROUPS} groups)")
        acc = CyGroupedStreamStats(len(arr))
    else:
        raise ValueError(f"records must be 0-d or 1-d, got {arr.ndim} dimensions")
    _state.copy_in(acc, arr)
    return acc


def summarise(values: object, *, into: NDArray[np.void] | None = None,
              skipna: bool = False) -> NDArray[np.void]:
    """The record of a one-dimensional float64 buffer, from the loop of add_values (same
    bits). Read-only buffers are taken as they are. With into (a writable 0-d records
    array) the update step carries on from its record in place, and into is returned.
    skipna=True skips NaN values; otherwise NaN counts, as in the accumulators."""
    out = empty_records() if into is None else _check_into(into, ())
    _state.summarise(values, out, skipna)
    return out


def summarise_many(values: Sequence[object], *, skipna: bool = False) -> NDArray[np.void]:
    """Records of several one-dimensional float64 buffers at once: element i is
    summarise(values[i]), bit for bit. Up to four buffers are folded in one interleaved loop,
    so one core runs four update chains: the chain of one stream waits on its division, and
    the core has room for several (about 2.7 times the values per second of summarise on
    the development machine). values is a list or tuple of buffers, read-only ones too."""
    if not isinstance(values, (list, tuple)):
        raise TypeError(f"values must be a list or tuple of buffers, not {type(values).__name__}")
    out = empty_records(len(values))
    _state.summarise_many(values, out, skipna)
    return out


def summarise_grouped(group_ids: object, values: object, n_groups: object, *,
                      into: NDArray[np.void] | None = None,
                      skipna: bool = False) -> NDArray[np.void]:
    """Records of n_groups groups from an int32 or int64 id buffer and a float64 value buffer
    of the same length, from the loop of CyGroupedStreamStats.add (same bits). Read-only
    buffers are taken as they are. With into (a writable records array of shape
    (n_groups,)) the update carries on in place and into is returned. An id outside
    [0, n_groups) raises ValueError; the values before it stay added."""
    n = _state.n_groups(n_groups)
    out = empty_records(n) if into is None else _check_into(into, (n,))
    _state.summarise_grouped(group_ids, values, out, skipna)
    return out


def merge_records(into: NDArray[np.void], other: object) -> NDArray[np.void]:
    """Merges other's records into into's, element by element, in place, with the merge
    step of CyStreamStats.merge (same bits); returns into. The shapes must match; into and
    other may be the same array."""
    target = _check_into(into, np.shape(into))
    source = _as_records(other, "other")
    if source.shape != target.shape:
        raise ValueError(f"shapes differ: into {target.shape}, other {source.shape}")
    _state.merge(target, source)
    return target


def finalise(records: object, ddof: int = 0) -> dict[str, NDArray[Any]]:
    """The seven statistics of every record, as arrays of the records' shape: "count"
    (int64), "sum", "mean", "min", "max", "var", "std" (float64). Non-empty records give the
    values of result() and result_arrays(); empty ones count 0, sum 0.0 and NaN for the rest,
    as result_arrays() reports them. var divides m2 by count - ddof: ddof=0 (the default) is
    the population variance of result(), ddof=1 the sample variance pandas and Polars print;
    a record with count <= ddof has var and std NaN. ddof is an int of 0 or more (not a
    bool): TypeError or ValueError otherwise."""
    arr = _as_records(records, "records")
    cols = {name: np.empty(arr.shape, np.int64 if name == "count" else np.float64)
            for name in _COLUMNS}
    _state.finalise(arr, cols["count"], cols["sum"], cols["mean"], cols["min"], cols["max"],
                    cols["var"], cols["std"], ddof)
    return cols


def dumps(obj: Accumulator | NDArray[np.void] | Sketch) -> bytes:
    """The stored form of an accumulator, a quantile sketch, or a 0-d or 1-d records array
    (little-endian records or sketch buckets, a header and a CRC-32;
    docs/state-format.md). loads gives it back exactly. Equal sketches give equal bytes."""
    if isinstance(obj, (QuantileSketch, GroupedQuantileSketch)):
        payload = _sketch.payload(obj)
        kind = _KIND_SKETCH if isinstance(obj, QuantileSketch) else _KIND_GROUPED_SKETCH
        body = _HEADER.pack(_MAGIC, _SKETCH_VERSION, kind, 0, 0, len(payload)) + payload
        return body + struct.pack("<I", zlib.crc32(body))
    if isinstance(obj, (CyStreamStats, CyGroupedStreamStats)):
        recs = to_records(obj)
        kind = _KIND_STREAM if recs.ndim == 0 else _KIND_GROUPED
    else:
        recs = _as_records(obj, "obj")
        if recs.ndim > 1:
            raise ValueError(f"records must be 0-d or 1-d to be stored, got {recs.ndim} dimensions")
        kind = _KIND_RECORD if recs.ndim == 0 else _KIND_RECORDS
    head = _HEADER.pack(_MAGIC, _VERSION, kind, 0, 0, recs.size)
    body = head + recs.tobytes()
    # zlib's CRC-32 is the same function as the parser's, independently written and faster.
    return body + struct.pack("<I", zlib.crc32(body))


@overload
def loads(data: bytes | bytearray | memoryview, records: Literal[False] = ...) -> Any: ...
@overload
def loads(data: bytes | bytearray | memoryview, records: Literal[True]) -> NDArray[np.void]: ...


def loads(data: bytes | bytearray | memoryview, records: bool = False) -> Any:
    """What dumps stored: an accumulator of the type dumped, or a records array. With
    records=True the records array in either case. Every earlier version of the stored form
    is read. A truncated, corrupted, unknown-version or inconsistent blob raises ValueError."""
    view = memoryview(data).cast("B") if not isinstance(data, bytes) else data
    _version, kind, count, offset = _state.parse(view)
    if kind in (_KIND_SKETCH, _KIND_GROUPED_SKETCH):
        if records:
            raise ValueError("a quantile sketch has no records; load it without records=True")
        return _sketch.load(view[offset:offset + count], kind == _KIND_GROUPED_SKETCH)
    # Any shape: newer NumPy stubs type frombuffer as 1-d, and the reshape below makes it 0-d.
    recs: NDArray[np.void] = np.frombuffer(view, RECORD_DTYPE, count, offset)
    if kind in (_KIND_STREAM, _KIND_RECORD):
        recs = recs.reshape(())
    if kind in (_KIND_STREAM, _KIND_GROUPED) and not records:
        return from_records(recs)  # which checks the records as it copies them in
    recs = recs.copy()  # a new array, not a view of data
    if kind in (_KIND_STREAM, _KIND_GROUPED):
        _state.check(recs, kind == _KIND_STREAM)
    return recs
