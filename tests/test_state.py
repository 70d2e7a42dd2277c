"""vornel.state: records in and out of accumulators, the loops over records, the stored form,
and counts that refuse to wrap."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from reference import DBL_MAX, Record, assert_same_result, of
from vornel import CyGroupedStreamStats, CyStreamStats, state
from vornel.state import RECORD_DTYPE

NAN, INF = float("nan"), float("inf")
LIMIT = 2**63 - 1
OVERFLOW = "count would exceed 2\\*\\*63 - 1"

# Values that stress the record: NaN, infinities, signed zeros, huge and tiny magnitudes.
values_st = st.lists(st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, DBL_MAX, -DBL_MAX, 5e-324])), max_size=40)


def same_records(a, b):
    """Bit equality of records arrays, except that any NaN equals any NaN (the sign of a NaN
    that an addition passes on is the compiler's choice)."""
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype == RECORD_DTYPE
    assert np.array_equal(a["count"], b["count"])
    for f in ("sum", "mean", "m2", "min", "max"):
        x, y = a[f], b[f]
        both_nan = np.isnan(x) & np.isnan(y)
        bits = x.view(np.int64) == y.view(np.int64)
        assert np.all(both_nan | bits), f


def record_of(r: Record):
    return np.array((r.count, r.sum, r.mean, r.m2, r.min, r.max), RECORD_DTYPE)


def grouped_acc(n, ids, vals):
    g = CyGroupedStreamStats(n)
    g.add(np.asarray(ids, np.int64), np.asarray(vals, np.float64))
    return g


def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def planted(count, n_groups=None):
    """An accumulator whose record(s) hold count values (mean 1.0), by way of from_records."""
    rec = (count, float(count), 1.0, 0.0, 1.0, 1.0)
    if n_groups is None:
        return state.from_records(np.array(rec, RECORD_DTYPE))
    return state.from_records(np.array([rec] * n_groups, RECORD_DTYPE))


# ---------------------------------------------------------------------------------------
# Records in and out of accumulators


@settings(max_examples=150, deadline=None)
@given(values_st)
def test_stream_records_round_trip(values):
    s = CyStreamStats()
    s.add_values(values)
    recs = state.to_records(s)
    assert recs.shape == ()
    same_records(recs, record_of(of(values)))
    back = state.from_records(recs)
    assert type(back) is CyStreamStats
    same_records(state.to_records(back), recs)
    assert_same_result(back.result(), s.result())


@settings(max_examples=100, deadline=None)
@given(st.integers(1, 6).flatmap(lambda n: st.tuples(
    st.just(n), st.lists(st.tuples(st.integers(0, n - 1), values_st.map(lambda v: v[:1] or [0.0])),
                         max_size=30))))
def test_grouped_records_round_trip(case):
    n, pairs = case
    ids = [i for i, _ in pairs]
    vals = [v[0] for _, v in pairs]
    g = grouped_acc(n, ids, vals)
    recs = state.to_records(g)
    assert recs.shape == (n,)
    back = state.from_records(recs)
    assert type(back) is CyGroupedStreamStats
    same_records(state.to_records(back), recs)
    # finalise against result_arrays, empty groups included
    cols, want = state.finalise(recs), g.result_arrays()
    assert list(cols) == list(want)
    assert cols["count"].dtype == np.int64 and cols["sum"].dtype == np.float64
    # finalise differs there alone: values with infinities of one sign and no NaN have
    # that infinity as their mean, where the update step leaves NaN.
    want["mean"] = [s if s in (math.inf, -math.inf) and s in (lo, hi) else m for s, m, lo, hi
                    in zip(want["sum"], want["mean"], want["min"], want["max"])]
    for key, arr in cols.items():
        assert arr.shape == (n,)
        for got, exp in zip(arr.tolist(), want[key]):
            assert (got != got and exp != exp) or (got == exp and str(got) == str(exp)), key


def test_subclasses_and_wrong_objects():
    class Mine(CyGroupedStreamStats):
        pass

    m = Mine(2)
    m.add([1], [3.0])
    assert state.to_records(m)["count"].tolist() == [0, 1]
    for bad in (None, 3.0, np.zeros(3), "x"):
        with pytest.raises(TypeError, match="CyStreamStats or CyGroupedStreamStats"):
            state.to_records(bad)


def test_from_records_takes_any_byte_order_and_layout():
    g = grouped_acc(4, [0, 1, 3, 0], [1.0, 2.0, 4.0, 8.0])
    recs = state.to_records(g)
    swapped = recs.astype(RECORD_DTYPE.newbyteorder(">"))
    padded = np.zeros(4, np.dtype({"names": list(RECORD_DTYPE.names),
                                   "formats": ["<i8"] + ["<f8"] * 5,
                                   "offsets": [0, 8, 16, 24, 32, 40], "itemsize": 64}))
    for name in RECORD_DTYPE.names:
        padded[name] = recs[name]
    strided = np.repeat(recs, 2)[::2]
    as_list = recs.tolist()
    for form in (swapped, padded, strided, np.asarray(as_list, RECORD_DTYPE)):
        same_records(state.to_records(state.from_records(form)), recs)
    # A copy: changing the source afterwards changes nothing.
    acc = state.from_records(recs)
    recs["count"] = 9
    assert state.to_records(acc)["count"].tolist() == [2, 1, 0, 1]


def bad_record(**fields):
    r = state.empty_records(3)
    r[1] = (1, 1.0, 1.0, 0.0, 1.0, 1.0)
    for k, v in fields.items():
        r[2][k] = v
    return r


@pytest.mark.parametrize("records, message", [
    (np.zeros(3), "RECORD_DTYPE"),
    (np.zeros(3, [("count", "<i8"), ("sum", "<f8")]), "RECORD_DTYPE"),
    (np.zeros(3, [(n, "<f8") for n in RECORD_DTYPE.names]), "RECORD_DTYPE"),
    ([(1, 2.0, 2.0, 0.0, 2.0, 2.0)], "RECORD_DTYPE"),
    (state.empty_records((2, 2)), "0-d or 1-d"),
    (state.empty_records(0), "length 0"),
    (bad_record(count=-1), r"records\[2\]\.count is negative \(-1\)"),
    (bad_record(sum=-0.0), r"records\[2\]\.sum is not its initial value"),
    (bad_record(m2=1e-300), r"records\[2\]\.m2"),
    (bad_record(min=INF), r"records\[2\]\.min"),
    (bad_record(max=NAN), r"records\[2\]\.max"),
    (np.array((-5, 0, 0, 0, 0, 0), RECORD_DTYPE), r"^record\.count is negative"),
])
def test_from_records_refuses_what_adds_cannot_make(records, message):
    with pytest.raises(ValueError, match=message):
        state.from_records(records)


def test_from_records_refuses_more_groups_than_the_type_takes(monkeypatch):
    monkeypatch.setattr(state, "_MAX_GROUPS", 3)
    with pytest.raises(ValueError, match="cannot form a CyGroupedStreamStats"):
        state.from_records(state.empty_records(4))


# ---------------------------------------------------------------------------------------
# Records straight from buffers

DATA = np.random.default_rng(5).standard_normal(1000) * 3.0 + 1.0
DATA[[3, 500, 998]] = NAN
IDS = np.random.default_rng(6).integers(0, 7, 1000)


@pytest.mark.parametrize("view", [slice(None), slice(None, None, -1), slice(1, None, 3)])
@pytest.mark.parametrize("skipna", [False, True])
def test_summarise_is_add_values(view, skipna):
    vals = readonly(DATA)[view]
    s = CyStreamStats()
    s.add_values(np.array(vals[~np.isnan(vals)] if skipna else vals))
    same_records(state.summarise(vals, skipna=skipna), state.to_records(s))


@pytest.mark.parametrize("id_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("skipna", [False, True])
def test_summarise_grouped_is_add(id_dtype, skipna):
    ids, vals = readonly(IDS.astype(id_dtype))[::-1], readonly(DATA)[::-1]
    keep = ~np.isnan(vals) if skipna else np.ones(len(vals), bool)
    g = CyGroupedStreamStats(7)
    g.add(np.array(ids[keep]), np.array(vals[keep]))
    same_records(state.summarise_grouped(ids, vals, 7, skipna=skipna), state.to_records(g))


def test_into_carries_the_one_pass_on():
    blocks = np.array_split(DATA, 5)
    s, g = CyStreamStats(), CyGroupedStreamStats(7)
    rec, recs = state.empty_records(), state.empty_records(7)
    id_blocks = np.array_split(IDS, 5)
    for b, i in zip(blocks, id_blocks):
        s.add_values(b)
        g.add(i, b)
        assert state.summarise(readonly(b), into=rec) is rec
        assert state.summarise_grouped(readonly(i), readonly(b), 7, into=recs) is recs
    same_records(rec, state.to_records(s))
    same_records(recs, state.to_records(g))


@pytest.mark.parametrize("call, exc, message", [
    (lambda: state.summarise([1.0, 2.0]), TypeError, None),
    (lambda: state.summarise(None), TypeError, "buffer"),
    (lambda: state.summarise(np.zeros((2, 2))), ValueError, "wrong number of dimensions"),
    (lambda: state.summarise(np.zeros(2, np.float32)), ValueError, "expected 'double' but got 'float'"),
    (lambda: state.summarise_grouped([0], np.zeros(1), 2), TypeError, None),
    (lambda: state.summarise_grouped(np.zeros(1), np.zeros(1), 2), ValueError,
     "expected 'int64_t' but got 'double'"),
    (lambda: state.summarise_grouped(np.zeros(2, np.int64), np.zeros(3), 2), ValueError,
     "group_ids and values must have the same length"),
    (lambda: state.summarise_grouped(np.zeros(1, np.int64), np.zeros(1), 0), ValueError,
     "n_groups must be > 0"),
    (lambda: state.summarise_grouped(np.zeros(1, np.int64), np.zeros(1), "3"), TypeError,
     "an integer is required"),
    (lambda: state.summarise_grouped(np.zeros(1, np.int64), np.zeros(1), 2**31), OverflowError, None),
    (lambda: state.summarise(np.zeros(1), into=state.empty_records(1)), ValueError, "shape"),
    (lambda: state.summarise(np.zeros(1), into=readonly(state.empty_records())), ValueError,
     "writable"),
    (lambda: state.summarise_grouped(np.zeros(1, np.int64), np.zeros(1), 4,
                                     into=state.empty_records(8)[::2]), ValueError, "contiguous"),
    (lambda: state.summarise(np.zeros(1), into=np.zeros((), [("count", "<i8")])), ValueError,
     "dtype"),
    (lambda: state.summarise(np.zeros(1), into=[1]), TypeError, "NumPy array"),
])
def test_buffer_input_errors(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_grouped_range_error_keeps_what_came_before():
    into = state.empty_records(5)
    with pytest.raises(ValueError, match=r"group id 7 out of range \[0, 5\)"):
        state.summarise_grouped(np.array([0, 7, 1]), np.array([1.0, 2.0, 3.0]), 5, into=into)
    assert into["count"].tolist() == [1, 0, 0, 0, 0]
    # The id decides before the value: a skipped NaN at a bad id still fails.
    with pytest.raises(ValueError, match="group id -1"):
        state.summarise_grouped(np.array([-1]), np.array([NAN]), 5, skipna=True)
    # n_groups converts as the accumulator's constructor converts it.
    assert state.summarise_grouped(np.array([2]), np.array([1.0]), 3.9).shape == (3,)


# ---------------------------------------------------------------------------------------
# Merging and finalising


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 3), st.floats(width=64)), max_size=20),
       st.lists(st.tuples(st.integers(0, 3), st.floats(width=64)), max_size=20))
