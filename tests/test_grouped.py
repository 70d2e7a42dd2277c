"""CyGroupedStreamStats: creation, the add dispatch and its two paths, merge, and both result views."""

import array
import builtins
import math
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vornel._cycore as core
from reference import Record, assert_same_result, of
from vornel._cycore import CyGroupedStreamStats as G, CyStreamStats

NAN, INF = float("nan"), float("inf")
KEYS = ["count", "sum", "mean", "min", "max", "var", "std"]
LENGTH = "group_ids and values must have the same length"


def n_of(g):
    # The group count is observable only through result sizes.
    sizes = {len(v) for v in g.result_arrays().values()} | {len(g.to_dict())}
    assert len(sizes) == 1
    return sizes.pop()


def fed(n, ids, values):
    recs = [Record() for _ in range(n)]
    for gid, x in zip(ids, values):
        recs[gid].update(float(x))
    return recs


def check(g, recs):
    got = g.to_dict()
    assert list(got) == list(range(len(recs)))
    for gid, r in enumerate(recs):
        assert_same_result(got[gid], r.result())


def has_entry(exc, name):
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if (code.co_name == "vornel._cycore.CyGroupedStreamStats." + name
                and code.co_filename.startswith("src/vornel/_cycore")):
            return True
        tb = tb.tb_next
    return False


def raises(exc, msg, call, *args, **kwargs):
    with pytest.raises(exc) as ei:
        call(*args, **kwargs)
    assert type(ei.value) is exc
    if msg is not None:
        assert str(ei.value) == msg
    return ei.value


# ---- creation ----

class IntSub(int):
    pass


class IntIgnored(int):
    def __int__(self):  # ints and their subclasses are taken by value, never through __int__
        return 99


class IntOf:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class IndexOnly:
    def __index__(self):
        return 3


@pytest.mark.parametrize("args, kwargs, n", [
    ((1,), {}, 1), ((), {"n_groups": 4}, 4), ((True,), {}, 1), ((3.9,), {}, 3), ((IntOf(5),), {}, 5),
    ((np.int64(3),), {}, 3), ((np.float64(2.5),), {}, 2), ((IntIgnored(2),), {}, 2),
    ((IntSub(6),), {}, 6),
])
def test_n_groups_accepted(args, kwargs, n):
    g = G(*args, **kwargs)
    assert n_of(g) == n
    g.__init__(7)  # object's __init__ re-makes nothing
    assert n_of(g) == n


@pytest.mark.parametrize("args, kwargs, exc, msg", [
    ((0,), {}, ValueError, "n_groups must be > 0"), ((-1,), {}, ValueError, "n_groups must be > 0"),
    ((False,), {}, ValueError, "n_groups must be > 0"), ((0.5,), {}, ValueError, "n_groups must be > 0"),
    ((-2**31,), {}, ValueError, "n_groups must be > 0"),
    (("3",), {}, TypeError, "an integer is required"), ((None,), {}, TypeError, "an integer is required"),
    ((IndexOnly(),), {}, TypeError, "an integer is required"),
    ((IntOf("3"),), {}, TypeError, "__int__ returned non-int (type str)"),
    ((IntOf(3.0),), {}, TypeError, "__int__ returned non-int (type float)"),
    ((IntOf(RuntimeError("boom")),), {}, RuntimeError, "boom"),
    ((2**31,), {}, OverflowError, None), ((-2**31 - 1,), {}, OverflowError, None),  # range before sign
    ((IntOf(2**40),), {}, OverflowError, None), ((INF,), {}, OverflowError, None),
    ((NAN,), {}, ValueError, "cannot convert float NaN to integer"),
    ((), {}, TypeError, "__cinit__() takes exactly 1 positional argument (0 given)"),
    ((1, 2), {}, TypeError, "__cinit__() takes exactly 1 positional argument (2 given)"),
    ((2,), {"n_groups": 2}, TypeError, "__cinit__() got multiple values for keyword argument 'n_groups'"),
    ((), {"groups": 2}, TypeError, "__cinit__() got an unexpected keyword argument 'groups'"),
    ((), {"n_groups": 2, "x": 1}, TypeError, "__cinit__() got an unexpected keyword argument 'x'"),
])
def test_creation_refused(args, kwargs, exc, msg):
    assert has_entry(raises(exc, msg, G, *args, **kwargs), "__cinit__")


