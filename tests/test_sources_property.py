"""describe over every source, with random key columns (1 to 3, of every key kind the source
can hold) and value columns of random dtypes: each group gets the bits of one CyStreamStats fed
that group's values in input order, or the input is refused with a one-line InputError; and
pandas' groupby finds the same groups with the same counts."""

import csv
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pq = pytest.importorskip("pyarrow.parquet")
try:
    import polars as pl
except ImportError:
    pl = None

from test_table import assert_reference, cell, norm  # noqa: E402
from vornel import describe  # noqa: E402
from vornel.table import InputError  # noqa: E402

INTS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
CATS = ["z", "a", "m", "q", "w"]  # neither sorted nor all used: groups follow the rows
NA_VALUES = ["", "NA", "N/A", "NULL", "null", "NaN", "nan"]
# CSV keys are text, however they look: none of these may turn into a number, date or bool,
# nor a missing key unless listed in key_na_values (by default only "").
TEXT = ["a", "", "1", "01", "1.0", "-0", "0", "-0.0", "NA", "null", "NaN", "nan", "N/A",
        "true", "True", "2020-01-01", "c,d", 'q"u', "two\nlines", " a", "a ", "é"]


def ints(dtype):
    i = np.iinfo(dtype)
    lo, hi = int(i.min), int(i.max)
    return st.sampled_from([lo, hi, 0, 1, min(hi, 2**53 + 1)]) | st.integers(lo, hi)


FLOATS = (st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e300, -1e300])
          | st.integers(-1000, 1000).map(float) | st.floats(-1e6, 1e6))
KEY_ELEMENTS = {
    "str": st.sampled_from(["a", "b", "", "c,d", "two\nlines", " a"]) | st.text(max_size=3),
    "bytes": st.sampled_from([b"\xff", b"\\xff", b""]) | st.binary(max_size=3),
    **{t: ints(t) for t in INTS},
    "Int64": ints("int64"),
    "float": st.sampled_from([math.nan, -0.0, 0.0, 1.5, math.inf, 5e-324]) | st.floats(),
    "cat": st.sampled_from(CATS),
    "date": st.dates(),
    "bool": st.booleans(),
    "bool?": st.booleans(),
    "text": st.sampled_from(TEXT) | st.text('a1 ,.-"\n\r\t', max_size=4),
}
NULL_KEYS = {"str", "bytes", "Int64", "float", "cat", "date", "bool?"}
VALUE_ELEMENTS = {"f64": FLOATS, "f32": st.floats(width=32), "i64": ints("int64"),
                  "i32": ints("int32"), "i8": ints("int8"), "u64": ints("uint64")}
NP = {"f64": np.float64, "f32": np.float32, "i64": np.int64, "i32": np.int32, "i8": np.int8,
      "u64": np.uint64}

# The kinds each source can hold ("?": with nulls besides NaN; "cat:T": Arrow dictionary with
# index type T; "str:T": string type T). A dict of NumPy arrays has no null but NaN, NaT or
# None in an object array; a CSV file has text keys.
KEYS = ["str", "bytes", *INTS, "Int64", "float", "date", "bool", "bool?"]
PLAIN = ["f64", "f32", "i64", "i8", "u64"]
VALUES = PLAIN + ["f64?", "f32?", "i64?", "i32?", "i8?", "u64?"]
ARROW_KEYS = KEYS + ["str:large", "str:view", "cat:int8", "cat:uint8", "cat:uint16",
                     "cat:uint32", "cat:int32"]
SOURCES = {
    "pandas": (KEYS + ["cat", "str:python", "str:pyarrow"], VALUES),
    "polars": (KEYS + ["cat:polars", "cat:enum"], VALUES),
    "arrow": (ARROW_KEYS, VALUES),
    "parquet": (ARROW_KEYS, VALUES),
    "dict": (KEYS, PLAIN),
    "csv": (["text"], VALUES),
}


