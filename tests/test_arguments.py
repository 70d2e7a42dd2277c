"""Arguments users get wrong: every public callable against a catalogue of argument types.

Each outcome is checked against a model of the dispatch rules (buffer first, iterable on
TypeError, the grouped add's id fallbacks, item conversion), which also tells how much of
the input must have been folded in before the failure.
"""

import array
import itertools
import math
import struct
import sys
import warnings

import numpy as np
import pytest

from reference import Record, assert_same_result
from vornel._cycore import CyGroupedStreamStats, CyStreamStats

try:
    from vornel._testing._vornel_testbuf import Exporter
except ImportError:
    Exporter = None

N_GROUPS = 3


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom


class StrFloat:
    def __float__(self):
        return "1.0"


class BadInt:
    def __int__(self):
        raise Boom


class BadIter:
    def __iter__(self):
        raise Boom


class FailingNext:
    def __iter__(self):
        return self

    def __next__(self):
        raise Boom


def gen(*xs):
    yield from xs


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


NUMPY_DTYPES = sorted(set(np.typecodes["All"]) - {"V", "M", "m", "U", "S", "O"}) + [
    "U3", "S3", "M8[s]", "m8[s]", "O", ">f8", ">i4", "<i8"]

ARGS = {
    "None": lambda: None,
    "int 0": lambda: 0,
    "int 2": lambda: 2,
    "int -1": lambda: -1,
    "int 2**70": lambda: 2**70,
    "bool": lambda: True,
    "float 1.5": lambda: 1.5,
    "float nan": lambda: math.nan,
    "float inf": lambda: math.inf,
    "str 12": lambda: "12",
    "str x": lambda: "x",
    "bytes": lambda: b"12",
    "bytearray": lambda: bytearray(b"12"),
    "memoryview of bytes": lambda: memoryview(b"12345678"),
    "empty list": lambda: [],
    "list of floats": lambda: [1.0, 2.5, 0.5],
    "list of ints": lambda: [0, 2, 1],
    "list of mixed": lambda: [1, "2", b"0", True, np.float32(1.5)],
    "list with x": lambda: [1.0, "x", 2.0],
    "list with None": lambda: [1.0, None],
    "list with 10**400": lambda: [0, 10**400],
    "list with nan": lambda: [1.0, math.nan],
    "list of lists": lambda: [[1.0]],
    "list, bad __float__": lambda: [1.0, BadFloat()],
    "list, str __float__": lambda: [1.0, StrFloat()],
    "list, bad __int__": lambda: [1, BadInt()],
    "tuple": lambda: (2.0, 0.0),
    "generator": lambda: gen(1.0, 0.0, 2.0),
    "range": lambda: range(3),
    "dict": lambda: {1.0: "a", 0.0: "b"},
    "set": lambda: {2.0},
    "object": object,
    "bad __iter__": BadIter,
    "failing __next__": FailingNext,
    "BadFloat": BadFloat,
    "BadInt": BadInt,
    "array d": lambda: array.array("d", [1.0, 2.0, 0.0]),
    "array i": lambda: array.array("i", [0, 1, 2]),
    "array q": lambda: array.array("q", [2, 1, 0]),
    "array f": lambda: array.array("f", [1.0]),
    "f8 0-d": lambda: np.array(1.0),
    "f8 2-d": lambda: np.zeros((2, 2)),
    "f8 read-only": lambda: readonly(np.arange(3.0)),
    "i8 read-only": lambda: readonly(np.arange(3)),
    "f8 reversed": lambda: np.arange(3.0)[::-1],
    "i4 strided": lambda: np.arange(6, dtype=np.int32)[::2],
    **{f"dtype {c}": (lambda c=c: np.arange(3).astype(c)) for c in NUMPY_DTYPES},
}
if Exporter is not None:
    ARGS["buffer raises Boom"] = lambda: Exporter(b"", error=Boom("x"))
    ARGS["buffer raises TypeError"] = lambda: Exporter(b"", error=TypeError("x"))

# -------------------------------------------------------------------------------------------
# The model


def acquire(x, want):
    """What typed view acquisition gives for element type want ('d', 'i4', 'i8'): 'none',
    ('ok', elements), or the class of the exception (TypeError: no buffer support)."""
    if x is None:
        return "none"
    if isinstance(x, np.ndarray):
        if not x.flags.writeable or x.ndim != 1 or x.dtype.kind in "Mm":
            return ValueError
        return ("ok", x.tolist()) if x.dtype == np.dtype(want) and x.dtype.isnative else ValueError
    if isinstance(x, array.array):
        codes = {"d": "d", "i4": "i", "i8": "lq"[struct.calcsize("l") == 4:]}[want]
        return ("ok", x.tolist()) if x.typecode in codes else ValueError
    if isinstance(x, (bytes, memoryview)):
        return BufferError
    if isinstance(x, bytearray):
        return ValueError
    if Exporter is not None and isinstance(x, Exporter):
        return type(x_error(x))
    return TypeError


def x_error(x):
    try:
        memoryview(x)
    except Exception as e:
        return e
    raise AssertionError("the exporter was meant to fail")


def is_type_error(r):
    return isinstance(r, type) and issubclass(r, TypeError)


