"""The CSV and JSON text of summaries against independent oracles: json.dumps of the
records `Summary.rows` gives, and Arrow's own text of each number and key, for keys of
every kind and doubles of every size (one-row groups put any double into every statistic)."""

import datetime
import json
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

from vornel.table import InputError, describe  # noqa: E402
from vornel.table.output import csv_chunks, json_chunks, to_csv, to_json  # noqa: E402

EDGES = [0.0, -0.0, 1e-7, 1e-6, 1e-5, 1.5e-5, 1e-4, 0.1, 1.0, 2.0, 123456789.0, 9999999999.5,
         1e10, 1e11, 12345678901.0, 1e15, 1e16, 1.2345e17, 5e-324, 2.2250738585072014e-308,
         1.7976931348623157e308, 0.30000000000000004, math.inf, -math.inf, math.nan]
TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=6)


def json_value(v):
    if isinstance(v, float) and not math.isfinite(v):
        return repr(v)
    if isinstance(v, (datetime.date, datetime.time)):
        return v.isoformat()
    return v


def json_reference(s):
    names = list(s.by or [])
    recs = []
    for key, column, res in s.rows():
        parts = [] if s.by is None else list(key) if len(names) > 1 else [key]
        rec = {n: json_value(k) for n, k in zip(names, parts)}
        rec["column"] = column
        rec.update((k, json_value(v)) for k, v in res.items())
        recs.append(rec)
    return (json.dumps(recs, indent=2, allow_nan=False) + "\n").encode()


def arrow_text(v):
    return pa.array([v], pa.float64()).cast(pa.string())[0].as_py()


def csv_cell(text):
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in '",\r\n') else text


def csv_reference(s):
    lines = [",".join([*s.by, "column", *s.stat_names])]
    for key, column, res in s.rows():
        cells = [csv_cell(key), column]
        for stat, v in res.items():
            cells.append("" if v is None else str(v) if stat in ("count", "missing")
                         else arrow_text(v))
        lines.append(",".join(cells))
    return ("\n".join(lines) + "\n").encode()


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(TEXT, st.one_of(st.floats(), st.sampled_from(EDGES))),
                max_size=30, unique_by=lambda r: r[0]))
def test_one_row_groups_as_the_oracles_write_them(rows):
    keys = [k for k, _ in rows]
    s = describe({"k": pa.array(keys, pa.string()), "v": np.array([v for _, v in rows])},
                 by="k", skipna=False)
    assert to_json(s) == json_reference(s)
    assert to_csv(s) == csv_reference(s)


@pytest.mark.parametrize("run", [1, 2, 5])
@pytest.mark.parametrize("quantiles", [None, [0.5, 0.9]], ids=["moments", "quantiles"])
def test_runs_of_groups_join_seamlessly(run, quantiles):
    # Each run of groups makes its own statistics and key offsets (and sketches, by take).
    rng = np.random.default_rng(5)
    keys = pa.array(rng.choice(["a", None, "c,d", "e", 'f"', "g", "h"], 200))
    s = describe({"k": keys, "v": rng.normal(size=200), "w": rng.normal(size=200)}, by="k",
                 quantiles=quantiles)
    assert b"".join(json_chunks(s, groups=run)) == json_reference(s)
    assert b"".join(csv_chunks(s, groups=run)) == b"".join(csv_chunks(s, groups=1 << 15))


KEYS = {
    "int": [3, -7, 2**62, None],
    "bool": [True, False, None],
    "float": [0.5, -0.0, 1e16, math.inf, None],
    "date": [datetime.date(999, 1, 2), datetime.date(2024, 2, 29), None],
    "text": ["a\x7fb", 'q"\\', "\u2028\U0001f600", "é\t\x00", None],
}


@pytest.mark.parametrize("kind", sorted(KEYS))
@pytest.mark.parametrize("arrow", [False, True], ids=["python-keys", "arrow-keys"])
def test_keys_of_every_kind(kind, arrow):
    keys = KEYS[kind]
    col = pa.array(keys) if arrow else np.array(keys, dtype=object)
    s = describe({"k": col, "v": np.arange(len(keys), dtype=float)}, by="k")
    assert to_json(s) == json_reference(s)


def test_several_key_columns_and_empty_groups():
    s = describe({"a": np.array(["x", "y", "x", None], dtype=object),
                  "b": np.array([1, 2, 1, 2]), "v": np.array([np.nan, 1.0, np.nan, 2.0])},
                 by=["a", "b"])
    assert to_json(s) == json_reference(s)
    assert b"null" in to_json(s)  # the group of NaN only has no mean


@pytest.mark.parametrize("data", [{"v": np.array([1.0, 2.5])}, {"v": np.array([])}],
                         ids=["values", "empty"])
def test_ungrouped(data):
    s = describe(data)
    assert to_json(s) == json_reference(s)


def test_key_json_cannot_hold_is_refused():
    s = describe({"k": pa.array([b"\xff"]), "v": np.array([1.0])}, by="k")
    with pytest.raises(InputError, match="JSON cannot hold"):
        to_json(s)


def test_no_groups_is_an_empty_list():
    s = describe({"k": pa.array([], pa.string()), "v": np.array([])}, by="k")
    assert to_json(s) == b"[]\n"
    assert to_csv(s) == b"k,column,count,missing,sum,mean,min,max,var,std\n"