def test_merge_records_is_merge(left, right):
    a = grouped_acc(4, [i for i, _ in left], [v for _, v in left])
    b = grouped_acc(4, [i for i, _ in right], [v for _, v in right])
    ra, rb = state.to_records(a), state.to_records(b)
    a.merge(b)
    assert state.merge_records(ra, rb) is ra
    same_records(ra, state.to_records(a))
    a.merge(a)
    state.merge_records(ra, ra)
    same_records(ra, state.to_records(a))


def test_merge_records_shapes_and_overlap():
    recs = state.to_records(grouped_acc(6, range(6), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    want = recs[1:].copy()
    state.merge_records(want, recs[:-1].copy())
    state.merge_records(recs[1:], recs[:-1])  # shifted views of one array: merged as copies
    same_records(recs[1:], want)
    with pytest.raises(ValueError, match="shapes differ"):
        state.merge_records(state.empty_records(3), state.empty_records(2))
    with pytest.raises(ValueError, match="writable"):
        state.merge_records(readonly(state.empty_records(2)), state.empty_records(2))
    one = state.summarise(np.array([1.0, 2.0]))
    state.merge_records(one, state.summarise(np.array([4.0])))
    assert state.finalise(one)["var"].item() == 1.5555555555555556  # the merge's bits


def test_finalise_shapes_and_empty_positions():
    recs = state.empty_records((2, 3))
    recs[1, 2] = state.summarise(np.array([5.0]))
    cols = state.finalise(recs)
    assert all(c.shape == (2, 3) for c in cols.values())
    assert cols["count"].tolist() == [[0, 0, 0], [0, 0, 1]]
    assert np.isnan(cols["mean"][0]).all() and cols["std"][1, 2] == 0.0
    assert cols["sum"].tolist() == [[0.0] * 3, [0.0, 0.0, 5.0]]
    # Against an independent oracle: NumPy's own statistics of the same values.
    col = state.finalise(state.summarise(DATA, skipna=True))
    finite = DATA[~np.isnan(DATA)]
    assert col["count"] == finite.size and col["min"] == finite.min() and col["max"] == finite.max()
    assert np.isclose(col["mean"], finite.mean(), rtol=1e-13)
    assert np.isclose(col["var"], finite.var(), rtol=1e-12)


FINITE = DATA[~np.isnan(DATA)]
GROUPS = [[], [5.0], [1.0, 2.0], [1.0, 2.0, 4.0], [7.0] * 4, FINITE.tolist()]


@pytest.mark.parametrize("ddof", [0, 1, 2, 3, 999, 2**63, 2**70, np.int32(1)])
def test_finalise_ddof_against_numpy(ddof):
    """var and std with divisor count - ddof against NumPy's, NaN where count <= ddof; the
    other columns keep the default's bits, and so does all of ddof=0."""
    recs = np.stack([state.summarise(np.array(g, np.float64)) for g in GROUPS])
    cols, plain = state.finalise(recs, ddof), state.finalise(recs)
    for name in ("count", "sum", "mean", "min", "max"):
        assert cols[name].tobytes() == plain[name].tobytes()
    if ddof == 0:
        assert cols["var"].tobytes() == plain["var"].tobytes()
    full = recs["count"] > ddof  # then var is m2 / (count - ddof), as NumPy divides it
    if full.any():
        want = recs["m2"][full] / (recs["count"][full] - int(ddof))
        assert cols["var"][full].tobytes() == want.tobytes()
    for i, g in enumerate(GROUPS):
        if len(g) <= ddof:
            assert np.isnan(cols["var"][i]) and np.isnan(cols["std"][i])
            continue
        assert np.isclose(cols["var"][i], np.var(g, ddof=int(ddof)), rtol=1e-12, atol=0)
        assert np.isclose(cols["std"][i], np.std(g, ddof=int(ddof)), rtol=1e-12, atol=0)


@pytest.mark.parametrize("ddof, exc, message", [
    (-1, ValueError, "ddof must be 0 or more, got -1"),
    (-2**70, ValueError, "ddof must be 0 or more"),
    (True, TypeError, "ddof must be an int, not bool"),
    (np.True_, TypeError, "ddof must be an int, not numpy.bool"),
    (1.0, TypeError, "ddof must be an int, not float"),
    ("1", TypeError, "ddof must be an int, not str"),
    (None, TypeError, "ddof must be an int, not NoneType"),
])
def test_finalise_refuses_bad_ddof(ddof, exc, message):
    with pytest.raises(exc, match=message):
        state.finalise(state.summarise(np.ones(3)), ddof)


# ---------------------------------------------------------------------------------------
# The stored form


@pytest.mark.parametrize("make", [
    lambda: planted(3),
    lambda: grouped_acc(5, [0, 4, 4], [1.0, NAN, -0.0]),
    lambda: state.summarise(np.array([1.0, INF])),
    lambda: state.summarise_grouped(np.array([1]), np.array([2.0]), 3),
    lambda: state.empty_records(0),
    lambda: bad_record(count=-1),  # a records array keeps whatever it holds
])
def test_dumps_loads_round_trip(make):
    obj = make()
    blob = state.dumps(obj)
    for data in (blob, bytearray(blob), memoryview(blob)):
        back = state.loads(data)
        assert type(back) is type(obj)
        want = obj if isinstance(obj, np.ndarray) else state.to_records(obj)
        got = back if isinstance(back, np.ndarray) else state.to_records(back)
        assert got.tobytes() == want.tobytes()
        assert state.loads(data, records=True).tobytes() == want.tobytes()


def test_dumps_refuses_what_it_cannot_store():
    with pytest.raises(ValueError, match="0-d or 1-d"):
        state.dumps(state.empty_records((2, 2)))
    with pytest.raises(ValueError, match="RECORD_DTYPE"):
        state.dumps(np.zeros(3))


# ---------------------------------------------------------------------------------------
# Counts at the limit


def test_stream_counts_refuse_to_wrap():
    s = CyStreamStats()
    s.add_values([1.0])
    for _ in range(62):
        s.merge(s)
    before = state.to_records(s).tobytes()
    with pytest.raises(OverflowError, match=OVERFLOW):
        s.merge(s)
    assert state.to_records(s).tobytes() == before
    near = planted(LIMIT - 2)
    before = state.to_records(near).tobytes()
    for values in (np.ones(3), [1.0, 1.0, 1.0], iter([1.0, 1.0, 1.0])):
        with pytest.raises(OverflowError, match=OVERFLOW):
            near.add_values(values)
        if isinstance(values, np.ndarray):  # the buffer path checks before it adds
            assert state.to_records(near).tobytes() == before
        near = planted(LIMIT - 2)
    near.add_values(np.ones(2))
    assert near.result()["count"] == LIMIT
    with pytest.raises(OverflowError, match=OVERFLOW):
        state.summarise(np.ones(1), into=state.to_records(near))
    # Skipped NaN values do not count toward the limit.
    state.summarise(np.array([NAN, NAN]), into=state.to_records(near), skipna=True)


@pytest.mark.parametrize("path", ["buffer", "iterable", "records"])
def test_grouped_counts_refuse_to_wrap(path):
    g = planted(LIMIT, n_groups=3)
    g.merge(state.from_records(state.empty_records(3)))  # empty: fine
    recs = state.to_records(g)
    recs[0] = state.empty_records()
    g = state.from_records(recs)
    ids, vals = np.array([0, 0, 1, 0]), np.array([5.0, 6.0, 7.0, 8.0])
    with pytest.raises(OverflowError, match=OVERFLOW):
        if path == "buffer":
            g.add(ids, vals)
        elif path == "iterable":
            g.add(ids.tolist(), vals.tolist())
        else:
            state.summarise_grouped(ids, vals, 3, into=recs)
    got = recs if path == "records" else state.to_records(g)
    assert got["count"].tolist() == [2, LIMIT, LIMIT]  # values before the full group stay


def test_grouped_merges_stop_at_the_full_group():
    full = planted(LIMIT - 1, n_groups=3)
    one = grouped_acc(3, [0, 1, 2], [1.0, 1.0, 1.0])
    ones = state.to_records(one)
    head = state.to_records(full)
    head[0]["count"] = 5
    a = state.from_records(head)
    with pytest.raises(OverflowError, match=OVERFLOW):
        a.merge(grouped_acc(3, [0, 1, 1, 2], [1.0] * 4))
    assert state.to_records(a)["count"].tolist() == [6, LIMIT - 1, LIMIT - 1]
    with pytest.raises(OverflowError, match=OVERFLOW):
        state.merge_records(head, state.to_records(grouped_acc(3, [0, 1, 1], [1.0] * 3)))
    assert head["count"].tolist() == [6, LIMIT - 1, LIMIT - 1]
    state.merge_records(head, ones)  # exactly to the limit is fine
    assert head["count"].tolist() == [7, LIMIT, LIMIT]


def test_checkpoint_example_resumes_bit_for_bit(tmp_path):
    import os
    import subprocess
    import sys

    script = os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples", "checkpoint.py")
    path = str(tmp_path / "ck.bin")
    first = subprocess.run([sys.executable, script, path], capture_output=True, text=True)
    assert first.returncode == 0 and os.path.exists(path), first.stderr
    second = subprocess.run([sys.executable, script, path], capture_output=True, text=True)
    assert second.returncode == 0, second.stderr
    assert second.stdout.rstrip().endswith("one uninterrupted pass: True")
    assert not os.path.exists(path)


def test_unaligned_records_are_copied_or_refused():
    recs = state.to_records(grouped_acc(3, [0, 1, 2, 2], [1.0, 2.0, 3.0, 4.0]))
    raw = bytearray(recs.nbytes + 1)
    odd = np.frombuffer(raw, RECORD_DTYPE, 3, offset=1)  # NumPy calls this aligned
    odd[...] = recs
    same_records(state.to_records(state.from_records(odd)), recs)
    assert state.finalise(odd)["sum"].tolist() == [1.0, 2.0, 7.0]
    with pytest.raises(ValueError, match="8-byte aligned"):
        state.merge_records(odd, recs)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(values_st, st.sampled_from([1, -1, 2])), max_size=9),
       st.booleans())
def test_summarise_many_is_summarise_of_each(parts, skipna):
    # Interleaved chains of different lengths and strides: each record keeps its own bits.
    arrays = [readonly(np.array(v, np.float64))[::step] for v, step in parts]
    many = state.summarise_many(arrays, skipna=skipna)
    assert many.shape == (len(arrays),)
    for rec, a in zip(many, arrays):
        assert rec.tobytes() == state.summarise(a, skipna=skipna).tobytes()


@pytest.mark.parametrize("values, exc, message", [
    (np.zeros(3), TypeError, "list or tuple"),
    ([np.zeros(2), [1.0]], TypeError, None),
    ([np.zeros(2)] * 5 + [np.zeros(2, np.float32)], ValueError, "expected 'double'"),
    ([np.zeros((2, 2))], ValueError, "dimensions"),
])
def test_summarise_many_errors(values, exc, message):
    with pytest.raises(exc, match=message):
        state.summarise_many(values)