@st.composite
def key_column(draw, kind, n):
    # Keys from a small pool, so that groups repeat.
    pool = draw(st.lists(KEY_ELEMENTS[kind.split(":")[0]], min_size=1, max_size=4))
    if kind.split(":")[0] in NULL_KEYS and draw(st.booleans()):
        pool.append(None)
    return draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n))


def value_column(kind, n):
    el = VALUE_ELEMENTS[kind.rstrip("?")]
    return st.lists(st.none() | el if kind.endswith("?") else el, min_size=n, max_size=n)


def as_float(kind, vals):
    """What describe sums: NumPy's float64 of each value (None: missing)."""
    return [None if v is None else float(np.array(v, NP[kind.rstrip("?")]).astype(np.float64))
            for v in vals]


def pandas_column(kind, vals):
    if kind in ("str", "bytes", "date"):
        return pd.Series(vals, dtype=object)
    if kind.startswith("str:"):
        return pd.Series(pd.array(vals, pd.StringDtype(kind[4:])))
    if kind in INTS:
        return pd.Series(np.array(vals, kind))
    if kind == "float":
        return pd.Series([math.nan if v is None else v for v in vals], dtype=np.float64)
    if kind == "cat":
        return pd.Series(pd.Categorical(vals, categories=CATS))
    if kind == "bool":
        return pd.Series(np.array(vals, np.bool_))
    masked = {"Int64": "Int64", "bool?": "boolean", "i64?": "Int64", "i8?": "Int8",
              "u64?": "UInt64"}
    if kind in masked:
        return pd.Series(pd.array(vals, masked[kind]))
    if kind == "f64?":  # NaN a value, apart from the masked (missing) ones
        return pd.Series(pd.arrays.FloatingArray(
            np.array([0.0 if v is None else v for v in vals], np.float64),
            np.array([v is None for v in vals], np.bool_)))
    if kind.endswith("?"):  # i32?, f32?: Arrow-backed
        return pd.Series(pd.arrays.ArrowExtensionArray(arrow_column(kind, vals)))
    return pd.Series(np.array(vals, NP[kind]))


def arrow_column(kind, vals, batch=0):
    if kind.startswith("cat:"):
        cats = CATS[batch % 5:] + CATS[:batch % 5]  # each batch may order its dictionary anew
        idx = pa.array([None if v is None else cats.index(v) for v in vals],
                       getattr(pa, kind[4:])())
        return pa.DictionaryArray.from_arrays(idx, pa.array(cats))
    types = {"str": pa.string(), "str:large": pa.large_string(), "str:view": pa.string_view(),
             "bytes": pa.binary(), "Int64": pa.int64(), "float": pa.float64(),
             "date": pa.date32(), "bool": pa.bool_(), "bool?": pa.bool_(),
             **{t: pa.from_numpy_dtype(np.dtype(t)) for t in INTS},
             **{t: pa.from_numpy_dtype(np.dtype(d)) for t, d in NP.items()}}
    return pa.array(vals, types[kind.rstrip("?")])


def polars_column(name, kind, vals):
    if kind == "cat:polars":
        return pl.Series(name, vals, dtype=pl.Categorical)
    if kind == "cat:enum":
        return pl.Series(name, vals, dtype=pl.Enum(CATS))
    types = {"str": pl.String, "bytes": pl.Binary, "Int64": pl.Int64, "float": pl.Float64,
             "date": pl.Date, "bool": pl.Boolean, "bool?": pl.Boolean, "f64": pl.Float64,
             "f32": pl.Float32, "i64": pl.Int64, "i32": pl.Int32, "i8": pl.Int8, "u64": pl.UInt64,
             **{t: getattr(pl, t.capitalize().replace("Uint", "UInt")) for t in INTS}}
    return pl.Series(name, vals, dtype=types[kind.rstrip("?")])


