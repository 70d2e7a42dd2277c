"""Output of a Summary as an aligned text table, JSON or CSV; numbers in CSV and JSON are
exact (the shortest form that reads back as the same double)."""

from __future__ import annotations

import datetime
import json
import math
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from vornel import _scan
from vornel.table import _deps
from vornel.table.blocks import InputError
from vornel.table.summary import COUNTS, Summary, _check_ddof, output_names


def _key_names(s: Summary) -> list[str]:
    """The key columns' names, renamed where an output column has the name."""
    return output_names(s.by or [], ["column", *s.stat_names])


def _key_cells(s: Summary, key: Any) -> list[Any]:
    if s.by is None:
        return []
    return list(key) if len(s.by) > 1 else [key]


def _text(key: Any) -> str:
    """A key as text: bytes keep their exact identity (b'\\xff' is not b'\\\\xff')."""
    if key is None:
        return ""
    if isinstance(key, bytes):
        return repr(key)
    if isinstance(key, float):
        return repr(key)
    return str(key)


def _shown(text: str) -> str:
    """Text for a terminal: line breaks, tabs, escapes and other unprintable characters
    written as Python escapes, so that a cell stays on its line and sends no control
    sequence."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def table(s: Summary, ddof: int = 0) -> bytes:
    head = [_shown(n) for n in _key_names(s)] + ["column", *s.stat_names]
    body = []
    for key, name, res in s.rows(ddof):
        cells = ["(null)" if k is None else _shown(_text(k)) for k in _key_cells(s, key)]
        cells.append(_shown(str(name)))
        for stat in s.stat_names:
            v = res[stat]
            cells.append("-" if v is None else str(v) if stat in COUNTS else f"{v:.10g}")
        body.append(cells)
    widths = [max(len(r[i]) for r in [head, *body]) for i in range(len(head))]
    text_cols = len(head) - len(s.stat_names)
    return "".join("  ".join(c.ljust(w) if i < text_cols else c.rjust(w)
                             for i, (c, w) in enumerate(zip(r, widths))).rstrip() + "\n"
                   for r in [head, *body]).encode()


def _json_number(v: Any) -> Any:
    # JSON has no NaN or infinities; they are written as the strings float() reads back.
    if isinstance(v, float) and not math.isfinite(v):
        return repr(v)
    return v


def _json_key(k: Any) -> Any:
    if k is None or isinstance(k, (str, bool, int)):
        return k
    if isinstance(k, float):
        return _json_number(k)
    if isinstance(k, (datetime.date, datetime.time)):
        return k.isoformat()
    raise InputError(f"JSON cannot hold the group key {k!r} ({type(k).__name__}); "
                     "use --format csv or table")


def to_json(s: Summary, ddof: int = 0) -> bytes:
    """JSON of the summary (see json_chunks)."""
    return b"".join(json_chunks(s, ddof=ddof))


def json_chunks(s: Summary, groups: int = 1 << 15, ddof: int = 0) -> Iterator[bytes]:
    """JSON of the summary in pieces: a list of records as json.dumps(indent=2) lays them
    out, one per group and column; empty statistics null, NaN and infinities as their text.
    Keys JSON cannot hold fail before the first piece."""
    lines = _Lines(s, ddof, json=True)
    if not lines.n_lines:
        yield b"[]\n"
        return
    yield b"[\n"
    yield from lines.runs(groups, b",\n")
    yield b"\n]\n"


def to_csv(s: Summary, ddof: int = 0) -> bytes:
    """CSV of the summary (see csv_chunks)."""
    return b"".join(csv_chunks(s, ddof=ddof))


def csv_chunks(s: Summary, groups: int = 1 << 15, ddof: int = 0) -> Iterator[bytes]:
    """CSV of the summary in pieces of `groups` groups. Numbers are written in their
    shortest round-trip form, as Arrow writes them (2.0 as 2, 1e-05 as 0.00001), so each
    reads back as the computed double exactly."""
    lines = _Lines(s, ddof, json=False)  # before any output: a bad ddof fails here
    yield (",".join(map(_csv_text, _key_names(s) + ["column", *s.stat_names])) + "\n").encode()
    yield from lines.runs(groups, b"")


class _Lines:
    """The lines of a summary's CSV or records of its JSON, written natively from its
    statistics' arrays and its keys as text, a run of groups at a time: the statistics of
    a run are made for it alone, so memory follows the run, not the groups."""

    def __init__(self, s: Summary, ddof: int, json: bool) -> None:
        _check_ddof(ddof)
        self.s, self.ddof, self.json = s, ddof, json
        self.n = 0 if not s.columns else 1 if s.by is None else len(s.key_array())
        self.n_lines = self.n * len(s.columns)
        self.keys: list[Any] = []
        self.modes: list[int] = []
        if s.by is not None and self.n:
            for text, mode in (_json_keys(s) if json else _csv_keys(s)):
                self.keys.append(_buffers(text))
                self.modes.append(mode)
        self.key_names = [_utf8(n) for n in _key_names(s)]
        self.names = [_utf8(str(c)) for c in s.columns]
        self.stat_names = [_utf8(n) for n in s.stat_names]
        self.kinds = [0 if st in COUNTS else 2 if st == "sum" else 1 for st in s.stat_names]

    def text(self, lo: int, hi: int) -> bytes:
        """The lines of groups lo to hi (statistics made for them alone)."""
        per = [self.s.stats(c, self.ddof, (lo, hi)) for c in self.s.columns]
        stats = [[_flat(p, st) for st in self.s.stat_names] for p in per]
        # Key buffers are indexed from the run's first group: offsets shift by lo.
        keys = [(v, o, d, off + lo, w) for v, o, d, off, w in self.keys]
        return _scan.write_lines(self.json, keys, self.modes, self.key_names, self.names,
                                 self.stat_names, self.kinds, stats, 0, hi - lo)

    def runs(self, groups: int, sep: bytes) -> Iterator[bytes]:
        """The text of groups in runs of `groups`, runs joined by sep."""
        for i, piece in enumerate(self._pieces(groups)):
            if i:
                yield sep
            yield piece

    def _pieces(self, groups: int) -> Iterator[bytes]:
        """Big outputs are made on two threads (formatting numbers is most of the work, and
        runs detached), in order, at most three runs ahead."""
        bounds = [(lo, min(self.n, lo + groups)) for lo in range(0, self.n, groups)]
        if len(bounds) < 2:
            yield from (self.text(lo, hi) for lo, hi in bounds)
            return
        with ThreadPoolExecutor(2, thread_name_prefix="vornel-out") as pool:
            ahead: deque[Future[bytes]] = deque()
            for lo, hi in bounds:
                ahead.append(pool.submit(self.text, lo, hi))
                if len(ahead) > 3:
                    yield ahead.popleft().result()
            while ahead:
                yield ahead.popleft().result()


def _flat(per: dict[str, npt.NDArray[Any]], stat: str) -> npt.NDArray[Any]:
    a = per[stat].reshape(-1)
    if stat in COUNTS:
        return np.ascontiguousarray(a, np.int64)
    if stat == "sum":  # an empty group's sum is 0.0 (never -0.0 from a merge)
        a = np.where(per["count"].reshape(-1) == 0, 0.0, a)
    return np.ascontiguousarray(a, np.float64)


def _utf8(text: str) -> bytes:
    # Lone surrogates pass through as their code points: JSON writes them as \ud800.
    return text.encode("utf-8", "surrogatepass")


def _buffers(arr: Any) -> tuple[Any, Any, Any, int, bool]:
    """A string array as write_lines takes it: (validity, offsets, data, offset, wide)."""
    pa = _deps.pa()
    valid, offsets, data = arr.buffers()
    return (valid if arr.null_count else None, offsets,
            data if data is not None else pa.py_buffer(b""), arr.offset,
            pa.types.is_large_string(arr.type))


def _key_fields(s: Summary) -> list[Any]:
    pa = _deps.pa()
    keys = s.key_array()
    if isinstance(keys.type, pa.StructType):
        return [keys.field(j) for j in range(keys.type.num_fields)]
    return [keys]


def _csv_keys(s: Summary) -> list[tuple[Any, int]]:
    pa = _deps.pa()
    return [(_key_text(pa, k), 0) for k in _key_fields(s)]


def _json_keys(s: Summary) -> list[tuple[Any, int]]:
    """Each key column as JSON: text to write as a string (mode 0), or each key's JSON
    (mode 1). The kind of key follows the keys' Python values, as json.dumps would see them."""
    pa, pc = _deps.pa(), _deps.pc()
    out: list[tuple[Any, int]] = []
    for j, arr in enumerate(_key_fields(s)):
        t = arr.type
        if s.has_arrow_keys:  # Arrow's values are the keys: its type tells their kind
            kind = ("text" if pa.types.is_string(t) or pa.types.is_large_string(t) else
                    "int" if pa.types.is_integer(t) else
                    "bool" if pa.types.is_boolean(t) else "other")
            values = None
        else:
            values = [k[j] for k in s.keys] if len(s.by or []) > 1 else s.keys
            kinds = {type(k) for k in values} - {type(None)}
            kind = ("text" if kinds <= {str} else "int" if kinds <= {int} else
                    "bool" if kinds <= {bool} else "other")
            if kind != "other" and not _same_kind(pa, t, kind):
                arr = pa.array(values, {"text": pa.string(), "int": pa.int64(),
                                        "bool": pa.bool_()}[kind])
        if kind == "text":
            out.append((arr.cast(pa.string()) if not pa.types.is_large_string(t) else arr, 0))
        elif kind in ("int", "bool"):  # Arrow writes both as JSON does (7, true)
            out.append((pc.cast(arr, pa.string()), 1))
        else:
            pylist = arr.to_pylist() if values is None else values
            out.append((pa.array([None if k is None else json.dumps(_json_key(k))
                                  for k in pylist], pa.string()), 1))
    return out


def _same_kind(pa: Any, t: Any, kind: str) -> bool:
    if kind == "text":
        return bool(pa.types.is_string(t) or pa.types.is_large_string(t))
    if kind == "int":
        return bool(pa.types.is_integer(t))
    return bool(pa.types.is_boolean(t))


def _csv_text(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in '",\r\n') else text


def _key_text(pa: Any, keys: Any) -> Any:
    """Keys as text (nulls stay null: the writer leaves their cells empty): Arrow's own form
    for strings, numbers and dates; bytes and other objects by their Python text (bytes keep
    their identity: b'\\xff' is not b'\\\\xff')."""
    t = keys.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return keys
    if (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_date(t)
            or pa.types.is_boolean(t) or pa.types.is_string_view(t)):
        return _deps.pc().cast(keys, pa.string())  # (imported only here: 50 ms)
    return pa.array([None if k is None else _text(k) for k in keys.to_pylist()], pa.string())


FORMATS = {"table": table, "json": to_json, "csv": to_csv}
