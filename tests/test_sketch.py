"""Quantile sketches: the relative-error guarantee against NumPy's exact quantiles, contents
that do not depend on how values were split and merged, the bucket limit, the stored form,
bad input, and threads sharing one sketch."""

import math
import pickle
import random
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vornel import GroupedQuantileSketch, QuantileSketch, state

QS = [0.0, 0.001, 0.01, 0.1, 0.25, 0.29, 0.5, 0.75, 0.9, 0.99, 0.999, 1.0]
TINY = np.finfo(np.float64).tiny


def exact(values, q):
    """The element of rank floor(q (n - 1)) as NumPy's method="lower" finds it."""
    return np.quantile(np.asarray(values, np.float64), q, method="lower")


def assert_within(sketch, values, qs, alpha):
    values = np.asarray(values, np.float64)
    values = values[~np.isnan(values)]
    got = sketch.quantiles(qs)
    lo, hi = values.min(), values.max()
    for q, v in zip(qs, got):
        x = exact(values, q)
        assert lo <= v <= hi, (q, v)
        if q in (0.0, 1.0):
            assert np.float64(v).tobytes() == np.float64(x).tobytes() or v == x, (q, v, x)
        elif math.isinf(x) or abs(x) < TINY:
            assert v == x or (abs(x) < TINY and v == 0.0), (q, v, x)
        else:
            assert abs(v - x) <= alpha * abs(x), (q, v, x, abs(v - x) / abs(x))


finite = st.floats(allow_nan=False, allow_infinity=False)
value = st.one_of(finite, st.sampled_from([0.0, -0.0, 5e-324, -1e-310, math.inf, -math.inf,
                                           math.nan, 1.0, 1.5, 2.0, 1e300, -1e-300]))


def chunks(values, cuts):
    cuts = sorted({c % (len(values) + 1) for c in cuts})
    bounds = [0, *cuts, len(values)]
    return [values[a:b] for a, b in zip(bounds, bounds[1:])]


@settings(max_examples=200, deadline=None)
@given(values=st.lists(value, min_size=1, max_size=200), alpha=st.sampled_from([0.05, 0.01, 1e-3]),
       cuts=st.lists(st.integers(0, 200), max_size=6), seed=st.integers(0, 2**32 - 1),
       qs=st.lists(st.floats(0, 1), max_size=5))
def test_any_split_gives_the_same_bytes_within_the_bound(values, alpha, cuts, seed, qs):
    one = QuantileSketch(alpha)
    one.add(np.array(values))
    parts = []
    for part in chunks(values, cuts):
        s = QuantileSketch(alpha)
        s.add(part)  # the iterable path
        parts.append(s)
    random.Random(seed).shuffle(parts)
    while len(parts) > 1:  # a random merge tree
        a, b = parts.pop(), parts.pop()
        (a.merge(b) if seed % 2 else b.merge(a))
        parts.insert(seed % (len(parts) + 1), a if seed % 2 else b)
    assert state.dumps(parts[0]) == state.dumps(one) and parts[0] == one
    if any(v == v for v in values):
        assert_within(one, values, QS + qs, alpha)
    else:
        assert one.count == 0 and math.isnan(one.quantile(0.5))


@settings(max_examples=100, deadline=None)
@given(values=st.lists(finite, min_size=1, max_size=300), m=st.integers(1, 12),
       cuts=st.lists(st.integers(0, 300), max_size=5))
def test_the_bucket_limit_keeps_order_independence_and_the_top(values, m, cuts):
    one = QuantileSketch(0.01, max_buckets=m)
    one.add(np.array(values))
    merged = QuantileSketch(0.01, max_buckets=m)
    for part in reversed(chunks(values, cuts)):
        s = QuantileSketch(0.01, max_buckets=m)
        s.add(np.array(part))
        merged.merge(s)
    assert state.dumps(merged) == state.dumps(one)
    # Ranks above the folded mass keep the guarantee: the m highest buckets are exact.
    plain = QuantileSketch(0.01)
    plain.add(np.array(values))
    n = len(values)
    for r in range(n):
        q = r / (n - 1) if n > 1 else 0.0
        if np.floor((n - 1) * q) != r:
            continue
        answer = plain.quantile(q)
        higher = sorted({plain.quantile(p / (n - 1)) for p in range(r, n)}) if n > 1 else []
        if len(higher) <= m - 1 and answer not in (min(values), max(values)):
            assert one.quantile(q) == answer


