"""vornel.describe: every source (data frames, Arrow data, dicts of arrays, files) gives each
group the bits of one accumulator fed that group's values in input order."""

import csv
import datetime
import math
import pickle
import threading
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from vornel import CyStreamStats, describe, state  # noqa: E402
from vornel.table import InputError  # noqa: E402

STATS = ["count", "missing", "sum", "mean", "min", "max", "var", "std"]


def norm(key):
    """A key as describe reports it: every missing marker is None, -0.0 is 0.0."""
    if isinstance(key, tuple):
        return tuple(norm(k) for k in key)
    if key is None or key is pd.NA or key is pd.NaT:
        return None
    if isinstance(key, float):
        return None if math.isnan(key) else key + 0.0
    return key


def bits(records):
    """The bytes of records, every NaN made one NaN: the sign and payload of a NaN are
    whatever a compiled loop's operand order gives, and the grouped and the single-stream
    loops may differ there."""
    recs = np.array(records, copy=True)
    for f in ("sum", "mean", "m2", "min", "max"):
        recs[f] = np.where(np.isnan(recs[f]), np.nan, recs[f])
    return recs.tobytes()


def reference(keys, columns, skipna):
    """The expected keys, and per column one record per group: a CyStreamStats per group fed
    that group's values in input order (None is a missing value)."""
    keys = [norm(k) for k in keys]
    order = list(dict.fromkeys(keys))
    recs = {}
    for name, vals in columns.items():
        recs[name] = []
        for g in order:
            acc = CyStreamStats()
            acc.add_values([v for k, v in zip(keys, vals) if k == g and v is not None
                            and not (skipna and math.isnan(v))])
            recs[name].append(bits(state.to_records(acc)))
    return order, recs


def assert_reference(summary, keys, columns, skipna=True):
    if summary.by is None:
        keys = [0] * len(next(iter(columns.values())))
    order, want = reference(keys, columns, skipna)
    if summary.by is None:
        for name in columns:
            assert bits(summary.records[name]) == (want[name] or [
                bits(state.empty_records())])[0], name
        return
    assert summary.keys == order
    zeros = [k for key in summary.keys for k in (key if isinstance(key, tuple) else (key,))
             if isinstance(k, float) and k == 0]
    assert all(math.copysign(1.0, k) == 1.0 for k in zeros)  # 0.0 stands for -0.0 too
    for name in columns:
        assert [bits(r) for r in summary.records[name]] == want[name], name


# ---------------------------------------------------------------- one table, every source

KEYS = ["a", "b", "c,d", 'q"u', "two\nlines", " a", None]
VALUE = st.one_of(
    st.none(),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1e300]),
    st.integers(-1000, 1000).map(float),
    st.floats(-1e6, 1e6))


@st.composite
def tables(draw):
    n = draw(st.integers(0, 30))
    keys = draw(st.lists(st.sampled_from(KEYS), min_size=n, max_size=n))
    cols = {c: draw(st.lists(VALUE, min_size=n, max_size=n)) for c in ("x", "y")}
    return keys, cols


def floats(vals):
    """float64 values (NaN where missing) and the missing mask."""
    return (np.array([math.nan if v is None else v for v in vals], np.float64),
            np.array([v is None for v in vals], np.bool_))


def as_pandas(keys, cols):
    # FloatingArray keeps NaN values apart from missing (masked) ones.
    return pd.DataFrame({"k": pd.Series(keys, dtype=object),
                         **{c: pd.arrays.FloatingArray(*floats(v)) for c, v in cols.items()}})


def as_arrow(keys, cols, rows):
    t = pa.table({"k": pa.array(keys, pa.string()),
                  **{c: pa.array(floats(v)[0], mask=floats(v)[1]) for c, v in cols.items()}})
    return pa.Table.from_batches(t.to_batches(max_chunksize=rows), schema=t.schema)


def cell(v):
    if v is None:
        return ""
    if math.isfinite(v) and v.is_integer() and abs(v) < 1e15:
        # Integer text, so a range of such cells is parsed as integers ("-0" included).
        return ("-" if math.copysign(1.0, v) < 0 and v == 0 else "") + str(int(v))
    return repr(v)


def write_csv(path, keys, cols):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["k", *cols])
        for i, k in enumerate(keys):
            w.writerow(["" if k is None else k, *(cell(v[i]) for v in cols.values())])


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=tables(), skipna=st.booleans(), grouped=st.booleans(),
       rows=st.integers(1, 7), block=st.integers(1, 64))