def numpy_column(kind, vals):
    if kind in ("str", "bytes", "Int64", "bool?"):
        return np.array(vals, object)
    if kind == "float":
        return np.array([math.nan if v is None else v for v in vals], np.float64)
    if kind == "date":
        return np.array([np.datetime64("NaT") if v is None else v for v in vals],
                        "datetime64[D]")
    return np.array(vals, np.bool_ if kind == "bool" else kind if kind in INTS else NP[kind])


def build(source, draw, path, keys, values):
    """The table in the source's own form, the describe arguments it needs, and the key and
    value columns describe should see."""
    cols = [(f"k{i}", *c) for i, c in enumerate(keys)] + [
        (f"v{i}", *c) for i, c in enumerate(values)]
    want_k = [[norm(v) for v in vals] for _, vals in keys]
    want_v = [as_float(k, vals) for k, vals in values]
    if source == "csv":
        return csv_source(draw, path / "t.csv", cols)
    n = len(keys[0][1])
    # Leading rows cut off again: columns that start at an offset into their buffers.
    pad = draw(st.integers(0, 2), label="offset") if n else 0
    cols = [(c, k, v[:1] * pad + v) for c, k, v in cols]
    if source in ("pandas", "dict"):
        # Object key columns may mark a missing key with any of these.
        markers = [None, math.nan] + ([pd.NA, pd.NaT] if source == "pandas" else [])
        cols = [(c, k, [draw(st.sampled_from(markers)) if x is None else x for x in v]
                 if k in ("str", "bytes") or (k == "date" and source == "pandas") else v)
                for c, k, v in cols]
    if source == "pandas":
        frame = pd.DataFrame({c: pandas_column(k, v) for c, k, v in cols}).iloc[pad:]
        return as_columns(draw, frame), {}, want_k, want_v
    if source == "dict":
        step = draw(st.integers(1, 2), label="stride")  # strided views too
        return ({c: np.repeat(numpy_column(k, v), step)[pad * step::step] for c, k, v in cols},
                {}, want_k, want_v)
    rows = draw(st.integers(1, 7), label="rows per chunk")
    spans = [(i, i + rows) for i in range(0, n + pad, rows)] or [(0, 0)]
    if source == "polars":
        frame = pl.concat([pl.DataFrame([polars_column(c, k, v[a:b]) for c, k, v in cols])
                           for a, b in spans], rechunk=False)
        return as_columns(draw, frame.slice(pad)), {}, want_k, want_v
    varied = draw(st.booleans(), label="a dictionary per batch")
    batches = [pa.record_batch([arrow_column(k, v[a:b], i * varied) for _, k, v in cols],
                               names=[c for c, _, _ in cols]) for i, (a, b) in enumerate(spans)]
    table = pa.Table.from_batches(batches).slice(pad)
    if source == "parquet":
        pq.write_table(table, path / "t.parquet", row_group_size=rows)
        return (path / "t.parquet", {"block_size": draw(st.integers(1, 1024))}, want_k,
                want_v)
    if draw(st.booleans(), label="as a reader"):
        return (pa.RecordBatchReader.from_batches(table.schema, table.to_batches()), {}, want_k,
                want_v)
    return as_columns(draw, table), {}, want_k, want_v


def as_columns(draw, frame):
    """The frame, or a dict of its columns (Series, or Arrow chunked arrays)."""
    if not draw(st.booleans(), label="as a dict of columns"):
        return frame
    return {c: frame[c] for c in (frame.column_names if isinstance(frame, pa.Table)
                                  else frame.columns)}