DEPRECATED = ("__int__ returned non-int (type {}).  The ability to return an instance of a strict "
              "subclass of int is deprecated, and may be removed in a future version of Python.")


@pytest.mark.parametrize("result, n", [(IntSub(3), 3), (True, 1)])
def test_int_returning_int_subclass_warns_and_is_used(result, n):
    text = DEPRECATED.format(type(result).__name__)
    with pytest.warns(DeprecationWarning) as rec:
        g = G(IntOf(result))
    assert [str(w.message) for w in rec] == [text] and n_of(g) == n
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert has_entry(raises(DeprecationWarning, text, G, IntOf(result)), "__cinit__")


def test_subclass_creation_binds_the_constructor_arguments():
    class Plain(G):
        def __init__(self, n, label):
            self.label = label

    raises(TypeError, "__cinit__() takes exactly 1 positional argument (2 given)", Plain, 3, "x")

    class Labelled(Plain):
        def __new__(cls, n, label):
            return super().__new__(cls, n)

    g = Labelled(3, "x")
    assert n_of(g) == 3 and g.label == "x"
    assert n_of(G.__new__(Plain, n_groups=2)) == 2


# ---- add against the reference ----

def int32(ids): return np.array(ids, dtype=np.int32)
def int64(ids): return np.array(ids, dtype=np.int64)
def gen(xs): return (x for x in xs)
def strided(dtype): return lambda xs: np.repeat(np.array(xs, dtype=dtype), 2)[::2]
def flipped(dtype): return lambda xs: np.array(xs[::-1], dtype=dtype)[::-1]


def readonly(a):
    a.flags.writeable = False
    return a


ID_KINDS = {"int32": int32, "int64": int64, "array_i": lambda x: array.array("i", x),
            "array_q": lambda x: array.array("q", x), "array_l": lambda x: array.array("l", x),
            "list": list, "tuple": tuple, "gen": gen, "strided32": strided(np.int32),
            "flipped64": flipped(np.int64)}
VALUE_KINDS = {"float64": lambda x: np.array(x, dtype=np.float64), "array_d": lambda x: array.array("d", x),
               "list": list, "tuple": tuple, "gen": gen, "strided": strided(np.float64),
               "flipped": flipped(np.float64)}

values_st = st.one_of(st.floats(-1e6, 1e6), st.floats(), st.sampled_from([0.1, -0.0, 1e308]))
streams = st.integers(1, 6).flatmap(lambda n: st.tuples(
    st.just(n), st.lists(st.tuples(st.integers(0, n - 1), values_st), max_size=30)))


@settings(max_examples=60, deadline=None)
@given(streams, st.sampled_from(sorted(ID_KINDS)), st.sampled_from(sorted(VALUE_KINDS)))
def test_add_matches_reference(stream, id_kind, value_kind):
    n, pairs = stream
    ids, values = [p[0] for p in pairs], [p[1] for p in pairs]
    g = G(n)
    assert g.add(ID_KINDS[id_kind](ids), VALUE_KINDS[value_kind](values)) is None
    check(g, fed(n, ids, values))


@settings(max_examples=40, deadline=None)
@given(streams, st.data())
def test_split_and_merge_matches_reference(stream, data):
    n, pairs = stream
    cuts = sorted(data.draw(st.lists(st.integers(0, len(pairs)), max_size=4)))
    parts = []
    for a, b in zip([0] + cuts, cuts + [len(pairs)]):
        ids, values = [p[0] for p in pairs[a:b]], [p[1] for p in pairs[a:b]]
        g = G(n)
        g.add(int32(ids), np.array(values, dtype=np.float64))
        parts.append((g, fed(n, ids, values)))
    while len(parts) > 1:
        i = data.draw(st.integers(0, len(parts) - 1))
        j = data.draw(st.integers(0, len(parts) - 2))
        j += j >= i
        (gi, ri), (gj, rj) = parts[i], parts[j]
        assert gi.merge(gj) is None
        for a, b in zip(ri, rj):
            a.merge(b)
        check(gj, rj)  # other is only read
        parts.pop(j)
    check(*parts[0])


# ---- add: dispatch, paths and errors ----