def test_every_source_gives_the_reference_bits(tmp_path, table, skipna, grouped, rows, block):
    keys, cols = table
    by = "k" if grouped else None
    want = describe(as_pandas(keys, cols), columns=["x", "y"], by=by, skipna=skipna)
    assert_reference(want, keys, cols, skipna)
    assert describe(as_arrow(keys, cols, rows), columns=["x", "y"], by=by,
                    skipna=skipna) == want
    if skipna or not any(v is None for c in cols.values() for v in c):
        arrays = {"k": np.array(keys, object), **{c: floats(v)[0] for c, v in cols.items()}}
        assert describe(arrays, columns=["x", "y"], by=by, skipna=skipna) == want
    # In CSV the NaN cells are missing unless NaN is a value (skipna=False).
    path = tmp_path / "t.csv"
    write_csv(path, keys, cols)
    na = {} if skipna else {"na_values": [""]}
    assert describe(path, columns=["x", "y"], by=by, skipna=skipna, block_size=block,
                    **na) == want
    # Columns found by reading: those with a cell holding a number, whatever the range size.
    numbers = [c for c, v in cols.items()
               if any(x is not None and not (skipna and math.isnan(x)) for x in v)]
    if numbers:
        expect = describe(as_pandas(keys, cols), columns=numbers, by=by, skipna=skipna)
        assert describe(path, by=by, skipna=skipna, block_size=block, **na) == expect
    else:
        with pytest.raises(InputError, match="no numeric columns"):
            describe(path, by=by, skipna=skipna, block_size=block, **na)


@settings(max_examples=40, deadline=None)
@given(table=tables())
def test_pandas_groupby_agrees(table):
    keys, cols = table
    df = pd.DataFrame({"k": pd.Series(keys, dtype=object),
                       **{c: floats(v)[0] for c, v in cols.items()}})
    s = describe(df, by="k")
    groups = df.groupby("k", dropna=False, sort=False)
    for name in cols:
        agg = groups[name].agg(["count", "sum", "mean", "min", "max"])
        agg["var"] = groups[name].var(ddof=0)
        stats = s.stats(name)
        for key, row in agg.iterrows():
            mine = {k: v[s.keys.index(norm(key))] for k, v in stats.items()}
            assert mine["count"] == row["count"]
            # The accumulators keep finite extremes: only +inf leaves min at DBL_MAX.
            top = np.finfo(np.float64).max
            np.testing.assert_array_equal([mine["min"], mine["max"]], [
                min(row["min"], top), max(row["max"], -top)])
            vals = df[name][[norm(k) == norm(key) for k in keys]].dropna()
            if not len(vals) or not (np.abs(vals) < 1e150).all():
                continue  # pandas sums with compensation, which differs near overflow
            scale = max(1.0, float(np.abs(vals).max()))
            for stat, tol in (("sum", 1e-9 * scale), ("mean", 1e-9 * scale),
                              ("var", 1e-12 * scale * scale)):
                np.testing.assert_allclose(mine[stat], row[stat], rtol=1e-9, atol=tol)