def to_double(item):
    t = type(item)
    if t is float:
        return item
    if t in (int, str, bytes, bytearray):
        return float(item)
    if hasattr(t, "__float__"):
        r = t.__float__(item)
        if not isinstance(r, float):
            raise TypeError("__float__ returned non-float")
        return float(r)
    return float(item)


def model_add_values(rec, x):
    r = acquire(x, "d")
    if r == "none":
        return
    if isinstance(r, tuple):
        for v in r[1]:
            rec.update(v)
        return
    if not is_type_error(r):
        raise r()
    for item in iter(x):
        rec.update(to_double(item))


def model_add(recs, ids, values):
    rv = acquire(values, "d")
    if not isinstance(rv, tuple) and rv != "none":
        if not is_type_error(rv):
            raise rv()
        return model_pairs(recs, ids, values)
    vals = rv[1] if isinstance(rv, tuple) else []
    ri = acquire(ids, "i4")
    if not isinstance(ri, tuple) and ri != "none":
        if not (is_type_error(ri) or ri is ValueError):
            raise ri()
        ri = acquire(ids, "i8")
        if is_type_error(ri):
            return model_pairs(recs, ids, None if rv == "none" else vals)
        if not isinstance(ri, tuple):
            raise ri()
    gids = ri[1] if isinstance(ri, tuple) else []
    if len(gids) != len(vals):
        raise ValueError
    for g, v in zip(gids, vals):
        if not 0 <= g < len(recs):
            raise ValueError
        recs[g].update(v)


def model_pairs(recs, ids, values):
    end = object()
    for g, v in itertools.zip_longest(ids, values, fillvalue=end):
        if g is end or v is end:
            raise ValueError
        g = g if type(g) is int else int(g)
        if not -2**63 <= g < 2**63:
            raise OverflowError
        if not 0 <= g < len(recs):
            raise ValueError
        recs[g].update(to_double(v))


def outcome(fn):
    """The class of the exception fn raises, or None."""
    try:
        fn()
    except Exception as e:
        return type(e)
    return None


def same_class(got, want):
    return got is want or (want is not None and got is not None and issubclass(got, want))


# -------------------------------------------------------------------------------------------
# Tests


@pytest.mark.parametrize("name", ARGS)
def test_add_values(name):
    s, rec = CyStreamStats(), Record()
    s.add_values([0.25])
    rec.update(0.25)
    want = outcome(lambda: model_add_values(rec, ARGS[name]()))
    got = outcome(lambda: s.add_values(ARGS[name]()))
    assert same_class(got, want), (got, want)
    assert_same_result(s.result(), rec.result())


@pytest.mark.parametrize("ids", ARGS)
def test_grouped_add(ids):
    """Every id argument against every values argument (one test per id argument)."""
    for values in ARGS:
        g = CyGroupedStreamStats(N_GROUPS)
        recs = [Record() for _ in range(N_GROUPS)]
        want = outcome(lambda: model_add(recs, ARGS[ids](), ARGS[values]()))
        got = outcome(lambda: g.add(ARGS[ids](), ARGS[values]()))
        assert same_class(got, want), (ids, values, got, want)
        for k, r in g.to_dict().items():
            assert_same_result(r, recs[k].result())


def model_n_groups(x):
    if not isinstance(x, int):
        if not hasattr(type(x), "__int__"):
            raise TypeError
        x = type(x).__int__(x)
        if not isinstance(x, int):
            raise TypeError
    if not -2**31 <= x < 2**31:
        raise OverflowError
    if x <= 0:
        raise ValueError
    return x


@pytest.mark.parametrize("name", ARGS)
def test_n_groups(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # NumPy's array-to-int deprecation
        want = outcome(lambda: model_n_groups(ARGS[name]()))
        if want is None and model_n_groups(ARGS[name]()) > 1000:
            pytest.skip("a group count this large would allocate gigabytes")
        got = outcome(lambda: CyGroupedStreamStats(ARGS[name]()))
    assert same_class(got, want), (got, want)
    if want is None:
        n = model_n_groups(ARGS[name]())
        assert len(CyGroupedStreamStats(ARGS[name]()).result_arrays()["count"]) == n


@pytest.mark.parametrize("name", ARGS)
@pytest.mark.parametrize("kind", ["stream", "grouped"])
def test_merge_and_results_refuse_every_argument(kind, name):
    acc = CyStreamStats() if kind == "stream" else CyGroupedStreamStats(N_GROUPS)
    (acc.add_values if kind == "stream" else lambda v: acc.add([0, 1], v))([1.0, 2.0])
    before = acc.result() if kind == "stream" else acc.to_dict()
    with pytest.raises(TypeError, match="^other must be (Grouped)?StreamStats$"):
        acc.merge(ARGS[name]())
    readers = ["result"] if kind == "stream" else ["to_dict", "result_arrays"]
    for reader in readers:
        with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
            getattr(acc, reader)(ARGS[name]())
    assert (acc.result() if kind == "stream" else acc.to_dict()) == before


def test_catalogue_reaches_every_outcome():
    """The catalogue is only worth its size if it drives every branch of the model."""
    seen = {outcome(lambda: model_add_values(Record(), f())) for f in ARGS.values()}
    assert {None, TypeError, ValueError, BufferError, OverflowError, Boom} <= seen
