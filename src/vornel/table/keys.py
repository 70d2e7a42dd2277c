"""Group keys: each block's key columns encoded to dense codes, then mapped to group ids that
grow in order of first appearance across all blocks."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from vornel.table import _deps
from vornel.table.blocks import InputError, nulls, numpy_view

IDS = np.int32  # group ids: the grouped loop takes int32, and half the bytes of int64
MAX_GROUPS = 2**31 - 1
SCAN_ROWS = 1 << 16  # rows per step of the first-appearance scan
Codes = npt.NDArray[np.integer[Any]]


@dataclass
class Encoded:
    """A block's key column as codes: row i has key uniques[codes[i]], or a missing key
    where codes[i] is -1. order lists the codes in order of first appearance, K (the number
    of uniques) standing for the missing key; None means uniques are already in that order
    with the missing key, if any, appearing after the first null_rank of them."""

    codes: Codes
    uniques: Sequence[Any]
    order: list[int] | None = None

    def appearance(self) -> list[int]:
        if self.order is not None:
            return self.order
        k = len(self.uniques)
        rank = _missing_rank(self.codes)
        if rank is None:
            return list(range(k))
        return [*range(rank), k, *range(rank, k)]


def _missing_rank(codes: Codes) -> int | None:
    """How many codes first appear before the first missing key (code -1), for codes handed
    out in order of appearance: one more than the largest code before it. None: no missing
    key."""
    neg = np.flatnonzero(codes < 0)
    if not len(neg):
        return None
    first = int(neg[0])
    return int(codes[:first].max()) + 1 if first else 0


class KeyColumn:
    """A key column of a block, encoded when the block is summarised; arrow, where given,
    gives the column as an Arrow array instead; ids, where given, holds the rows' group ids
    already (the CSV scanner maps keys as it reads)."""

    def __init__(self, encode: Callable[[], Encoded],
                 arrow: Callable[[], Any] | None = None,
                 ids: npt.NDArray[np.int32] | None = None) -> None:
        self.encode, self.arrow, self.ids = encode, arrow, ids


def _normal(key: Any) -> Any:
    """One Python value per key: every missing marker (None, NaN, NaT, pandas' NA) is None,
    and -0.0 is 0.0, so equal keys meet in one dict entry."""
    if isinstance(key, np.generic):
        key = key.item()
    if key is None:
        return None
    if isinstance(key, float):
        return None if math.isnan(key) else key + 0.0
    try:
        if key != key:  # NaT, and NaN of other float types
            return None
    except (TypeError, ValueError):  # pandas' NA has no truth value
        return None
    return key


class KeyMap:
    """Key (or key tuple) -> group id, ids given in order of first appearance."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names = list(names)
        self.keys: list[Any] = []  # by group id: a value, or a tuple with several key columns
        self._ids: dict[Any, int] = {}

    def __len__(self) -> int:
        return len(self.keys)

    def _lookup(self, enc: Encoded, name: str) -> tuple[npt.NDArray[np.int32], list[int], int]:
        """Ids of the block's codes (index K for the missing key), the codes in order of
        appearance, and how many of them got a new id."""
        ids, keys = self._ids, self.keys
        k = len(enc.uniques)
        order = enc.appearance()
        out = np.zeros(k + 1, IDS)
        before = len(keys)
        for j in order:
            u = None if j == k else _normal(enc.uniques[j])
            try:
                g = ids.get(u)
            except TypeError:
                raise InputError(f"group key {u!r} is not hashable", column=name) from None
            if g is None:
                g = ids[u] = len(keys)
                if g >= MAX_GROUPS:
                    raise InputError(f"more than {MAX_GROUPS} groups", column=name)
                keys.append(u)
            out[j] = g
        return out, order, len(keys) - before

    def map_block(self, columns: Sequence[KeyColumn]) -> tuple[Codes, npt.NDArray[np.int32],
                                                               list[int] | None]:
        """(codes, m, fresh): row i belongs to group m[codes[i]] (code -1 is m[-1], the
        missing key). fresh lists the codes present when each got a new group of its own,
        so the block may be folded in code space and its records placed at m[fresh]."""
        if len(columns) == 1:
            enc = columns[0].encode()
            name = self.names[0]
        else:
            enc = _combine([c.encode() for c in columns])
            name = ", ".join(self.names)
        m, order, new = self._lookup(enc, name)
        return enc.codes, m, (order if new == len(order) else None)

    def ordered(self) -> tuple[npt.NDArray[np.intp], list[Any]]:
        """The group ids in order of first appearance, and their keys in that order."""
        return np.arange(len(self.keys)), list(self.keys)


def arrow_mappable(column: KeyColumn) -> bool:
    """Whether a key column can go through ArrowKeyMap: an Arrow column of a type whose
    dictionaries Arrow unifies, and whose equal keys Arrow sees as equal."""
    if column.arrow is None:
        return False
    pa = _deps.pa()
    try:
        t = column.arrow().type
    except (pa.ArrowInvalid, pa.ArrowTypeError, UnicodeError):
        return False  # objects Arrow cannot type (str and NaN), text it cannot hold
    if pa.types.is_dictionary(t):
        t = t.value_type
    return bool(pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_binary(t)
                or pa.types.is_large_binary(t) or pa.types.is_integer(t)
                or pa.types.is_floating(t) or pa.types.is_date(t) or pa.types.is_timestamp(t))


class ArrowKeyMap:
    """Group ids of one Arrow key column, kept on Arrow's side: the distinct keys so far form
    one dictionary, and each block's dictionaries are unified onto its end, so new keys
    get the next ids in order of appearance and nothing is looked up key by key in Python.
    Slot 0 belongs to the missing key; key i of the dictionary has slot i + 1."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names = list(names)
        self.dictionary: Any = None
        self.missing_rank: int | None = None  # keys that appeared before the missing key

    def __len__(self) -> int:
        return 1 + (0 if self.dictionary is None else len(self.dictionary))

    def map_block(self, columns: Sequence[KeyColumn]) -> tuple[Codes, None, None]:
        pa, pc = _deps.pa(), _deps.pc()
        if columns[0].arrow is None:
            raise InputError("the key column has another type here than in the first input",
                             column=self.names[0])
        col = columns[0].arrow()
        chunks = col.chunks if isinstance(col, pa.ChunkedArray) else [col]
        try:
            dicts = [self._as_dictionary(pa, pc, c) for c in chunks]
            # pa.nulls, not pa.array: the latter imports pandas to check its argument, which
            # costs a command-line run a quarter of a second.
            if self.dictionary is None:
                self.dictionary = pa.nulls(0, dicts[0].type.value_type if dicts
                                           else pa.string())
            head = pa.DictionaryArray.from_arrays(pa.nulls(0, pa.int32()), self.dictionary)
            unified = pa.chunked_array([head, *dicts]).unify_dictionaries()
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as e:
            raise InputError(f"keys of type {col.type} here cannot join those of type "
                             f"{self.dictionary.type if self.dictionary is not None else '?'} "
                             f"before: {e}", column=self.names[0]) from None
        before = len(self.dictionary)
        self.dictionary = unified.chunk(0).dictionary
        codes = _chunk_codes(unified.chunks[1:]).astype(np.int32, copy=False)
        if self.missing_rank is None:
            top = _missing_rank(codes)  # counts the keys of earlier blocks too
            if top is not None:
                self.missing_rank = max(before, top)
        return codes + np.int32(1), None, None

    def _as_dictionary(self, pa: Any, pc: Any, chunk: Any) -> Any:
        """A chunk as a dictionary array of int32 indices over the dictionary's value type,
        with NaN as null and -0.0 as 0.0 for float keys."""
        t = chunk.type
        if not pa.types.is_dictionary(t):
            wide = _wide(pa, t)
            if wide != t:  # one value type per kind, whatever width each input has
                chunk = chunk.cast(wide)
            if pa.types.is_floating(wide):
                chunk = pc.if_else(pc.is_nan(chunk), pa.scalar(None, wide),
                                   pc.add(chunk, 0.0))
            chunk = pc.dictionary_encode(chunk)
        elif (pa.types.is_floating(t.value_type) or _wide(pa, t.value_type) != t.value_type
              or not _in_appearance_order(chunk)):
            # Category order, or entries no row holds: encoded again, by appearance.
            return self._as_dictionary(pa, pc, chunk.cast(t.value_type))
        if chunk.type.index_type != pa.int32():
            chunk = chunk.cast(pa.dictionary(pa.int32(), chunk.type.value_type))
        if self.dictionary is not None and chunk.type.value_type != self.dictionary.type:
            chunk = chunk.cast(pa.dictionary(pa.int32(), self.dictionary.type))
        return chunk

    def ordered(self) -> tuple[npt.NDArray[np.intp], Any]:
        """Slots in order of first appearance, and their keys as an Arrow array."""
        pa = _deps.pa()
        keys = self.dictionary if self.dictionary is not None else pa.nulls(0)
        slots = np.arange(1, len(keys) + 1)
        if self.missing_rank is not None:
            r = self.missing_rank
            slots = np.concatenate([slots[:r], [0], slots[r:]])
            keys = pa.concat_arrays([keys.slice(0, r), pa.nulls(1, keys.type), keys.slice(r)])
        return slots, keys


class TextKeyMap:
    """Group ids of text keys in the native key map of a data set: the CSV scanner maps its
    keys while it reads, and other files' text keys join the same map here, so that every
    source and thread numbers a key alike. Ids are handed out as threads first meet keys;
    `ordered` puts them in order of first appearance in the input."""

    def __init__(self, native: Any, names: Sequence[Any]) -> None:
        self.native, self.names = native, list(names)

    def __len__(self) -> int:
        return len(self.native)

    def map_block(self, columns: Sequence[KeyColumn], seq: int = 0) -> tuple[Codes, None,
                                                                             None]:
        if columns[0].ids is not None:
            return columns[0].ids, None, None
        parts = [_text_buffers(c, name) for c, name in zip(columns, self.names)]
        n = len(parts[0][1]) if parts else 0
        return self.native.map_arrow([p[0] for p in parts], n, seq), None, None

    def ordered(self) -> tuple[npt.NDArray[np.intp], Any]:
        """Ids in order of first appearance, and their keys as an Arrow array (a struct of
        one field per key column when there are several)."""
        pa = _deps.pa()
        order, parts = self.native.keys()
        n = len(order)
        arrays = [pa.Array.from_buffers(pa.large_string(), n, [
            None if valid is None else pa.py_buffer(valid), pa.py_buffer(offsets),
            pa.py_buffer(data)]) for offsets, data, valid in parts]
        if len(arrays) == 1:
            return order, arrays[0]
        return order, pa.StructArray.from_arrays(arrays, [str(n) for n in self.names])


def _text_buffers(column: KeyColumn, name: Any) -> tuple[tuple[Any, ...], Any]:
    """A key column of text as map_arrow takes it: (validity, offsets, data, offset, wide),
    and the array itself (its length tells the rows)."""
    pa = _deps.pa()
    if column.arrow is None:
        raise InputError("a key column of text here is not text", column=name)
    try:
        arr = column.arrow()
    except UnicodeError:  # NumPy text may hold code points no text can carry
        raise InputError("group keys are not valid Unicode text", column=name) from None
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.combine_chunks() if arr.num_chunks != 1 else arr.chunk(0)
    if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        arr = arr.cast(pa.large_string())  # dictionaries and string views, as plain text
    valid, offsets, data = arr.buffers()
    empty = pa.py_buffer(b"")
    return ((valid, offsets, data if data is not None else empty, arr.offset,
             pa.types.is_large_string(arr.type)), arr)


def _wide(pa: Any, t: Any) -> Any:
    """The value type keys of type t are kept as: int64 for integers (uint64 stays, as it
    may hold more), float64 for floats."""
    if pa.types.is_integer(t) and t != pa.uint64():
        return pa.int64()
    if pa.types.is_floating(t):
        return pa.float64()
    return t


def _combine(parts: list[Encoded]) -> Encoded:
    """Several key columns as one: the codes of the tuples of their keys, numbered by first
    appearance, without missing codes (a tuple holding a missing key is a key of its own)."""
    combined: npt.NDArray[np.int64] | None = None
    tuples: list[tuple[Any, ...]] = []
    for enc in parts:
        k = len(enc.uniques)
        codes = np.where(enc.codes < 0, k, enc.codes).astype(np.int64)
        # Normal values: NaN and null, -0.0 and 0.0 may hold codes of their own here, and
        # their tuples then meet in the key map.
        values = [*map(_normal, enc.uniques), None]
        if combined is None:
            combined, tuples = codes, [(v,) for v in values]
            continue
        width = k + 1
        combined, first = _first_appearance(combined * width + codes)
        tuples = [tuples[p // width] + (values[p % width],) for p in first.tolist()]
    assert combined is not None
    if len(parts) > 1:
        return Encoded(combined, tuples)
    first_codes, first = _first_appearance(combined)
    return Encoded(first_codes, [tuples[p] for p in first.tolist()])


def _first_appearance(values: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.int64],
                                                              npt.NDArray[np.int64]]:
    """Codes of int64 values numbered by first appearance, and the distinct values in that
    order."""
    uniq, first, inverse = np.unique(values, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty(len(uniq), np.int64)
    rank[order] = np.arange(len(uniq))
    return rank[inverse.reshape(-1)], uniq[order]


def scan_order(codes: Codes, k: int) -> list[int]:
    """The codes in [-1, k) that occur, in order of first appearance (k for -1), found by
    scanning the rows in steps, stopping early once all k codes (and -1, if it occurs) have
    been met. For small code ranges (categories, small integers) this replaces hashing
    every row."""
    want = k + int(np.any(codes < 0))
    seen = np.zeros(k + 1, np.bool_)  # -1 indexes the last slot, the missing key's
    order: list[int] = []
    for lo in range(0, len(codes), SCAN_ROWS):
        chunk = codes[lo:lo + SCAN_ROWS]
        new = chunk[~seen[chunk]]
        if len(new):
            u, idx = np.unique(new, return_index=True)
            u = u[np.argsort(idx, kind="stable")]
            seen[u] = True
            order.extend(k if c < 0 else c for c in u.tolist())
            if len(order) == want:
                break
    return order


# ---------------------------------------------------------------- encoders


def arrow_keys(arr: Any) -> KeyColumn:
    """Keys of an Arrow Array or ChunkedArray (dictionary-encoded ones included)."""
    def encode() -> Encoded:
        pa, pc = _deps.pa(), _deps.pc()
        a = arr
        if isinstance(a, pa.ChunkedArray):
            if pa.types.is_dictionary(a.type) and a.num_chunks > 1:
                return _unified(a.unify_dictionaries())
            a = a.combine_chunks() if a.num_chunks != 1 else a.chunk(0)
        if pa.types.is_dictionary(a.type):
            # Dictionary order need not be appearance order: scan the indices.
            codes = _filled(a.indices)
            return Encoded(codes, a.dictionary.to_pylist(),
                           scan_order(codes, len(a.dictionary)))
        if pa.types.is_string_view(a.type) or pa.types.is_binary_view(a.type):
            a = a.cast(pa.large_string() if pa.types.is_string_view(a.type)
                       else pa.large_binary())
        enc = pc.dictionary_encode(a)  # nulls stay null: code -1
        return Encoded(_filled(enc.indices), enc.dictionary.to_pylist())

    return KeyColumn(encode, lambda: arr)


def _in_appearance_order(chunk: Any) -> bool:
    """Whether a dictionary array's rows use every entry of its dictionary, first
    appearances in dictionary order (as a parser builds it)."""
    codes = _filled(chunk.indices)
    codes = codes[codes >= 0]
    if not len(codes):
        return len(chunk.dictionary) == 0
    top = np.maximum.accumulate(codes)
    return bool(codes[0] == 0 and top[-1] == len(chunk.dictionary) - 1
                and (np.diff(top) <= 1).all())


def _filled(indices: Any) -> Codes:
    """Dictionary indices as signed NumPy codes, -1 for null."""
    codes = numpy_view(indices)
    if codes.dtype.kind == "u":
        # Unsigned indices have no -1: the next wider signed type holds every index.
        codes = codes.astype(np.int32 if codes.dtype.itemsize < 4 else np.int64)
    if indices.null_count:
        codes = codes.copy() if not codes.flags.writeable else codes
        codes[nulls(indices)] = -1
    return codes


def _chunk_codes(chunks: Sequence[Any]) -> Codes:
    """The codes of dictionary chunks that share one dictionary, end to end."""
    if not chunks:
        return np.empty(0, np.int32)
    return np.concatenate([_filled(c.indices) for c in chunks])


def _unified(a: Any) -> Encoded:
    """Dictionary chunks sharing one dictionary. A parser builds each chunk's dictionary in
    order of appearance, and their union taken in chunk order keeps that order."""
    return Encoded(_chunk_codes(a.chunks), a.chunk(0).dictionary.to_pylist())


def numpy_keys(a: npt.NDArray[Any], name: Any = None) -> KeyColumn:
    def encode() -> Encoded:
        if a.dtype.kind != "U":
            return encode_any()
        # Text arrays may hold code points no text can carry (surrogates, values past
        # U+10FFFF); the distinct keys tell, cheaply.
        try:
            enc = encode_any()
            "".join(k for k in enc.uniques if isinstance(k, str)).encode("utf-8")
        except UnicodeError:
            raise InputError("group keys are not valid Unicode text", column=name) from None
        return enc

    def encode_any() -> Encoded:
        if a.dtype.kind in "iu" and len(a):
            small = _small_ints(a)
            if small is not None:
                return small
        pd = _deps.pandas_or_none()
        if pd is not None:
            return pandas_encode(pd, a, name)
        if a.dtype.kind == "O":
            index: dict[Any, int] = {}
            try:
                codes = np.fromiter((index.setdefault(_normal(k), len(index))
                                     for k in a.tolist()), np.int64, len(a))
            except TypeError as e:
                raise InputError(f"group keys must be hashable: {e}", column=name) from None
            return Encoded(codes, list(index))
        return arrow_keys(_deps.pa().array(a)).encode()

    return KeyColumn(encode, lambda: _deps.pa().array(a))


def _small_ints(a: npt.NDArray[Any]) -> Encoded | None:
    """Integers of a narrow range coded by their offset from the smallest, no hashing."""
    lo, hi = int(a.min()), int(a.max())
    span = hi - lo + 1
    if span > max(2 * len(a), 1 << 16) or span > MAX_GROUPS:
        return None
    if -(2**31) <= lo and hi < 2**31:
        codes = a.astype(np.int32)  # a new array: the offset is taken in place
        if lo:
            codes -= np.int32(lo)
    else:
        codes = (a - lo).astype(np.int32)
    return Encoded(codes, _Offsets(lo, span), scan_order(codes, span))


class _Offsets(Sequence[int]):
    """The integers lo, lo + 1, ..., as a sequence that is never built."""

    def __init__(self, lo: int, n: int) -> None:
        self.lo, self.n = lo, n

    def __len__(self) -> int:
        return self.n

    def __getitem__(self, j: Any) -> Any:
        if isinstance(j, slice):
            return list(range(self.lo, self.lo + self.n))[j]
        if not -self.n <= j < self.n:
            raise IndexError("offset out of range")  # ends iteration and unpacking
        return self.lo + (j % self.n)


def pandas_encode(pd: Any, obj: Any, name: Any = None) -> Encoded:
    """Keys of a pandas Series or a NumPy array, factorised by pandas."""
    try:
        return _pandas_encode(pd, obj)
    except TypeError as e:  # keys such as lists, which no hash table takes
        raise InputError(f"group keys must be hashable: {e}", column=name) from None


def _pandas_encode(pd: Any, obj: Any) -> Encoded:
    dtype = getattr(obj, "dtype", None)
    if isinstance(dtype, pd.CategoricalDtype):
        codes = np.asarray(obj.cat.codes if hasattr(obj, "cat") else obj.codes)
        cats = obj.cat.categories if hasattr(obj, "cat") else obj.categories
        return Encoded(codes, list(cats), scan_order(codes, len(cats)))
    if hasattr(dtype, "pyarrow_dtype"):
        return arrow_keys(_deps.pa().chunked_array(obj.array._pa_array)).encode()
    if isinstance(dtype, np.dtype) and dtype.kind in "iu" and len(obj):
        small = _small_ints(np.asarray(obj))
        if small is not None:
            return small
    if isinstance(dtype, np.dtype) and dtype.kind == "f":
        obj = np.asarray(obj) + 0.0  # -0.0 and 0.0 are one key
    codes, uniques = pd.factorize(obj, sort=False)  # missing keys: -1
    if isinstance(uniques, np.ndarray) and uniques.dtype.kind in "mM" and np.datetime_data(
            uniques.dtype)[0] == "ns":
        uniques = pd.Index(uniques)  # Timestamps: NumPy's tolist makes nanoseconds ints
    return Encoded(codes, uniques.tolist() if hasattr(uniques, "tolist") else list(uniques))