@pytest.mark.parametrize("id_kind", sorted(ID_KINDS))
@pytest.mark.parametrize("value_kind", sorted(VALUE_KINDS))
def test_small_example_every_kind(id_kind, value_kind):
    g = G(5)
    g.add(ID_KINDS[id_kind]([0, 1, 0]), VALUE_KINDS[value_kind]([1.0, 2.0, 3.0]))
    g.add(range(2, 5), VALUE_KINDS[value_kind]([4.0, 5.0, 6.0]))
    check(g, fed(5, [0, 1, 0, 2, 3, 4], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))


@pytest.mark.parametrize("ids, values", [
    (None, None), ([], []), (int32([]), np.array([])), (int64([]), np.array([])),
    (None, np.array([])), (int32([]), None), (gen([]), range(0)),
])
def test_empty_adds_nothing(ids, values):
    g = G(2)
    assert g.add(ids, values) is None
    check(g, fed(2, [], []))


@pytest.mark.parametrize("ids, values, folded", [
    # Buffer path: lengths are compared before any id is looked at, and nothing is folded.
    (int32([0, 1, 2]), np.array([1.0, 2.0]), 0), (int64([9, 9, 9]), np.array([1.0, 2.0]), 0),
    (None, np.array([1.0, 2.0, 3.0]), 0), (int32([0, 1, 2]), None, 0),
    # Iterable path: the pairs before the end of the shorter input are folded.
    ([0, 1, 2], [1.0, 2.0], 2), ([0, 1], [1.0, 2.0, 3.0], 2), ([0, 1, 2], np.array([1.0, 2.0]), 2),
    ([0, 1], np.array([1.0, 2.0, 3.0]), 2), (int64([0, 1, 2]), gen([1.0, 2.0]), 2),
])
def test_length_error(ids, values, folded):
    g = G(5)
    assert has_entry(raises(ValueError, LENGTH, g.add, ids, values), "add")
    check(g, fed(5, [0, 1][:folded], [1.0, 2.0]))


@pytest.mark.parametrize("bad", [7, 5, -1])
@pytest.mark.parametrize("id_kind", sorted(ID_KINDS))
@pytest.mark.parametrize("value_kind", ["float64", "list"])
def test_range_error_keeps_elements_before(bad, id_kind, value_kind):
    g = G(5)
    err = raises(ValueError, f"group id {bad} out of range [0, 5)", g.add,
                 ID_KINDS[id_kind]([0, bad, 1]), VALUE_KINDS[value_kind]([1.0, 2.0, 3.0]))
    assert has_entry(err, "add")
    check(g, fed(5, [0], [1.0]))


def test_path_choice_is_visible():
    g = G(5)
    # A values list sends the ids down the iterable path too, whatever their buffer would say.
    g.add(np.array([1.7, 2.2]), [1.0, 2.0])
    g.add(np.array([3, 4], dtype=np.uint32), [3.0, 4.0])
    g.add(readonly(int64([0, 1])), [5.0, 6.0])
    g.add(b"\x02", [7.0])
    # An id list with a float64 view walks the view's elements in view order.
    g.add(["3", 4.9, True], np.array([8.0, 9.0, 10.0])[::-1])
    check(g, fed(5, [1, 2, 3, 4, 0, 1, 2, 3, 4, 1], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 10.0, 9.0, 8.0]))


@pytest.mark.parametrize("gid, exc, want", [
    (1.7, None, 1), (-0.5, None, 0), ("2", None, 2), (True, None, 1), (np.int8(4), None, 4),
    (NAN, ValueError, None), (None, TypeError, None), ("x", ValueError, None),
    (IntOf(LookupError("no id")), LookupError, "no id"),
    (2**63, OverflowError, None), (-2**63 - 1, OverflowError, None),
    (2**63 - 1, ValueError, "group id 9223372036854775807 out of range [0, 5)"),
    (-2**63, ValueError, "group id -9223372036854775808 out of range [0, 5)"),
])
@pytest.mark.parametrize("value_kind", ["float64", "list"])
def test_iterable_id_conversion(gid, exc, want, value_kind):
    # want: the group the id goes to, or the exact message of the refusal.
    g = G(5)
    ids, values = [0, gid, 1], VALUE_KINDS[value_kind]([1.0, 2.0, 3.0])
    if exc is None:
        g.add(ids, values)
        check(g, fed(5, [0, want, 1], [1.0, 2.0, 3.0]))
    else:
        assert has_entry(raises(exc, want, g.add, ids, values), "add")
        check(g, fed(5, [0], [1.0]))