@pytest.mark.parametrize("block", [None, 300_000])
@pytest.mark.parametrize("null_keys", [False, True])
def test_large_csv(tmp_path, block, null_keys):
    """Past the parser's own chunking (and in several ranges): dictionary-encoded keys merge
    in order of first appearance, keys with line breaks stay whole, integer columns keep
    "-0"."""
    rng = np.random.default_rng(8)
    n = 160_000
    names = np.array([f"k{i}" for i in range(40)] + ['"new\nline"', '"late, one"'])
    ids = rng.integers(0, 20, n)
    ids[n // 2:] = rng.integers(0, len(names), n - n // 2)  # some keys appear late only
    if null_keys:
        ids[rng.integers(0, n, 50)] = -1
    x = np.round(rng.standard_normal(n) * 100, 3)
    y = rng.integers(-3, 4, n).astype(str)
    y[rng.integers(0, n, 500)] = "-0"
    key_text = np.where(ids < 0, "", names[np.maximum(ids, 0)])
    path = tmp_path / "big.csv"
    with open(path, "w") as f:
        f.write("k,x,y\n")
        f.write("".join(f"{k},{v!r},{w}\n" for k, v, w in zip(key_text.tolist(), x.tolist(),
                                                               y.tolist())))
    assert path.stat().st_size > 2 << 20  # past the parser's 1 MiB chunks
    s = describe(path, by="k", **({} if block is None else {"block_size": block}))
    keys = [None if k == "" else k.strip('"') for k in key_text.tolist()]
    order = list(dict.fromkeys(keys))
    assert s.keys == order
    yf = y.astype(np.float64)
    karr = np.array(keys, object)
    for name, vals in (("x", x), ("y", yf)):
        for i, g in enumerate(order):
            acc = CyStreamStats()
            acc.add_values(vals[karr == g] if g is not None else vals[ids < 0])
            assert s.records[name][i].tobytes() == state.to_records(acc).tobytes(), (name, g)


# ---------------------------------------------------------------- keys

V = np.arange(6.0)
KEY_CASES = {
    "str": pd.Series(["b", "a", None, "b", "", "a"], dtype=object),
    "int": pd.Series([3, 1, 3, 2, 1, 1]),
    "float": pd.Series([math.nan, -0.0, 0.0, 1.5, math.nan, 0.0]),
    "date": pd.Series([datetime.date(2020, 1, 2), datetime.date(2020, 1, 1), None,
                       datetime.date(2020, 1, 2), datetime.date(2020, 1, 1), None]),
    "datetime64": pd.Series(pd.to_datetime(["2021-05-01", None, "2020-01-01", "2021-05-01",
                                            None, "2020-01-01"])),
    "bytes": pd.Series([b"\xff", b"\\xff", b"\xff", None, b"", b""], dtype=object),
    "categorical": pd.Series(pd.Categorical(["z", "a", None, "z", "m", "a"],  # q unused
                                            categories=["a", "m", "q", "z"])),
    "categorical, no null": pd.Series(pd.Categorical(["z", "a", "m", "z", "m", "a"],
                                                     categories=["a", "m", "q", "z"])),
    "Int64": pd.Series(pd.array([1, None, 2, 1, None, 3], "Int64")),
    "Float64": pd.Series(pd.array([1.0, None, -0.0, 0.0, None, 3.0], "Float64")),
    "string[pyarrow]": pd.Series(pd.array(["x", None, "y", "x", None, "y"],
                                          "string[pyarrow]")),
}
CONTAINERS = {
    "pandas": lambda df: df,
    "arrow": lambda df: pa.Table.from_batches(
        pa.Table.from_pandas(df, preserve_index=False).to_batches(max_chunksize=2)),
    "dict": lambda df: {c: df[c].to_numpy() for c in df.columns},
}


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("case", KEY_CASES)
def test_key_types(case, container):
    """Groups in order of first appearance (not category or sort order); missing keys of
    every kind form one group, None; 0.0 and -0.0 are one key."""
    k = KEY_CASES[case]
    s = describe(CONTAINERS[container](pd.DataFrame({"k": k, "v": V})), by="k")
    assert_reference(s, list(k.astype(object)), {"v": V.tolist()})


def test_several_key_columns():
    k = ["a", "a", None, "b", None, "a"]
    j = [1.0, math.nan, math.nan, -0.0, None, 0.0]
    df = pd.DataFrame({"k": pd.Series(k, dtype=object), "j": j, "v": V})
    s = describe(df, by=["k", "j"])
    assert_reference(s, list(zip(k, j)), {"v": V.tolist()})
    assert s.keys == [("a", 1.0), ("a", None), (None, None), ("b", 0.0), ("a", 0.0)]
    assert describe(pa.Table.from_pandas(df), by=["k", "j"]) == s
    assert describe({"k": np.array(k, object), "j": np.array(j), "v": V}, by=["k", "j"]) == s


@pytest.mark.parametrize("by", [["a", "b", "c"], ["c", "a"], ["b", "a"], ["c", "b", "a"]])
def test_key_columns_in_any_order(tmp_path, by):
    # Group columns named out of header order: each key part keeps its column.
    cols = {"a": ["p", "p", "q", "p"], "b": ["x", "y", "x", ""], "c": ["1", "1", "2", "3"]}
    v = [1.0, 2.0, 4.0, 8.0]
    path = tmp_path / "k.csv"
    path.write_text("a,v,b,c\n" + "".join(f"{a},{x},{b},{c}\n" for a, b, c, x in
                                          zip(*cols.values(), v)))
    s = describe(str(path), by=by, columns=["v"])
    want = [tuple(r) for r in zip(*(cols[k] for k in by))]
    keys = list(dict.fromkeys(tuple(None if x == "" else x for x in r) for r in want))
    assert s.keys == keys
    keyed = {k: np.array([x or None for x in cols[k]], object) for k in by}
    assert s == describe({**keyed, "v": np.array(v)}, by=by)
    path.write_bytes(path.read_bytes().replace(b"q", b"\xff"))
    with pytest.raises(InputError, match="line 4, column 'a': not UTF-8"):
        describe(str(path), by=by, columns=["v"])


def test_byte_keys_keep_their_identity(tmp_path):
    rec = np.zeros(5, dtype=[("k", "S4"), ("v", "f8")])
    rec["k"], rec["v"] = [b"\xff", b"\\xff", b"\xff", b"", b"\\xff"], np.arange(5.0)
    np.save(tmp_path / "k.npy", rec)
    s = describe(tmp_path / "k.npy", by="k", block_size=16)
    assert s.keys == [b"\xff", b"\\xff", b""]
    assert s == describe({"k": np.array(rec["k"].tolist(), object), "v": rec["v"]}, by="k")


def test_nan_keys_in_a_file_of_many_blocks(tmp_path):
    rec = np.zeros(600, dtype=[("k", "f8"), ("v", "f8")])
    rec["k"] = np.tile([math.nan, 1.0, -0.0, 0.0, math.nan, 2.5], 100)
    rec["v"] = np.arange(600.0)
    np.save(tmp_path / "k.npy", rec)
    s = describe(tmp_path / "k.npy", by="k", block_size=64)
    assert_reference(s, rec["k"].tolist(), {"v": rec["v"].tolist()})
    assert s.keys == [None, 1.0, 0.0, 2.5]


def test_polars():
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"k": ["b", None, "a", "b", None], "v": [1.0, None, math.nan, 2.0, 4.0]})
    vals = [1.0, None, math.nan, 2.0, 4.0]  # polars' null is missing, its NaN a value
    for skipna in (True, False):
        s = describe(df, by="k", skipna=skipna)
        assert_reference(s, ["b", None, "a", "b", None], {"v": vals}, skipna)


