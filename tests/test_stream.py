"""CyStreamStats: bit-exact results, the buffer and iterable paths, merge and result."""

import array
import copy
import math
import pickle
import threading
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference import DBL_MAX, Record, assert_same_result, of, same_bits
from vornel._cycore import CyGroupedStreamStats, CyStreamStats

INF, NAN = math.inf, math.nan
KEYS = ["count", "sum", "mean", "min", "max", "var", "std"]

FEEDS = {
    "ndarray": lambda xs: np.array(xs, dtype=np.float64),
    "array": lambda xs: array.array("d", xs),
    "memoryview": lambda xs: memoryview(array.array("d", xs)),
    "list": list,
    "tuple": tuple,
    "generator": lambda xs: (x for x in xs),
}

# Values where the arithmetic gets interesting: non-finite, signed zeros, extremes, subnormals.
EDGES = [NAN, INF, -INF, 0.0, -0.0, DBL_MAX, -DBL_MAX, 5e-324, -5e-324, 2.2250738585072014e-308,
         1e300, -1e300, 1e-300]
floats = st.one_of(st.floats(), st.sampled_from(EDGES), st.floats(-1e6, 1e6))
streams = st.lists(floats, max_size=40)


def stats_of(xs):
    s = CyStreamStats()
    s.add_values(list(xs))
    return s


def full(count, sum, mean, min, max, var, std):
    return dict(count=count, sum=sum, mean=mean, min=min, max=max, var=var, std=std)


def assert_stats(got, want):
    """Like assert_same_result, but a NaN's sign is the hardware's and not checked."""
    assert list(got) == list(want)
    for k, w in want.items():
        if isinstance(w, float) and math.isnan(w):
            assert isinstance(got[k], float) and math.isnan(got[k]), (k, got[k])
        else:
            assert same_bits(got[k], w), (k, got[k], w)


@settings(max_examples=80, deadline=None)
@given(xs=streams, feed=st.sampled_from(sorted(FEEDS)))
def test_result_matches_reference(xs, feed):
    s = CyStreamStats()
    assert s.add_values(FEEDS[feed](xs)) is None
    assert_same_result(s.result(), of(xs).result())


# Items of mixed types on the iterable path, each converted as float() converts it.
items = st.one_of(floats, st.integers(-(2**70), 2**70), st.booleans(),
                  floats.map(repr), floats.map(lambda x: repr(x).encode()), floats.map(np.float64))


@settings(max_examples=60, deadline=None)
@given(xs=st.lists(items, max_size=30), feed=st.sampled_from(["list", "tuple", "generator"]))
def test_mixed_items_match_reference(xs, feed):
    s = CyStreamStats()
    s.add_values(FEEDS[feed](xs))
    assert_same_result(s.result(), of(xs).result())


@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_merge_plan_matches_reference(data):
    chunks = data.draw(st.lists(st.lists(floats, max_size=12), min_size=1, max_size=6))
    parts = []
    for xs in chunks:
        s, r = CyStreamStats(), Record()
        for feed in data.draw(st.lists(st.sampled_from(sorted(FEEDS)), min_size=1, max_size=2)):
            s.add_values(FEEDS[feed](xs))
            for x in xs:
                r.update(x)
        parts.append((s, r))
    while len(parts) > 1:
        i = data.draw(st.integers(0, len(parts) - 1))
        if data.draw(st.integers(0, 4)) == 0:
            parts[i][0].merge(parts[i][0])
            parts[i][1].merge(parts[i][1])
        j = data.draw(st.integers(0, len(parts) - 2))
        j += j >= i
        (a, ra), (b, rb) = parts[i], parts[j]
        assert a.merge(b) is None
        ra.merge(rb)
        assert_same_result(b.result(), rb.result())  # the other side is only read
        parts.pop(j)
    assert_same_result(parts[0][0].result(), parts[0][1].result())


WORKED = full(3, 7.0, 2.3333333333333335, 1.0, 4.0, 1.5555555555555554, 1.247219128924647)


@pytest.mark.parametrize("feed", sorted(FEEDS))
def test_worked_example(feed):
    s = CyStreamStats()
    s.add_values(FEEDS[feed]([1.0, 2.0, 4.0]))
    assert_stats(s.result(), WORKED)


