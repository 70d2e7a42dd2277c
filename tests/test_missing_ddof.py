"""Missing counts (rows less count, per column and group) and variance with divisor
count - ddof, through describe, Summary, its outputs and the command line."""

import contextlib
import io
import json
import math
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")

from vornel import cli, describe  # noqa: E402
from vornel.table.summary import STATS, Summary  # noqa: E402

NAN = math.nan


def norm(key):
    """A key as describe reports it: every missing marker is None."""
    if isinstance(key, tuple):
        return tuple(norm(k) for k in key)
    return None if key is None or (isinstance(key, float) and math.isnan(key)) else key


def held_none(v, skipna):
    return v is None or (skipna and math.isnan(v))


def plain_missing(rows, vals, order, skipna):
    """Per group in order, the cells that held no value, counted one by one."""
    return [sum(1 for r, v in zip(rows, vals) if r == g and held_none(v, skipna))
            for g in order]


# ---------------------------------------------------------------- against references

CELL = st.one_of(st.none(), st.just(NAN), st.floats(-1e6, 1e6),
                 st.integers(-50, 50).map(float))


@st.composite
def frames(draw):
    n = draw(st.integers(0, 40))
    keys = draw(st.lists(st.sampled_from(["a", "b", "c", None]), min_size=n, max_size=n))
    second = draw(st.lists(st.sampled_from([1, 2]), min_size=n, max_size=n))
    cols = {c: draw(st.lists(CELL, min_size=n, max_size=n)) for c in ("x", "y")}
    return keys, second, cols


def pandas_spread(keys, second, cols, by, ddof):
    """pandas' groupby var and std with this ddof (NaN skipped), by normalised key."""
    df = pd.DataFrame({"k": pd.Series(keys, dtype=object), "j": second,
                       **{c: [NAN if v is None else v for v in vals]
                          for c, vals in cols.items()}})
    groups = df.groupby(by, dropna=False, sort=False)
    out = {}
    for c in cols:
        var, std = groups[c].var(ddof=ddof), groups[c].std(ddof=ddof)
        out[c] = {norm(k): (v, s) for (k, v), s in zip(var.items(), std.tolist())}
    return out


@settings(max_examples=80, deadline=None)
@given(frame=frames(), two_keys=st.booleans(), skipna=st.booleans(), ddof=st.integers(0, 3))
def test_missing_and_ddof_agree_with_plain_python_and_pandas(frame, two_keys, skipna, ddof):
    keys, second, cols = frame
    # Arrow keeps nulls and NaN apart, so skipna=False has something to tell between them.
    table = pa.table({"k": pa.array(keys, pa.string()), "j": pa.array(second, pa.int64()),
                      **{c: pa.array(v, pa.float64()) for c, v in cols.items()}})
    by = ["k", "j"] if two_keys else ["k"]
    s = describe(table, by=by if two_keys else "k", columns=["x", "y"], skipna=skipna)
    rows = list(zip(keys, second)) if two_keys else keys
    order = list(dict.fromkeys(rows))
    assert s.keys == order
    theirs = pandas_spread(keys, second, cols, by, ddof)
    for c, vals in cols.items():
        want = plain_missing(rows, vals, order, skipna)
        assert s.missing[c].dtype == np.int64 and s.missing[c].tolist() == want
        got = s.stats(c, ddof=ddof)
        assert got["missing"].tolist() == want
        for i, g in enumerate(order):
            values = [v for r, v in zip(rows, vals) if r == g and not held_none(v, skipna)]
            if len(values) <= ddof or any(math.isnan(v) for v in values):
                assert math.isnan(got["var"][i]) and math.isnan(got["std"][i])
                continue
            var, std = theirs[c][norm(g)]
            scale = max(1.0, max(abs(v) for v in values))
            np.testing.assert_allclose(got["var"][i], var, rtol=1e-9, atol=1e-9 * scale**2)
            np.testing.assert_allclose(got["std"][i], std, rtol=1e-9, atol=1e-4 * scale)


# ---------------------------------------------------------------- blocks and group slots


def write_csv(path, keys, seconds, cells):
    path.write_text("k,j,v\n" + "".join(f"{k},{j},{c}\n" for k, j, c in
                                        zip(keys, seconds, cells)))