# ---------------------------------------------------------------- values


@pytest.mark.parametrize("make", [
    lambda a: {"v": a},
    lambda a: pa.table({"v": a}),
    lambda a: pd.DataFrame({"v": a}, copy=False),
], ids=["dict", "arrow", "pandas"])
def test_float64_columns_are_not_copied(make):
    # np.frombuffer over bytes: a read-only array, which must be taken as it is.
    a = np.frombuffer(np.random.default_rng(1).standard_normal(1 << 20).tobytes())
    assert not a.flags.writeable
    data = make(a)
    tracemalloc.start()
    try:
        s = describe(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < a.nbytes // 8, peak
    assert s.records["v"].tobytes() == state.summarise(a, skipna=True).tobytes()


@pytest.mark.parametrize("data, want", [
    ({"v": np.array([2**53 + 1, -3], np.int64)}, [float(np.float64(2**53 + 1)), -3.0]),
    ({"v": np.array([2**64 - 1], np.uint64)}, [float(np.float64(2**64 - 1))]),
    ({"v": np.array([1.5, 2.25], np.float32)}, [1.5, 2.25]),
    ({"v": np.array([1.5, 2.25], ">f8")}, [1.5, 2.25]),
    (pd.DataFrame({"v": pd.array([7, None, 2**60 + 1], "Int64")}), [7.0, None, 2.0**60]),
    (pa.table({"v": pa.array([1, None, 3], pa.int8())}), [1.0, None, 3.0]),
    (pa.table({"v": pa.array([1, 2], pa.decimal128(5, 2))}), [1.0, 2.0]),
], ids=["int64", "uint64", "float32", "big-endian", "Int64", "arrow int8", "decimal"])
def test_numeric_types_are_float64(data, want):
    assert_reference(describe(data), [0] * len(want), {"v": want})


@pytest.mark.parametrize("skipna", [True, False])
def test_all_nan_column(skipna):
    data = {"k": np.array(["a", "a", "b"]), "v": np.array([math.nan, math.nan, 1.0])}
    s = describe(data, by="k", skipna=skipna)
    a = s.to_dict()["a"]["v"]
    if skipna:
        assert a["count"] == 0 and a["min"] is None and a["max"] is None
    else:
        # Values that were all NaN: the extremes read NaN, never the initial +-1.797e308.
        assert a["count"] == 2 and math.isnan(a["min"]) and math.isnan(a["max"])
        frame = s.to_pandas()
        assert frame.loc[("a", "v"), ["min", "max"]].isna().all()
        assert frame.loc[("b", "v"), "max"] == 1.0


# ---------------------------------------------------------------- Summary


@pytest.fixture(scope="module")
def parts():
    rng = np.random.default_rng(4)
    df = pd.DataFrame({"k": rng.choice(["x", "y", "z", "w"], 200),
                       "a": rng.standard_normal(200), "b": rng.integers(0, 9, 200)})
    return describe(df[:120], by="k"), describe(df[120:], by="k"), df


def test_frames(parts):
    s, _, df = parts
    frame = s.to_pandas()
    assert list(frame.columns) == STATS
    assert frame.index.names == ["k", "column"]
    assert list(frame.index) == [(k, c) for k in s.keys for c in ("a", "b")]
    assert frame.loc[(s.keys[0], "b"), "count"] == (df[:120]["k"] == s.keys[0]).sum()
    table = s.to_arrow()
    assert table.column_names == ["k", "column", *STATS]
    assert table.to_pandas().set_index(["k", "column"]).equals(frame)
    d = s.to_dict()
    assert list(d) == s.keys and list(d[s.keys[0]]) == ["a", "b"]
    assert d[s.keys[1]]["a"]["mean"] == frame.loc[(s.keys[1], "a"), "mean"]
    flat = describe(df)
    assert flat.to_pandas().index.name == "column"
    assert list(flat.to_pandas().index) == ["a", "b"]
    assert list(flat.to_dict()) == ["a", "b"]
    assert flat.to_arrow().column_names == ["column", *STATS]


def test_merge(parts):
    a, b, df = parts
    m = a.merge(b)
    assert m.keys == list(dict.fromkeys(a.keys + b.keys))
    for c in ("a", "b"):
        for i, k in enumerate(m.keys):
            want = state.empty_records()
            for part in (a, b):
                if k in part.keys:
                    state.merge_records(want, part.records[c][part.keys.index(k)])
            assert m.records[c][i].tobytes() == want.tobytes()
    assert a == describe(df[:120], by="k")  # merge returns a new Summary
    assert m.to_dict()[m.keys[0]]["b"]["count"] == (df["k"] == m.keys[0]).sum()
    whole = describe(df[:120]).merge(describe(df[120:]))
    assert whole.to_dict()["a"]["count"] == 200


@pytest.mark.parametrize("other, error", [
    (lambda df: describe(df, by="k", columns="a"), ValueError),
    (lambda df: describe(df), ValueError),
    (lambda df: {}, TypeError),
])
def test_merge_refuses(parts, other, error):
    with pytest.raises(error):
        parts[0].merge(other(parts[2]))


def test_pickle_and_equality(parts):
    s = parts[0]
    assert pickle.loads(pickle.dumps(s)) == s
    assert s != parts[1]
    # Equality is of record bits: -0.0 and 0.0 are different sums. A NaN's sign is not
    # part of the result: the grouped and single-stream loops make NaNs of either sign.
    assert describe({"v": np.array([-0.0])}) != describe({"v": np.array([0.0])})
    a = describe({"v": np.array([math.inf, 1.0])}, skipna=False)
    b = pickle.loads(pickle.dumps(a))
    b.records["v"]["m2"] = -b.records["v"]["m2"]
    assert a == b


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize("data, kwargs, error, match", [
    ({"a": np.ones(2)}, {"columns": "z"}, InputError, "no column named 'z'"),
    ({"a": np.ones(2)}, {"by": "z"}, InputError, "no column named 'z' to group by"),
    ({"a": np.ones(2), "s": np.array(["x", "y"])}, {"columns": "s"}, InputError,
     "column 's': not numeric"),
    ({"s": np.array(["x", "y"])}, {}, InputError, "no numeric columns"),
    ({"a": np.ones(2)}, {"columns": "a", "by": "a"}, InputError, "group-by column"),
    ({"a": np.ones(2), "b": np.ones(3)}, {}, InputError, "length 3 differs"),
    ({"a": np.ones((2, 2))}, {}, InputError, "one-dimensional"),
    (pd.DataFrame([[1, 2, 3]], columns=["a", "b", "a"]), {}, InputError,
     "duplicate column names: 'a'"),
    ({"a": np.ones(2)}, {"block_size": 0}, ValueError, "block_size"),
    ({"a": np.ones(2)}, {"columns": [[1]]}, TypeError, "columns"),
    (42, {}, TypeError, "not int"),
    ([1.0, 2.0], {}, TypeError, "not list"),
])
def test_errors(data, kwargs, error, match):
    with pytest.raises(error, match=match):
        describe(data, **kwargs)
    assert issubclass(InputError, ValueError)


def test_threads_share_sources(tmp_path):
    rng = np.random.default_rng(6)
    df = pd.DataFrame({"k": rng.integers(0, 30, 20_000), "v": rng.standard_normal(20_000)})
    df.to_csv(tmp_path / "t.csv", index=False)
    want = [describe(df, by="k"), describe(tmp_path / "t.csv", by="k", block_size=4096)]
    n = 4
    barrier = threading.Barrier(n)
    got = [None] * n

    def body(i):
        barrier.wait()
        got[i] = [describe(df, by="k"), describe(tmp_path / "t.csv", by="k", block_size=4096)]

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g == want for g in got)