@pytest.mark.parametrize("bad, exc", [("x", ValueError), (None, TypeError), (10**400, OverflowError)])
def test_value_refused_after_earlier_pairs(bad, exc):
    g = G(5)
    raises(exc, None, g.add, [0, 1, 2], [1.0, bad, 3.0])
    check(g, fed(5, [0], [1.0]))
    raises(ValueError, "group id 7 out of range [0, 5)", g.add, [7], [bad])  # the id is tested first
    check(g, fed(5, [0], [1.0]))


def test_value_conversions():
    g = G(2)
    g.add([0, 0, 0, 1, 1], ["1.5", b" 2_0 ", 3, True, np.float32(0.1)])
    check(g, fed(2, [0, 0, 0, 1, 1], [1.5, 20.0, 3.0, 1.0, float(np.float32(0.1))]))


DIMS = "Buffer has wrong number of dimensions (expected 1, got 2)"


@pytest.mark.parametrize("ids, values, exc, msg", [
    ([0, 1], np.ones((2, 1)), ValueError, DIMS), (int32([[0], [1]]), np.ones(2), ValueError, DIMS),
    (int64([[0], [1]]), np.ones(2), ValueError, DIMS),
    ([0, 1], np.ones(2, dtype=np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.array([0, 1], dtype=np.uint32), np.ones(2), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'unsigned int'"),
    (np.array([0.0, 1.0]), np.ones(2), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (np.array([0, 1], dtype=np.int16), np.ones(2), ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'short'"),
    ([0, 1], readonly(np.ones(2)), ValueError, None),
    (readonly(int32([0, 1])), np.ones(2), ValueError, None),
    (readonly(int64([0, 1])), np.ones(2), ValueError, None), (b"\x00\x01", np.ones(2), BufferError, None),
    # Id iterables with None values reach the pairing with None, which is not iterable.
    ([0, 1], None, TypeError, None), ([], None, TypeError, None), (gen([0]), None, TypeError, None),
])
def test_view_failures_propagate_and_change_nothing(ids, values, exc, msg):
    g = G(2)
    err = raises(exc, msg, g.add, ids, values)
    assert has_entry(err, "add") and err.__context__ is None  # discarded attempts attach to nothing
    check(g, fed(2, [], []))


def test_exception_context_tells_how_the_iterable_path_was_entered():
    g = G(5)
    assert type(raises(ValueError, None, g.add, int64([0, 7]), [1.0, 2.0]).__context__) is TypeError
    assert raises(ValueError, None, g.add, [0, 7], np.array([1.0, 2.0])).__context__ is None
    assert raises(ValueError, None, g.add, int64([0, 7]), np.array([1.0, 2.0])).__context__ is None


def pairing(make_items, calls=None):
    def zip_longest(a, b, **kw):
        assert list(kw) == ["fillvalue"]
        if calls is not None:
            calls.append((a, list(b), kw["fillvalue"]))  # a values view lives only for the call
        return iter(make_items(kw["fillvalue"]))
    return zip_longest


class AlwaysEqual:
    __hash__ = None

    def __eq__(self, other):
        return True

    def __int__(self):
        return 1


def broken_pairing(s):
    yield (0, 1.0)
    raise LookupError("pairing broke")


def broken_item():
    yield 3
    raise LookupError("item broke")


@pytest.mark.parametrize("bad, exc, msg", [
    ((1, 2.0, 3), ValueError, "too many values to unpack (expected 2)"),
    ([1, 2.0, 3], ValueError, "too many values to unpack (expected 2)"),
    (range(1, 4), ValueError, "too many values to unpack (expected 2)"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    ([1], ValueError, "need more than 1 value to unpack"),
    ("1", ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    (range(0), ValueError, "need more than 0 values to unpack"),
    (gen([1, 2.0, 3]), ValueError, "too many values to unpack (expected 2)"),
    (broken_item(), LookupError, "item broke"),
])
def test_unpacking_of_a_rebound_pairing(monkeypatch, bad, exc, msg):
    items = [(0, 1.0), [1, 2.0], iter((2, 3.0)), bad, (3, 4.0)]
    monkeypatch.setattr(core, "zip_longest", pairing(lambda s: items))
    g = G(5)
    raises(exc, msg, g.add, [0], [1.0])
    check(g, fed(5, [0, 1, 2], [1.0, 2.0, 3.0]))


def test_rebound_pairing_call_and_sentinel(monkeypatch):
    calls = []
    monkeypatch.setattr(core, "zip_longest", pairing(lambda s: [(AlwaysEqual(), 2.0)], calls))
    g = G(3)
    ids, values = [0], [1.0]
    g.add(ids, values)
    g.add(ids, np.array([5.0]))
    assert calls[0][0] is ids and calls[0][1] == values and calls[1][1] == [5.0]
    assert all(type(c[2]) is object for c in calls) and calls[0][2] is not calls[1][2]
    for items, exc, msg in [(lambda s: [(0, 1.0), (s, 2.0)], ValueError, LENGTH),
                            (lambda s: [(0, 1.0), (1, s)], ValueError, LENGTH),
                            (broken_pairing, LookupError, "pairing broke")]:
        monkeypatch.setattr(core, "zip_longest", pairing(items))
        raises(exc, msg, g.add, [], [])
    # Only identity with the sentinel ends the pairing, not equality.
    check(g, fed(3, [1, 1, 0, 0, 0], [2.0, 2.0, 1.0, 1.0, 1.0]))


def test_zip_longest_looked_up_at_call_time(monkeypatch):
    g = G(3)
    monkeypatch.delattr(core, "zip_longest")
    monkeypatch.setattr(builtins, "zip_longest", pairing(lambda s: [(2, 9.0)]), raising=False)
    g.add([0], [1.0])  # found among the builtins
    monkeypatch.delattr(builtins, "zip_longest")
    assert has_entry(raises(NameError, "name 'zip_longest' is not defined", g.add, [0], [1.0]), "add")
    g.add(int32([1]), np.array([4.0]))  # the buffer path never needs it
    check(g, fed(3, [2, 1], [9.0, 4.0]))


@pytest.mark.parametrize("call, msg", [
    (lambda g: g.add(), "add() takes exactly 2 positional arguments (0 given)"),
    (lambda g: g.add(values=[1.0]), "add() takes exactly 2 positional arguments (0 given)"),
    (lambda g: g.add([0]), "add() takes exactly 2 positional arguments (1 given)"),
    (lambda g: g.add([0], [1.0], [2.0]), "add() takes exactly 2 positional arguments (3 given)"),
    (lambda g: g.add([0], group_ids=[0]), "add() got multiple values for keyword argument 'group_ids'"),
    (lambda g: g.merge(), "merge() takes exactly 1 positional argument (0 given)"),
    (lambda g: g.merge(g, g), "merge() takes exactly 1 positional argument (2 given)"),
])
def test_method_binding(call, msg):
    g = G(2)
    assert has_entry(raises(TypeError, msg, call, g), msg.split("(")[0])
    g.add(values=[1.0], group_ids=[1])
    check(g, fed(2, [1], [1.0]))


# ---- merge ----

class Claims:
    __class__ = G  # only the actual type counts


@pytest.mark.parametrize("n, other, exc, msg", [
    (3, None, TypeError, "other must be GroupedStreamStats"),
    (3, CyStreamStats(), TypeError, "other must be GroupedStreamStats"),
    (3, 1, TypeError, "other must be GroupedStreamStats"),
    (3, Claims(), TypeError, "other must be GroupedStreamStats"),
    (3, G(4), ValueError, "n_groups mismatch"), (4, G(3), ValueError, "n_groups mismatch"),
])
def test_merge_refused_leaves_receiver(n, other, exc, msg):
    g = G(n)
    g.add([0, 2], [1.0, 2.0])
    assert has_entry(raises(exc, msg, g.merge, other), "merge")
    check(g, fed(n, [0, 2], [1.0, 2.0]))


def test_merge_subclass_keyword_and_copy_of_extremes():
    class Sub(G):
        pass

    stream = ([0, 1, 1], [INF, 1.0, 2.0])
    other, g = Sub(3), G(3)
    other.add(*stream)
    assert g.merge(other=other) is None
    check(g, fed(3, *stream))  # an exact copy: group 0 keeps the finite extreme as min


def test_self_merge_doubles():
    g = G(3)
    g.add(int64([0, 0, 0, 2]), np.array([1.0, 2.0, 4.0, 5.0]))
    g.merge(g)
    want = fed(3, [0, 0, 0, 2], [1.0, 2.0, 4.0, 5.0])
    for r in want:
        r.merge(r)
    check(g, want)
    cols = g.result_arrays()
    assert cols["count"] == [6, 0, 2] and cols["sum"] == [14.0, 0.0, 10.0] and cols["min"][0] == 1.0


# ---- results ----

def test_fresh_results():
    g = G(3)
    empty = dict(count=0, sum=0.0, mean=None, min=None, max=None, var=None, std=None)
    d = g.to_dict()
    assert list(d) == [0, 1, 2] and all(list(v) == KEYS and v == empty for v in d.values())
    assert type(d[0]["count"]) is int and type(d[0]["sum"]) is float
    cols = g.result_arrays()
    assert list(cols) == KEYS and all(type(v) is list and len(v) == 3 for v in cols.values())
    assert cols["count"] == [0, 0, 0] and cols["sum"] == [0.0, 0.0, 0.0]
    assert all(type(x) is int for x in cols["count"]) and all(type(x) is float for x in cols["sum"])
    assert all(type(x) is float and math.isnan(x) for k in KEYS[2:] for x in cols[k])


@pytest.mark.parametrize("values, want", [
    ([1.0, 2.0, 4.0], [3, 7.0, 2.3333333333333335, 1.0, 4.0, 1.5555555555555554, 1.247219128924647]),
    ([5.0], [1, 5.0, 5.0, 5.0, 5.0, 0.0, 0.0]),
    ([1.0, 3.0], [2, 4.0, 2.0, 1.0, 3.0, 1.0, 1.0]),
    ([1.0, INF], [2, INF, INF, 1.0, INF, NAN, NAN]),
    ([-INF], [1, -INF, -INF, -INF, -1.7976931348623157e308, NAN, NAN]),
    # m2 overflows below zero here: the variance is clamped to +0.0, never negative, std never NaN.
    ([1e308, -1e308], [2, 0.0, -INF, -1e308, 1e308, 0.0, 0.0]),
])
def test_group_results_both_views(values, want):
    ref = of(values)
    got = list(ref.result().values())
    # The sign of a NaN made by inf - inf is the hardware's; the module must match the reference's.
    assert all(a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(got, want))
    if values == [1e308, -1e308]:
        assert ref.m2 < 0
    g = G(4)
    g.add([2] * len(values), values)
    assert_same_result(g.to_dict()[2], ref.result())
    cols = g.result_arrays()
    assert_same_result({k: cols[k][2] for k in KEYS}, ref.result())
    assert type(cols["count"][2]) is int and all(type(cols[k][2]) is float for k in KEYS[1:])
    assert cols["count"][3] == 0 and math.isnan(cols["var"][3]) and g.to_dict()[3]["var"] is None


def test_results_are_new_containers():
    g = G(2)
    g.add([0, 0], [1.0, 3.0])
    d, cols = g.to_dict(), g.result_arrays()
    d[0]["count"] = 99
    d[1]["mean"] = 5.0
    del d[0]
    for v in cols.values():
        v[0] = -1
        v.append(0)
    cols["extra"] = []
    check(g, fed(2, [0, 0], [1.0, 3.0]))
    again = g.result_arrays()
    assert list(again) == KEYS and again["count"] == [2, 0] and again["var"][0] == 1.0
    assert again["count"] is not cols["count"]


@pytest.mark.parametrize("name", ["to_dict", "result_arrays"])
def test_result_binding(name):
    g = G(2)
    g.add([1], [1.0])
    err = raises(TypeError, f"{name}() takes exactly 0 positional arguments (1 given)", getattr(g, name), 1)
    assert not has_entry(err, name)
    raises(TypeError, f"{name}() got an unexpected keyword argument 'x'", getattr(g, name), x=1)
    check(g, fed(2, [1], [1.0]))