def csv_source(draw, path, cols):
    """A CSV file of the columns: missing value cells written as any of the na_values in
    force, NaN as "nan" or "NaN" (missing when listed there), keys as their text, missing
    only when listed in key_na_values (na_values is for value cells)."""
    na = draw(st.none() | st.lists(st.sampled_from(NA_VALUES[1:]), unique=True)
              .map(lambda tokens: ["", *tokens]), label="na_values")
    key_na = draw(st.none() | st.lists(st.sampled_from(NA_VALUES), unique=True),
                  label="key_na_values")
    tokens = NA_VALUES if na is None else na
    want_k, want_v, text = [], [], []
    for name, kind, vals in cols:
        if kind == "text":
            want_k.append([None if v in ([""] if key_na is None else key_na) else v
                           for v in vals])
            text.append(vals)
            continue
        cells, want = [], []
        for v, f in zip(vals, as_float(kind, vals)):
            if v is None:
                cells.append(draw(st.sampled_from(tokens)))
            elif f != f:
                cells.append(draw(st.sampled_from(["nan", "NaN"])))
                f = None if cells[-1] in tokens else f
            else:
                cells.append(str(v) if isinstance(v, int) else cell(v))
            want.append(f)
        want_v.append(want)
        text.append(cells)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow([c for c, _, _ in cols])
        w.writerows(zip(*text))
    kwargs = {"block_size": draw(st.integers(1, 64), label="block_size")}
    if na is not None:
        kwargs["na_values"] = na
    if key_na is not None:
        kwargs["key_na_values"] = key_na
    return path, kwargs, want_k, want_v


def draw_table(data, source):
    key_kinds, value_kinds = SOURCES[source]
    n = data.draw(st.integers(0, 32), label="rows")
    kinds = data.draw(st.lists(st.sampled_from(key_kinds), min_size=1, max_size=3),
                      label="key kinds")
    keys = [(k, data.draw(key_column(k, n), label=k)) for k in kinds]
    kinds = data.draw(st.lists(st.sampled_from(value_kinds), min_size=1, max_size=2),
                      label="value kinds")
    values = [(k, data.draw(value_column(k, n), label=k)) for k in kinds]
    by = [f"k{i}" for i in range(len(keys))]
    return keys, values, by[0] if len(by) == 1 else by, [f"v{i}" for i in range(len(values))]


@pytest.mark.parametrize("source", [
    pytest.param(s, marks=pytest.mark.skipif(s == "polars" and pl is None, reason="polars"))
    for s in SOURCES])
@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_every_source_gives_the_reference_bits(tmp_path, source, data):
    keys, values, by, columns = draw_table(data, source)
    skipna = data.draw(st.booleans(), label="skipna")
    table, kwargs, want_k, want_v = build(source, data.draw, tmp_path, keys, values)
    try:
        s = describe(table, columns=columns, by=by, skipna=skipna, **kwargs)
    except InputError as e:
        assert "\n" not in str(e), str(e)
        event(f"refused: {e}")
        return
    rows = want_k[0] if len(want_k) == 1 else list(zip(*want_k))
    assert_reference(s, rows, dict(zip(columns, want_v)), skipna)


@settings(max_examples=100, deadline=None)
@given(data=st.data())
def test_pandas_groupby_finds_the_same_groups(data):
    keys, values, by, columns = draw_table(data, "pandas")
    frame, _, _, want_v = build("pandas", data.draw, None, keys, values)
    frame = pd.DataFrame(frame)  # also when drawn as a dict of its columns
    s = describe(frame, columns=columns, by=by)
    # pandas' own key handling, over the values as float64 with NaN for missing.
    plain = frame.assign(**{c: np.array(v, np.float64) for c, v in zip(columns, want_v)})
    groups = plain.groupby(by, dropna=False, sort=False, observed=True)[columns]
    count, mean = groups.count(), groups.mean()
    assert [norm(k) for k in count.index] == s.keys
    for c, v in zip(columns, want_v):
        stats = s.stats(c)
        np.testing.assert_array_equal(stats["count"], count[c].to_numpy())
        if all(x is None or math.isnan(x) or abs(x) < 1e150 for x in v):
            scale = max([1.0] + [abs(x) for x in v if x is not None and x == x])
            np.testing.assert_allclose(stats["mean"], mean[c].to_numpy(), rtol=1e-9,
                                       atol=1e-9 * scale)