@pytest.mark.parametrize("block", [48, 700, 1 << 20])
@pytest.mark.parametrize("by", [["k"], ["k", "j"]])
@pytest.mark.parametrize("skipna", [True, False])
@pytest.mark.parametrize("groups", ["many", "few"])
def test_missing_over_blocks_and_new_groups(tmp_path, block, by, skipna, groups):
    """Small blocks bring only new keys at first (the fresh-codes path), then old ones; the
    groups outgrow the first slots; empty key cells form the missing key. With few groups
    (and blocks of many rows) a column's total count tells whether a block missed any."""
    rng = np.random.default_rng(17)
    n = 2400
    ids = (np.concatenate([np.arange(n // 2) // 3, rng.integers(0, n // 6, n - n // 2)])
           if groups == "many" else rng.integers(0, 4, n))
    keys = [("" if i % 97 == 5 else f"g{i}") for i in ids.tolist()]
    seconds = (ids % 2).tolist()
    cells = rng.choice(["1.5", "", "NaN", "NA", "-2", "7e3"], n).tolist()
    if groups == "few":  # whole stretches without a missing cell
        cells[: n // 2] = ["2.5"] * (n // 2)
    write_csv(tmp_path / "m.csv", keys, seconds, cells)
    s = describe(tmp_path / "m.csv", by=by, skipna=skipna, na_values=["", "NA"],
                 block_size=block)
    rows = [(k or None, str(j)) if len(by) == 2 else (k or None) for k, j in zip(keys, seconds)]
    order = list(dict.fromkeys(rows))
    assert s.keys == order
    vals = [None if c in ("", "NA") else float(c) for c in cells]
    assert s.missing["v"].tolist() == plain_missing(rows, vals, order, skipna)
    assert int(s.row_counts.sum()) == n


@pytest.mark.parametrize("data, skipna, want", [
    ({"v": np.array([1.0, NAN, 2.0])}, True, 1),
    ({"v": np.array([1.0, NAN, 2.0])}, False, 0),
    ({"v": pa.array([1.0, None, NAN, None])}, False, 2),
    ({"v": pa.array([1.0, None, NAN, None])}, True, 3),
    (pd.DataFrame({"v": pd.array([1, None, 3], dtype="Int64")}), True, 1),
    ({"v": np.array([], np.float64)}, True, 0),
])
def test_ungrouped_missing_is_a_0d_int64_array(data, skipna, want):
    s = describe(data, skipna=skipna)
    m = s.missing["v"]
    assert isinstance(m, np.ndarray) and m.shape == () and m.dtype == np.int64
    assert m.item() == want
    assert s.to_dict()["v"]["missing"] == want


# ---------------------------------------------------------------- Summary


@pytest.fixture(scope="module")
def halves():
    df = pd.DataFrame({"k": ["a", "b", "a", "c", "b", "a", "d", "a"],
                       "v": [1.0, None, 4.0, None, 2.0, None, 5.0, 9.0],
                       "w": [None] * 8})
    df["w"] = df["w"].astype(float)
    return describe(df[:4], by="k"), describe(df[4:], by="k"), df


def test_merge_pickle_and_equality_carry_row_counts(halves):
    a, b, df = halves
    m = a.merge(b)
    whole = describe(df, by="k")
    assert m.keys == whole.keys
    assert m.row_counts.tolist() == [4, 2, 1, 1]
    assert {c: v.tolist() for c, v in m.missing.items()} == {
        c: v.tolist() for c, v in whole.missing.items()}
    flat = describe(df[:4]).merge(describe(df[4:]))
    assert flat.missing["w"].shape == () and flat.missing["w"].item() == 8
    back = pickle.loads(pickle.dumps(m))
    assert back == m and back.row_counts.tolist() == m.row_counts.tolist()
    # Equal records, different rows: the missing counts differ, so the summaries do.
    assert describe({"v": np.array([1.0, NAN])}) != describe({"v": np.array([1.0])})


def test_outputs_carry_missing_after_count(halves):
    s = describe(halves[2], by="k")
    assert list(s.to_pandas().columns) == list(STATS)
    assert s.to_arrow().column_names == ["k", "column", *STATS]
    assert s.to_arrow().schema.field("missing").type == pa.int64()
    d = s.to_dict(ddof=1)
    # An empty group still reports its missing cells; one value has no sample variance.
    assert d["b"]["w"] == {"count": 0, "missing": 2, "sum": 0.0, "mean": None, "min": None,
                           "max": None, "var": None, "std": None}
    assert d["b"]["v"]["missing"] == 1 and math.isnan(d["b"]["v"]["var"])
    assert d["a"]["v"]["var"] == pytest.approx(np.var([1.0, 4.0, 9.0], ddof=1))
    frame = s.to_pandas(ddof=1)
    assert frame.loc[("a", "v"), "std"] == pytest.approx(np.std([1.0, 4.0, 9.0], ddof=1))
    empty = Summary([], ["k"], [], {}, np.zeros(0, np.int64))
    assert list(empty.to_pandas().columns) == list(STATS)


@pytest.mark.parametrize("method", ["to_pandas", "to_arrow", "to_dict", "stats"])
@pytest.mark.parametrize("ddof, error, words", [
    (-1, ValueError, "ddof must be 0 or more, got -1"),
    (True, TypeError, "ddof must be an int, not bool"),
    (1.0, TypeError, "not float"),
    ("1", TypeError, "not str"),
    (None, TypeError, "not NoneType"),
])
def test_bad_ddof_is_refused(halves, method, ddof, error, words):
    s = halves[0]
    call = (lambda: s.stats("v", ddof)) if method == "stats" else (
        lambda: getattr(s, method)(ddof=ddof))
    with pytest.raises(error, match=words):
        call()
    # A summary of no columns never reaches finalise, and refuses it all the same.
    if method != "stats":
        with pytest.raises(error, match=words):
            getattr(Summary([], None, [], {}, np.zeros((), np.int64)), method)(ddof=ddof)


# ---------------------------------------------------------------- command line


def cli_run(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        rc = cli.main([str(a) for a in args])
    return rc, out.getvalue(), err.getvalue()


@pytest.fixture
def small_csv(tmp_path):
    path = tmp_path / "s.csv"
    path.write_text("k,v\na,1\na,\nb,4\na,3\nb,NaN\nc,\na,8\n")
    return path


@pytest.mark.parametrize("fmt", ["csv", "json", "table"])
@pytest.mark.parametrize("ddof", [0, 1, 2])
def test_cli_prints_missing_and_takes_ddof(small_csv, fmt, ddof):
    rc, out, err = cli_run("describe", small_csv, "-g", "k", "-f", fmt, "--ddof", ddof)
    assert (rc, err) == (0, "")
    if fmt == "json":
        rows = [[r["k"], r["count"], r["missing"], r["var"]] for r in json.loads(out)]
    else:
        lines = [line.split("," if fmt == "csv" else None) for line in out.splitlines()]
        assert lines[0] == ["k", "column", *STATS]
        rows = [[r[0], int(r[2]), int(r[3]), r[8]] for r in lines[1:]]
    got = {k: (count, missing, var) for k, count, missing, var in rows}
    want_a = np.var([1.0, 3.0, 8.0], ddof=ddof)
    assert {k: v[:2] for k, v in got.items()} == {"a": (3, 1), "b": (1, 1), "c": (0, 1)}
    assert float(got["a"][2]) == pytest.approx(want_a)
    # b holds one value: no variance when ddof is 1 or more; c none at all.
    assert (str(got["b"][2]) == "nan") == (ddof >= 1)
    assert got["c"][2] in ("", None, "-")


@pytest.mark.parametrize("value, words", [
    ("-1", "--ddof must be 0 or more, got -1"),
    ("x", "argument --ddof: invalid int value: 'x'"),
    ("1.5", "argument --ddof: invalid int value: '1.5'"),
])
def test_cli_refuses_bad_ddof(small_csv, value, words):
    rc, out, err = cli_run("describe", small_csv, "--ddof", value)
    assert (rc, out) == (2, "") and err.startswith(f"vornel: error: {words}"), err