def test_bare_carriage_returns_and_unbalanced_quotes(tmp_path, monkeypatch):
    from vornel.table import csvfile

    cr = tmp_path / "cr.csv"
    cr.write_bytes(b"k,v\r" + b"".join(b"a,%d\r" % i for i in range(500)))
    s = describe(str(cr), by="k", block_size=64)
    assert s.to_dict()["a"]["v"]["count"] == 500
    # A quote that never closes must not make the reader keep the whole input.
    monkeypatch.setattr(csvfile, "MAX_RECORD_BYTES", 4096)
    bad = tmp_path / "quote.csv"
    bad.write_bytes(b"k,v\n" + b'a,"1\n' + b"a,2\n" * 5000)
    with pytest.raises(InputError, match="unbalanced quote"):
        describe(str(bad), block_size=256)


@pytest.mark.parametrize("source", ["dict", "csv", "csv.gz"])
def test_thread_count_changes_no_bit(tmp_path, source):
    # Enough values that the columns fold on helper threads (PARALLEL_VALUES).
    rng = np.random.default_rng(3)
    n = 400_000
    keys = rng.integers(0, 5000, n)
    cols = {c: rng.normal(0, 1e3, n) for c in "abc"}
    cols["a"][::7] = np.nan
    if source == "dict":
        data = {"k": keys.astype(str).astype(object), **cols}
    else:
        import gzip
        rows = zip(keys.tolist(), *(cols[c].tolist() for c in "abc"))
        text = "k,a,b,c\n" + "".join(f"{k},{a!r},{b!r},{c!r}\n" for k, a, b, c in rows)
        path = tmp_path / f"f.{source}"
        path.write_bytes(gzip.compress(text.encode(), 1) if source.endswith("gz")
                         else text.encode())
        data = str(path)
    runs = [describe(data, by="k", threads=t, block_size=1 << 20) for t in (1, 2, 3)]
    assert runs[0] == runs[1] == runs[2]
    assert runs[0].keys[:3] == [str(k) for k in keys[:3]]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("bad,ragged,want", [
    (90_000, None, "line 90002, column 'k': not UTF-8 text"),
    (90_000, 90_003, "line 90002, column 'k': not UTF-8 text"),  # the key's fault comes first
    (90_003, 90_000, "line 90002: expected 2 fields, got 3"),
    (None, None, None),
])
def test_many_keys_faults_in_record_order(tmp_path, bad, ragged, want, threads):
    # Past some 30,000 keys met once each, key lookups run a few records behind the scan:
    # a fault must still be the first in the file.
    n = 120_000
    lines = [b"k,x\n"]
    for i in range(n):
        lines.append(b"\xff,1\n" if i == bad else f"k{i},1,2\n".encode() if i == ragged
                     else f"k{i},{i}\n".encode())
    path = tmp_path / "keys.csv"
    path.write_bytes(b"".join(lines))
    if want is None:
        s = describe(str(path), by="k", threads=threads, block_size=1 << 20)
        assert s.keys == [f"k{i}" for i in range(n)]
        assert s.records["x"]["sum"].tolist() == list(map(float, range(n)))
        return
    with pytest.raises(InputError, match=want):
        describe(str(path), by="k", threads=threads, block_size=1 << 20)