@pytest.mark.parametrize("dist", ["normal", "lognormal", "pareto", "ties", "wide", "signs"])
def test_accuracy_on_large_data(dist):
    rng = np.random.default_rng(7)
    n = 200_000
    x = {"normal": rng.standard_normal(n), "lognormal": rng.lognormal(0, 2, n),
         "pareto": rng.pareto(1.2, n), "ties": rng.integers(-5, 6, n).astype(float),
         "wide": 10.0 ** rng.uniform(-300, 300, n),
         "signs": np.where(rng.random(n) < 0.2, 0.0, rng.standard_normal(n) * 1e3)}[dist]
    for alpha in (0.01, 0.001):
        s = QuantileSketch(alpha)
        s.add(x[: n // 2])
        s.add(x[n // 2:][::-1])  # a reversed view: a negative stride
        assert s.relative_accuracy <= alpha
        assert_within(s, x, QS + list(np.linspace(0, 1, 41)), alpha)


def test_values_of_every_kind():
    s = QuantileSketch()
    s.add([0.0, -0.0, 5e-324, math.nan, math.inf, -math.inf, 2.0, -3.0])
    assert s.count == 7 and s.min == -math.inf and s.max == math.inf
    assert list(s.quantiles([0, 1 / 6, 2 / 6, 3 / 6, 4 / 6, 5 / 6, 1])) == pytest.approx(
        [-math.inf, -3.0, 0.0, 0.0, 0.0, 2.0, math.inf], rel=0.01)
    zeros = QuantileSketch()
    zeros.add([0.0, -0.0])
    other = QuantileSketch()
    other.add([-0.0, 0.0])
    assert math.copysign(1, zeros.min) == -1 and math.copysign(1, zeros.max) == 1
    assert zeros == other
    # Items convert as float() converts them; those before a failing one stay added.
    items = QuantileSketch()
    with pytest.raises(ValueError):
        items.add([1.0, "2.5", "x", 4.0])
    assert items.count == 2 and items.max == 2.5
    empty = QuantileSketch()
    assert empty.count == 0 and math.isnan(empty.min) and math.isnan(empty.quantile(0.3))
    assert np.isnan(empty.quantiles([0, 1])).all()
    # 0.29 * (101 - 1) is 28.999999999999996 in float64: rank 28, as NumPy has it.
    r = QuantileSketch(1e-4)
    r.add(np.arange(101.0) + 100)
    assert r.quantile(0.29) == pytest.approx(128.0, rel=1e-4)


def test_accuracy_picks_the_smallest_k():
    # 35 buckets per power of two meet 0.01: 116 per power of ten, as an exact log needs.
    assert QuantileSketch(0.01).relative_accuracy <= 0.01
    assert QuantileSketch(0.0101).relative_accuracy > 0.0099
    assert QuantileSketch(0.5).relative_accuracy == pytest.approx(1 / 3)


@pytest.mark.parametrize("make, call, error", [
    (QuantileSketch, lambda s: s.quantile(1.5), ValueError),
    (QuantileSketch, lambda s: s.quantile(math.nan), ValueError),
    (QuantileSketch, lambda s: s.quantiles([0.5, -0.1]), ValueError),
    (QuantileSketch, lambda s: s.quantiles([[0.5]]), ValueError),
    (QuantileSketch, lambda s: s.add("12"), TypeError),
    (QuantileSketch, lambda s: s.add(np.arange(3)), ValueError),
    (QuantileSketch, lambda s: s.merge(QuantileSketch(0.02)), ValueError),
    (QuantileSketch, lambda s: s.merge(QuantileSketch(max_buckets=5)), ValueError),
    (QuantileSketch, lambda s: s.merge(GroupedQuantileSketch(1)), TypeError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.add([0, 3], [1.0, 2.0]), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.add([0, -1], [1.0, 2.0]), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.add([0, 1], [1.0]), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.add([0.5], [1.0]), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.resize(2), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.merge(GroupedQuantileSketch(4)), ValueError),
    (lambda: GroupedQuantileSketch(3), lambda g: g.quantiles([2]), ValueError),
])
def test_bad_input_changes_nothing(make, call, error):
    s = make()
    if isinstance(s, QuantileSketch):
        s.add([1.0, 2.0])
    else:
        s.add(np.array([0, 2], np.int32), np.array([1.0, 2.0]))
    before = state.dumps(s)
    with pytest.raises(error):
        call(s)
    assert state.dumps(s) == before


@pytest.mark.parametrize("args, error", [
    ({"relative_accuracy": 0}, ValueError), ({"relative_accuracy": 1}, ValueError),
    ({"relative_accuracy": math.nan}, ValueError), ({"relative_accuracy": 1e-9}, ValueError),
    ({"relative_accuracy": "0.1"}, TypeError), ({"max_buckets": 0}, ValueError),
    ({"max_buckets": 2.5}, TypeError), ({"max_buckets": True}, TypeError),
])
def test_bad_parameters(args, error):
    with pytest.raises(error):
        QuantileSketch(**args)
    with pytest.raises(error):
        GroupedQuantileSketch(2, **args)


@settings(max_examples=100, deadline=None)
@given(pairs=st.lists(st.tuples(st.integers(0, 4), value), max_size=150),
       cut=st.integers(0, 150), m=st.one_of(st.none(), st.integers(1, 6)))
def test_groups_match_single_sketches(pairs, cut, m):
    ids = np.array([i for i, _ in pairs], np.int64)
    vals = np.array([v for _, v in pairs], np.float64)
    g = GroupedQuantileSketch(3, max_buckets=m)
    g.resize(5)
    g.add(ids[:cut].astype(np.int32), vals[:cut])
    h = GroupedQuantileSketch(5, max_buckets=m)
    h.add(ids[cut:].tolist(), vals[cut:].tolist())
    g.merge(h)
    table = g.quantiles(QS)
    for i in range(5):
        s = QuantileSketch(max_buckets=m)
        s.add(vals[ids == i])
        assert g.count[i] == s.count
        np.testing.assert_array_equal(table[i], s.quantiles(QS))
        np.testing.assert_array_equal([g.min[i], g.max[i]], [s.min, s.max])
    assert pickle.loads(pickle.dumps(g)) == g
    assert state.loads(state.dumps(g)) == g
    # take: groups reordered, repeated and left empty, as merges by key need them.
    t = g.take([4, -1, 0, 4])
    np.testing.assert_array_equal(t.count, [g.count[4], 0, g.count[0], g.count[4]])
    np.testing.assert_array_equal(t.quantiles(QS)[[0, 2, 3]], table[[4, 0, 4]])
    assert np.isnan(t.quantiles(QS)[1]).all() and g.take([]).n_groups == 0


@pytest.mark.parametrize("groups, spread", [
    (2000, "wide"),  # groups past 64 buckets turn dense
    (40, "narrow"),  # under 64 buckets, but many values: dense too
    (40, "narrow, zeros and infinities"),
])
def test_many_groups_grow_sparse_then_dense(groups, spread):
    rng = np.random.default_rng(3)
    ids = rng.integers(0, groups, 200_000)
    vals = (rng.lognormal(0, 3, ids.size) if spread == "wide"
            else 1000 + rng.normal(0, 5, ids.size))
    if "zeros" in spread:
        vals[rng.random(ids.size) < 0.01] = rng.choice([0.0, -0.0, np.inf, -np.inf, -1e-310])
    g = GroupedQuantileSketch(groups)
    for lo in range(0, ids.size, 7_777):  # many adds: groups move and the arena compacts
        g.add(ids[lo:lo + 7_777], vals[lo:lo + 7_777])
    one = GroupedQuantileSketch(groups)
    one.add(ids, vals)
    assert g == one and state.dumps(g) == state.dumps(one)
    for i in (0, 7, groups - 1):
        s = QuantileSketch()
        s.add(vals[ids == i])
        np.testing.assert_array_equal(g.quantiles(QS)[i], s.quantiles(QS))


def test_stored_form_refuses_damage():
    g = GroupedQuantileSketch(3, max_buckets=4)
    g.add([0, 1, 1, 2], [1.0, -2.0, math.inf, 0.0])
    blob = state.dumps(g)
    assert state.loads(blob) == g
    with pytest.raises(ValueError, match="no records"):
        state.loads(blob, records=True)
    for cut in range(len(blob)):
        with pytest.raises(ValueError):
            state.loads(blob[:cut])
    for at in range(len(blob)):
        bad = bytearray(blob)
        bad[at] ^= 0x40
        with pytest.raises(ValueError):
            state.loads(bytes(bad))


def test_threads_adding_to_one_sketch():
    """Stores grow while the thread is detached: threads adding to one sketch take turns,
    and the result is the sketch of all their values."""
    n_threads, rng = 4, np.random.default_rng(9)
    parts = [rng.lognormal(0, 4, 50_000) for _ in range(n_threads)]
    ids = [rng.integers(0, 100, 50_000) for _ in range(n_threads)]
    s, g = QuantileSketch(), GroupedQuantileSketch(100)
    barrier = threading.Barrier(n_threads)

    def body(i):
        barrier.wait()
        for lo in range(0, 50_000, 5_000):
            s.add(parts[i][lo:lo + 5_000])
            g.add(ids[i][lo:lo + 5_000], parts[i][lo:lo + 5_000])
            s.merge(QuantileSketch())

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    want, gwant = QuantileSketch(), GroupedQuantileSketch(100)
    want.add(np.concatenate(parts))
    gwant.add(np.concatenate(ids), np.concatenate(parts))
    assert s == want and g == gwant


def crafted(sketch, edit):
    """A blob of the sketch with its payload edited (counts no test could add one by one)."""
    import struct
    import zlib

    payload = bytearray(state.dumps(sketch)[24:-4])
    edit(payload, struct)
    kind = 5 if isinstance(sketch, QuantileSketch) else 6
    body = struct.pack("<8sHBBIQ", b"\x89VRNL\r\n\x1a", 2, kind, 0, 0, len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


def test_huge_counts_and_limits():
    big = 2**32 + 5

    def count_big(p, struct, n=big):
        struct.pack_into("<q", p, 24, n)  # the group's count
        struct.pack_into("<Q", p, 24 + 28 + 4, n)  # its one bucket's count

    g = GroupedQuantileSketch(1)
    g.add([0], [1.0])
    b = state.loads(crafted(g, count_big))
    g.merge(b)  # a count past 2**32 - 1 goes dense, whole
    assert g.count[0] == big + 1 and state.loads(state.dumps(g)) == g
    s = QuantileSketch()
    s.add([1.0, 2.0])
    huge = state.loads(crafted(s, lambda p, st: (st.pack_into("<q", p, 24, 2**62 + 2),
                                                 st.pack_into("<Q", p, 52 + 4, 2**62 + 1))))
    assert huge.quantile(1.0) == 2.0  # q = 1 is max, though n - 1 rounds in float64
    with pytest.raises(ValueError, match="max_buckets above"):
        state.loads(crafted(s, lambda p, st: st.pack_into("<Q", p, 8, 2**64 - 1)))
    empty = GroupedQuantileSketch(1)
    assert state.loads(state.dumps(empty)) == empty


def test_merges_do_not_grow_memory():
    vals = np.linspace(1.0, 2.0, 200)
    g, other = GroupedQuantileSketch(1), GroupedQuantileSketch(1)
    g.add(np.zeros(200, np.int64), vals)
    other.add(np.zeros(200, np.int64), vals)
    before = g.nbytes
    for _ in range(12):
        g.merge(other)
    assert g.nbytes <= before * 2
