"""Output of a Summary as an aligned text table, JSON or CSV; numbers in CSV and JSON are
exact (the shortest form that reads back as the same double)."""

from __future__ import annotations

import csv
import datetime
import io
import json
import math
from typing import Any

from vornel.table.blocks import InputError
from vornel.table.summary import STATS, Summary


def _key_names(s: Summary) -> list[str]:
    if s.by is None:
        return []
    return ["group"] if len(s.by) == 1 else list(s.by)


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


def table(s: Summary) -> str:
    head = _key_names(s) + ["column", *STATS]
    body = []
    for key, name, res in s.rows():
        cells = ["(null)" if k is None else _text(k) for k in _key_cells(s, key)] + [str(name)]
        for stat in STATS:
            v = res[stat]
            cells.append("-" if v is None else str(v) if stat == "count" else f"{v:.10g}")
        body.append(cells)
    widths = [max(len(r[i]) for r in [head, *body]) for i in range(len(head))]
    text_cols = len(head) - len(STATS)
    return "".join("  ".join(c.ljust(w) if i < text_cols else c.rjust(w)
                             for i, (c, w) in enumerate(zip(r, widths))).rstrip() + "\n"
                   for r in [head, *body])


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


def to_json(s: Summary) -> str:
    recs = []
    for key, name, res in s.rows():
        rec: dict[str, Any] = {n: _json_key(k) for n, k in zip(_key_names(s),
                                                                _key_cells(s, key))}
        rec["column"] = name
        rec.update((stat, _json_number(res[stat])) for stat in STATS)
        recs.append(rec)
    return json.dumps(recs, indent=2, allow_nan=False) + "\n"


def to_csv(s: Summary) -> str:
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    w.writerow(_key_names(s) + ["column", *STATS])
    for key, name, res in s.rows():
        # repr round-trips: the written numbers are the computed doubles exactly.
        w.writerow([_text(k) for k in _key_cells(s, key)] + [name] + [
            "" if res[st] is None else repr(res[st]) for st in STATS])
    return out.getvalue()


FORMATS = {"table": table, "json": to_json, "csv": to_csv}