def test_merge_examples():
    merged = full(3, 7.0, 2.3333333333333335, 1.0, 4.0, 1.5555555555555556, 1.247219128924647)
    a, b = stats_of([1.0, 2.0]), stats_of([4.0])
    a.merge(b)
    assert_stats(a.result(), merged)
    a, b = stats_of([1.0, 2.0]), stats_of([4.0])
    b.merge(a)
    assert_stats(b.result(), merged)
    s = stats_of([1.0, 2.0, 4.0])
    s.merge(s)
    var = 9.333333333333332 / 6.0
    assert_stats(s.result(), full(6, 14.0, 2.3333333333333335, 1.0, 4.0, var, math.sqrt(var)))


@pytest.mark.parametrize("xs, want", [
    ([5.0], full(1, 5.0, 5.0, 5.0, 5.0, 0.0, 0.0)),
    ([INF], full(1, INF, INF, DBL_MAX, INF, NAN, NAN)),
    ([-INF], full(1, -INF, -INF, -INF, -DBL_MAX, NAN, NAN)),
    ([NAN], full(1, NAN, NAN, DBL_MAX, -DBL_MAX, NAN, NAN)),
    ([NAN, 1.0], full(2, NAN, NAN, 1.0, 1.0, NAN, NAN)),
    ([-0.0], full(1, 0.0, 0.0, -0.0, -0.0, 0.0, 0.0)),
    ([0.0, -0.0], full(2, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)),
    ([-0.0, 0.0], full(2, 0.0, 0.0, -0.0, -0.0, 0.0, 0.0)),
])
def test_special_values(xs, want):
    s = CyStreamStats()
    s.add_values(np.array(xs))
    assert_stats(s.result(), want)


@pytest.mark.parametrize("other", [[], [NAN], [1.0, -INF]])
def test_merge_with_empty(other):
    x = stats_of(other)
    x.merge(CyStreamStats())
    assert_same_result(x.result(), of(other).result())
    empty = CyStreamStats()
    empty.merge(x)
    assert_same_result(empty.result(), of(other).result())


def test_strided_numpy_views():
    a = np.array([1.0, 2.0, 4.0])
    s = CyStreamStats()
    s.add_values(a[::-1])
    assert_same_result(s.result(), of([4.0, 2.0, 1.0]).result())
    b = np.array([1.0, 9.0, 2.0, 9.0, 4.0])
    s = CyStreamStats()
    s.add_values(b[::2])
    assert_stats(s.result(), WORKED)
    s = CyStreamStats()
    s.add_values(b[::-2])
    assert_same_result(s.result(), of([4.0, 2.0, 1.0]).result())


@pytest.mark.parametrize("dtype", ["<f8", "=f8", [("a", "<f8")]])
def test_accepted_numpy_dtypes(dtype):
    a = np.zeros(3, dtype=dtype)
    a.view("<f8")[:] = [1.0, 2.0, 4.0]
    s = CyStreamStats()
    s.add_values(a)
    assert_stats(s.result(), WORKED)


@pytest.mark.parametrize("make", [
    lambda: None, lambda: [], lambda: (), lambda: iter(()), lambda: (x for x in ()),
    lambda: np.empty(0), lambda: np.empty(4)[2:2], lambda: array.array("d"),
    lambda: memoryview(array.array("d")),
])
def test_empty_inputs_add_nothing(make):
    assert_stats(CyStreamStats().result(), full(0, 0.0, None, None, None, None, None))
    s = stats_of([1.0])
    assert s.add_values(make()) is None
    assert_same_result(s.result(), of([1.0]).result())


class FloatSub(float):
    pass


def floaty(result, base=object):
    """A subclass of `base` whose __float__ returns `result`."""
    return type("Floaty", (base,), {"__float__": lambda self: result})


def boom(self):
    raise LookupError("boom")


@pytest.mark.parametrize("item, want", [
    (1.5, 1.5), (-0.0, -0.0), (3, 3.0), (2**53 + 1, 9007199254740992.0), (-(2**80), -(2.0**80)),
    (True, 1.0), (False, 0.0),
    ("2.5", 2.5), (" -1_000.25\n", -1000.25), ("InFiNiTy", INF), ("-nan", float("-nan")), ("-0", -0.0),
    (b"3", 3.0), (bytearray(b" 4e1 "), 40.0),
    (np.float64(0.1), 0.1), (np.float32(0.1), float(np.float32(0.1))), (np.int64(-7), -7.0),
    (np.bool_(True), 1.0),
    (FloatSub(1.25), 1.25), (floaty(9.0, float)(1.0), 9.0), (floaty(9.0, int)(1), 9.0),
    (floaty(9.0, str)("1"), 9.0), (floaty(FloatSub(2.5))(), 2.5),
    (type("IndexOnly", (), {"__index__": lambda self: 7})(), 7.0), (type("S", (str,), {})("6.5"), 6.5),
    (Fraction(1, 3), 1 / 3), (Decimal("0.1"), 0.1),
])
@pytest.mark.parametrize("container", [list, tuple, iter])
def test_item_conversion(item, want, container):
    s = CyStreamStats()
    s.add_values(container([item]))
    assert_same_result(s.result(), of([want]).result())


