"""Output of a Summary as an aligned text table, JSON or CSV; numbers in CSV and JSON are
exact (the shortest form that reads back as the same double)."""

from __future__ import annotations

import datetime
import json
import math
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from vornel.table import _deps
from vornel.table.blocks import InputError
from vornel.table.summary import COUNTS, Summary, interleaved, output_names


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
    recs = []
    for key, name, res in s.rows(ddof):
        rec: dict[str, Any] = {n: _json_key(k) for n, k in zip(_key_names(s),
                                                                _key_cells(s, key))}
        rec["column"] = name
        rec.update((stat, _json_number(res[stat])) for stat in s.stat_names)
        recs.append(rec)
    return (json.dumps(recs, indent=2, allow_nan=False) + "\n").encode()


def to_csv(s: Summary, ddof: int = 0) -> bytes:
    """CSV of the summary (see csv_chunks)."""
    return b"".join(csv_chunks(s, ddof=ddof))


def csv_chunks(s: Summary, groups: int = 1 << 16, ddof: int = 0) -> Iterator[bytes]:
    """CSV of the summary in pieces of `groups` groups, each built column by column in
    Arrow (a million groups make three million lines). Numbers are written in their
    shortest round-trip form, as Arrow writes them (2.0 as 2, 1e-05 as 0.00001), so each
    reads back as the computed double exactly."""
    pa = _deps.pa()
    per = [s.stats(c, ddof) for c in s.columns]  # before any output: a bad ddof fails here
    yield (",".join(map(_csv_text, _key_names(s) + ["column", *s.stat_names])) + "\n").encode()
    n = 1 if s.by is None else len(s.key_array())
    if not per or not n:
        return
    parts: list[Any] = []
    if s.by is not None:
        keys = s.key_array()
        fields = ([keys.field(j) for j in range(keys.type.num_fields)]
                  if isinstance(keys.type, pa.StructType) else [keys])
        parts = [_key_text(pa, _deps.pc(), k) for k in fields]
    with ThreadPoolExecutor(2) as pool:  # Arrow formats numbers without the GIL
        for lo in range(0, n, groups):
            yield _csv_piece(s, per, parts, lo, min(n, lo + groups), pool)


def _csv_piece(s: Summary, per: list[dict[str, Any]], keys: list[Any], lo: int, hi: int,
               pool: ThreadPoolExecutor) -> bytes:
    """The lines of groups lo to hi: each group's columns, one line each."""
    pa, pc = _deps.pa(), _deps.pc()
    n_cols = len(s.columns)
    each = np.repeat(np.arange(hi - lo), n_cols)  # line -> group
    cells = [_quoted(pa, pc, k.slice(lo, hi - lo)).take(each) for k in keys]
    names = _quoted(pa, pc, pa.array([str(c) for c in s.columns], pa.string()))
    cells.append(names.take(np.tile(np.arange(n_cols), hi - lo)))

    counts = interleaved(per, "count", lo, hi)

    def text(st: str) -> Any:
        empty = None if st in (*COUNTS, "sum") else counts == 0  # no value: an empty cell
        values = interleaved(per, st, lo, hi)
        return pc.fill_null(pc.cast(pa.array(values, mask=empty), pa.string()), "")

    cells += list(pool.map(text, s.stat_names))
    lines = pc.binary_join_element_wise(*cells, pa.scalar("\n"), ",")
    # Each line ends ",\n" and the lines lie back to back in the array's data buffer.
    lines = pc.utf8_replace_slice(lines, -2, -1, "")
    offsets = np.frombuffer(lines.buffers()[1], np.int32, len(lines) + 1, lines.offset * 4)
    return bytes(memoryview(lines.buffers()[2])[offsets[0]:offsets[-1]])


def _csv_text(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in '",\r\n') else text


def _key_text(pa: Any, pc: Any, keys: Any) -> Any:
    """Keys as text: Arrow's own form for strings, numbers and dates; bytes and other
    objects by their Python text (bytes keep their identity: b'\\xff' is not b'\\\\xff')."""
    t = keys.type
    if pa.types.is_string(t) or pa.types.is_large_string(t):
        return pc.fill_null(keys.cast(pa.string()), "")
    if (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_date(t)
            or pa.types.is_boolean(t)):
        return pc.fill_null(pc.cast(keys, pa.string()), "")
    return pa.array([_text(k) for k in keys.to_pylist()], pa.string())


def _quoted(pa: Any, pc: Any, text: Any) -> Any:
    """Text cells, quoted where CSV needs it (a comma, quote or line break inside)."""
    needs = pc.match_substring_regex(text, '[",\r\n]')
    if not pc.any(needs).as_py():
        return text
    quoted = pc.binary_join_element_wise('"', pc.replace_substring(text, '"', '""'), '"', "")
    return pc.if_else(needs, quoted, text)


FORMATS = {"table": table, "json": to_json, "csv": to_csv}