@pytest.mark.parametrize("bad, exc, msg", [
    (floaty(1)(), TypeError, "__float__ returned non-float (type int)"),
    (floaty(True)(), TypeError, "__float__ returned non-float (type bool)"),
    (type("Raises", (), {"__float__": boom})(), LookupError, "boom"),
    (10**400, OverflowError, None),
    ("x", ValueError, None), ("", ValueError, None), (b"1.5x", ValueError, None),
    (None, TypeError, None), (object(), TypeError, None), (1j, TypeError, None),
])
@pytest.mark.parametrize("container", [list, tuple, iter])
def test_bad_item_keeps_earlier_updates(bad, exc, msg, container):
    s = CyStreamStats()
    with pytest.raises(exc) as info:
        s.add_values(container([1.0, 2.0, bad, 4.0]))
    if msg is not None:
        assert str(info.value) == msg
    assert type(info.value.__context__) is TypeError  # the refused buffer request
    assert_same_result(s.result(), of([1.0, 2.0]).result())


@pytest.mark.parametrize("values", [[10**400], [None], 3.0, object()])
def test_failed_first_item_adds_nothing(values):
    s = CyStreamStats()
    with pytest.raises((TypeError, OverflowError)) as info:
        s.add_values(values)
    assert type(info.value.__context__) is TypeError
    assert s.result()["count"] == 0


def test_iterator_errors_and_stop_subclass():
    def gen():
        yield 1.0
        raise KeyError("k")

    s = CyStreamStats()
    with pytest.raises(KeyError):
        s.add_values(gen())
    assert_same_result(s.result(), of([1.0]).result())

    class Stop(StopIteration):
        pass

    class Once:
        def __init__(self):
            self.left = [2.0]

        def __iter__(self):
            return self

        def __next__(self):
            if self.left:
                return self.left.pop()
            raise Stop

    s.add_values(Once())
    assert_same_result(s.result(), of([1.0, 2.0]).result())


@pytest.mark.parametrize("base", [list, tuple])
def test_sequence_subclasses_are_iterated(base):
    sub = type("Sub", (base,), {"__iter__": lambda self: iter([5.0])})
    s = CyStreamStats()
    s.add_values(sub([1.0, 2.0]))
    assert_same_result(s.result(), of([5.0]).result())


@pytest.mark.parametrize("values, want", [
    (range(3), [0.0, 1.0, 2.0]), ("12", [1.0, 2.0]), ({4.0: "a", 2.0: "b"}, [4.0, 2.0]),
    (map(float, "34"), [3.0, 4.0]),
])
def test_other_iterables(values, want):
    s = CyStreamStats()
    s.add_values(values)
    assert_same_result(s.result(), of(want).result())


def test_list_changed_during_walk():
    grown = [1.0]

    class Grow:
        def __float__(self):
            grown.append(4.0)
            return 2.0

    grown.append(Grow())
    s = CyStreamStats()
    s.add_values(grown)
    assert_stats(s.result(), WORKED)

    shrunk = [1.0]

    class Shrink:
        def __float__(self):
            shrunk.clear()
            return 2.0

    shrunk += [Shrink(), 4.0]
    s = CyStreamStats()
    s.add_values(shrunk)
    assert_same_result(s.result(), of([1.0, 2.0]).result())


@pytest.mark.parametrize("container", [list, tuple, iter])
def test_conversion_may_add_to_the_same_instance(container):
    s = CyStreamStats()

    class Reenter:
        def __float__(self):
            s.add_values([10.0])
            return 2.0

    s.add_values(container([1.0, Reenter(), 4.0]))
    assert_same_result(s.result(), of([1.0, 10.0, 2.0, 4.0]).result())


INT64_DESC = {"l": "'long'", "q": "'long long'"}[memoryview(np.zeros(1, np.int64)).format]


def readonly_array():
    a = np.zeros(3)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make, exc, msg", [
    (lambda: np.zeros((2, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.zeros((3, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.array(1.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (lambda: np.zeros(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda: array.array("f", [1.0]), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda: np.zeros(3, np.int64), ValueError,
     f"Buffer dtype mismatch, expected 'double' but got {INT64_DESC}"),
    (lambda: bytearray(8), ValueError, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (lambda: np.zeros(3, np.complex128), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    *([(lambda: np.zeros(3, np.longdouble), ValueError,
        "Buffer dtype mismatch, expected 'double' but got 'long double'")]
      if np.dtype(np.longdouble).itemsize != 8 else []),
    (lambda: np.zeros(3, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (lambda: np.zeros(3, [("a", "f8"), ("b", "f8")]), ValueError,
     "Buffer dtype mismatch, expected end but got 'double'"),
    (lambda: bytes(8), BufferError, None),
    (lambda: memoryview(bytes(16)).cast("d"), BufferError, None),
    (readonly_array, ValueError, None),
])
def test_buffer_errors_do_not_fall_back(make, exc, msg):
    s = stats_of([1.0])
    with pytest.raises(exc) as info:
        s.add_values(make())
    if msg is not None:
        assert str(info.value) == msg
    assert info.value.__context__ is None
    assert_same_result(s.result(), of([1.0]).result())


class Sub(CyStreamStats):
    pass


class Pretender:
    @property
    def __class__(self):
        return CyStreamStats


@pytest.mark.parametrize("other", [None, 1.0, [1.0], np.zeros(1), CyGroupedStreamStats(1), Pretender()],
                         ids=["None", "float", "list", "ndarray", "grouped", "pretender"])
def test_merge_refuses_other_types(other):
    s = stats_of([1.0])
    with pytest.raises(TypeError) as info:
        s.merge(other)
    assert str(info.value) == "other must be StreamStats"
    assert_same_result(s.result(), of([1.0]).result())


def test_merge_accepts_subclasses():
    sub = Sub()
    sub.add_values([4.0])
    s = stats_of([1.0, 2.0])
    s.merge(other=sub)
    merged = of([1.0, 2.0])
    merged.merge(of([4.0]))
    assert_same_result(s.result(), merged.result())
    sub.merge(stats_of([1.0, 2.0]))
    assert sub.result()["count"] == 3


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"x": 1})])
def test_construction_ignores_arguments_and_refuses_copies(args, kwargs):
    s = CyStreamStats(*args, **kwargs)
    assert s.result()["count"] == 0
    s.add_values(values=[1.0])
    for copier in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            copier(s)


def test_result_returns_new_dicts():
    s = stats_of([1.0, 2.0])
    a, b = s.result(), s.result()
    assert a is not b and a == b
    assert list(a) == KEYS and type(a["count"]) is int
    a["count"] = 99
    assert s.result()["count"] == 2
    e1, e2 = CyStreamStats().result(), CyStreamStats().result()
    assert e1 is not e2 and list(e1) == KEYS
    assert type(e1["count"]) is int and same_bits(e1["sum"], 0.0)


def test_buffer_add_lets_other_threads_run():
    # A zero stride gives a long stream without the memory: the loop still folds every element.
    n = 50_000_000
    big = np.lib.stride_tricks.as_strided(np.ones(1), shape=(n,), strides=(0,))
    s = CyStreamStats()
    barrier = threading.Barrier(2)
    ticking, done = threading.Event(), threading.Event()
    span, ticks = [], []

    def adder():
        barrier.wait()
        ticking.wait()
        t0 = time.perf_counter()
        s.add_values(big)
        span.append(time.perf_counter() - t0)
        done.set()

    def ticker():
        barrier.wait()
        last, worst, count = time.perf_counter(), 0.0, 0
        while not done.is_set():
            now = time.perf_counter()
            worst, last, count = max(worst, now - last), now, count + 1
            if count == 1:
                ticking.set()
        ticks.append((worst, count))

    threads = [threading.Thread(target=adder), threading.Thread(target=ticker)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    worst, count = ticks[0]
    # Had the loop held the interpreter, the ticker would have stalled for the whole add.
    assert count > 1 and worst < span[0] / 2, (worst, span[0])
    assert s.result()["count"] == n
