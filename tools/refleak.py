"""Reference and memory-block leak loop, for a debug interpreter (python3.14-dbg).

Runs every public operation of the accumulator and sketch types and of vornel.state, on
success and on each failure path, many times over and checks that sys.gettotalrefcount() and
sys.getallocatedblocks() come back to where they were after a warm-up. A leak of one
reference per call shows as LOOPS leaked references.

    python3.14-dbg -X dev tools/refleak.py [LOOPS]

Prints "refleak: N cases x L loops x 3 rounds: leaked R refs, B blocks" and exits 1 when R
or B is above 0. The module must be built against the debug interpreter's headers (the
check does, into build/dbg-site): a release build's reference changes are not counted.
"""

import array
import gc
import itertools
import pickle
import struct
import sys
import warnings
import zlib

import numpy as np

from vornel import _cycore, _scan, _sketch, _state, state
from vornel._cycore import CyGroupedStreamStats, CyStreamStats
from vornel._sketch import GroupedQuantileSketch, QuantileSketch

try:
    from vornel._testing._vornel_testbuf import Exporter
except ImportError:  # the exporter is a test-only build option
    Exporter = None


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom


class NonFloat:
    def __float__(self):
        return "x"


class BadInt:
    def __int__(self):
        raise Boom


class IntSub(int):
    pass


class SubInt:
    def __int__(self):
        return IntSub(3)


class BadIter:
    def __iter__(self):
        raise Boom


def failing_gen():
    yield 1.0
    raise Boom


class SubStream(CyStreamStats):
    pass


class SubGrouped(CyGroupedStreamStats):
    pass


# The measured loop makes no NumPy object: Debian's NumPy is a release build, whose
# reference count changes the debug interpreter does not count, so each NumPy buffer export
# would show as a spurious reference change. The standard library's array and memoryview are
# built with the debug interpreter, and so is the test exporter.
F64 = memoryview(array.array("d", [float(i) for i in range(64)]))
I32 = memoryview(array.array("i", [i % 4 for i in range(64)]))
I64 = memoryview(array.array("q", [i % 4 for i in range(64)]))
RO = F64[:4].toreadonly()
F64_2D = F64[:4].cast("B").cast("d", [2, 2])
I32_2D = I32[:4].cast("B").cast("i", [2, 2])
F64_0D = F64[:1].cast("B").cast("d", [])
F32 = memoryview(array.array("f", [1.0, 2.0, 3.0]))
U32 = memoryview(array.array("I", [0, 1, 2]))


class FloatSub(float):
    pass


def self_merge(acc, *data):
    if isinstance(acc, CyStreamStats):
        acc.add_values(*data)
    else:
        acc.add(*data)
    acc.merge(other=acc)


def stream_cases():
    s = CyStreamStats()
    o = SubStream()
    yield lambda: CyStreamStats()
    yield lambda: CyStreamStats(1, 2, x=3)
    yield lambda: s.add_values(F64)
    yield lambda: s.add_values(F64[::-3])
    yield lambda: s.add_values(memoryview(array.array("d", [1.0, 2.0])))
    yield lambda: s.add_values(None)
    yield lambda: s.add_values(values=[1.0, 2, "3", b"4", bytearray(b"5"), True, FloatSub(6)])
    yield lambda: s.add_values((1.0, 2.0))
    yield lambda: s.add_values(x * 0.5 for x in range(8))
    yield lambda: s.add_values(range(5))
    yield lambda: s.merge(o)
    # Merging into itself doubles the count: a fresh accumulator each time, or the counts
    # reach 2**63 and the merge raises OverflowError after a few dozen loops.
    yield lambda: self_merge(CyStreamStats(), [1.0, 2.0])
    yield lambda: s.result()
    yield lambda: CyStreamStats.result(s)
    # failure paths
    yield TypeError, lambda: s.add_values()
    yield TypeError, lambda: s.add_values([1.0], values=[2.0])
    yield TypeError, lambda: s.add_values(vals=[1.0])
    yield TypeError, lambda: s.add_values(1, 2)
    yield TypeError, lambda: s.add_values(**{"values": [1.0], "x": 1})
    yield TypeError, lambda: s.result(1)
    yield TypeError, lambda: s.result(x=1)
    yield TypeError, lambda: CyStreamStats.result()
    yield TypeError, lambda: CyStreamStats.add_values(values=[1.0])
    yield TypeError, lambda: s.add_values(3.0)
    yield TypeError, lambda: s.add_values([None])
    yield TypeError, lambda: s.add_values([NonFloat()])
    yield Boom, lambda: s.add_values([1.0, BadFloat()])
    yield Boom, lambda: s.add_values(BadIter())
    yield Boom, lambda: s.add_values(failing_gen())
    yield ValueError, lambda: s.add_values([1.0, "x"])
    yield OverflowError, lambda: s.add_values([10**400])
    yield ValueError, lambda: s.add_values(F64_2D)
    yield ValueError, lambda: s.add_values(F64_0D)
    yield ValueError, lambda: s.add_values(F32)
    yield ValueError, lambda: s.add_values(bytearray(8))
    yield BufferError, lambda: s.add_values(b"12345678")
    yield BufferError, lambda: s.add_values(RO)
    yield TypeError, lambda: s.merge(None)
    yield TypeError, lambda: s.merge(CyGroupedStreamStats(1))
    yield TypeError, lambda: s.merge()
    yield TypeError, lambda: s.__reduce__()
    yield TypeError, lambda: s.__setstate__(None)
    yield TypeError, lambda: s.__setstate__()
    if Exporter is not None:
        raw = array.array("d", [0.0, 1.0, 2.0]).tobytes()
        yield lambda: s.add_values(Exporter(raw, format="T{d:v:}", shape=[3], strides=[8], itemsize=8))
        yield ValueError, lambda: s.add_values(Exporter(raw, format=">d", shape=[3], strides=[8], itemsize=8))
        yield ValueError, lambda: s.add_values(Exporter(raw, format="2d", shape=[3], strides=[8], itemsize=8))
        yield ValueError, lambda: s.add_values(Exporter(raw, format="d", shape=[3], strides=[8], itemsize=4))
        yield ValueError, lambda: s.add_values(Exporter(raw, format="d", shape=[3], suboffsets=[0], itemsize=8))
        yield ValueError, lambda: s.add_values(Exporter(raw, format="(2)d", shape=[3], strides=[8], itemsize=8))
        yield Boom, lambda: s.add_values(Exporter(raw, error=Boom("x")))
        yield TypeError, lambda: s.add_values(Exporter(raw, error=TypeError))


def grouped_cases():
    g = CyGroupedStreamStats(4)
    o = SubGrouped(4)
    yield lambda: CyGroupedStreamStats(3)
    yield lambda: CyGroupedStreamStats(n_groups=2.7)
    yield lambda: g.add(I32, F64)
    yield lambda: g.add(I64[::2], F64[1::2])
    yield lambda: g.add(None, None)
    yield lambda: g.add(group_ids=[0, 1.5, "2", True], values=[1.0, "2", b"3", 4])
    yield lambda: g.add((i % 4 for i in range(8)), (x * 1.0 for x in range(8)))
    yield lambda: g.add([0, 1, 2], F64[:3])
    yield lambda: g.add(I64[:3], [1.0, 2.0, 3.0])
    yield lambda: g.add(array.array("i", [0, 1]), array.array("d", [1.0, 2.0]))
    yield lambda: g.merge(o)
    yield lambda: self_merge(CyGroupedStreamStats(4), I32[:4], F64[:4])
    yield lambda: g.to_dict()
    yield lambda: g.result_arrays()
    # failure paths
    yield TypeError, lambda: CyGroupedStreamStats()
    yield TypeError, lambda: CyGroupedStreamStats(2, n_groups=2)
    yield TypeError, lambda: CyGroupedStreamStats(groups=2)
    yield TypeError, lambda: CyGroupedStreamStats(1, 2)
    yield TypeError, lambda: CyGroupedStreamStats("3")
    yield TypeError, lambda: CyGroupedStreamStats(None)
    yield Boom, lambda: CyGroupedStreamStats(BadInt())
    yield DeprecationWarning, lambda: CyGroupedStreamStats(SubInt())
    yield ValueError, lambda: CyGroupedStreamStats(0)
    yield ValueError, lambda: CyGroupedStreamStats(-1)
    yield ValueError, lambda: CyGroupedStreamStats(float("nan"))
    yield OverflowError, lambda: CyGroupedStreamStats(2**31)
    yield OverflowError, lambda: CyGroupedStreamStats(float("inf"))
    yield TypeError, lambda: g.add([0])
    yield TypeError, lambda: g.add(values=[1.0])
    yield TypeError, lambda: g.add([0], [1.0], [2.0])
    yield TypeError, lambda: g.add([0], [1.0], group_ids=[0])
    yield TypeError, lambda: g.add([0], vals=[1.0])
    yield TypeError, lambda: g.to_dict(1)
    yield TypeError, lambda: g.result_arrays(x=1)
    yield TypeError, lambda: CyGroupedStreamStats.add()
    yield ValueError, lambda: g.add(I32[:3], F64[:2])
    yield ValueError, lambda: g.add(memoryview(array.array("i", [0, 7, 1])), F64[:3])
    yield ValueError, lambda: g.add(memoryview(array.array("q", [0, -1])), F64[:2])
    yield ValueError, lambda: g.add([0, 1, 2], [1.0, 2.0])
    yield ValueError, lambda: g.add([0, 9], [1.0, 2.0])
    yield ValueError, lambda: g.add([0, 9], F64[:2])
    yield ValueError, lambda: g.add(I32[:2], [1.0, 2.0, 3.0])
    yield ValueError, lambda: g.add([float("nan")], [1.0])
    yield ValueError, lambda: g.add([0], ["x"])
    yield TypeError, lambda: g.add([None], [1.0])
    yield TypeError, lambda: g.add([0], [None])
    yield TypeError, lambda: g.add([0], None)
    yield TypeError, lambda: g.add(1, [1.0])
    yield Boom, lambda: g.add([BadInt()], [1.0])
    yield Boom, lambda: g.add([0], [BadFloat()])
    yield Boom, lambda: g.add(BadIter(), [1.0])
    yield Boom, lambda: g.add([0, 1], failing_gen())
    yield OverflowError, lambda: g.add([2**63], [1.0])
    yield ValueError, lambda: g.add(I32, F64_2D)
    yield ValueError, lambda: g.add(I32_2D, F64[:4])
    yield ValueError, lambda: g.add(I32[:3], F32)
    yield ValueError, lambda: g.add(U32, F64[:3])
    yield ValueError, lambda: g.add(F64[:3], F64[:3])
    yield BufferError, lambda: g.add(I32[:4], RO)
    yield TypeError, lambda: g.merge(None)
    yield TypeError, lambda: g.merge(CyStreamStats())
    yield ValueError, lambda: g.merge(CyGroupedStreamStats(3))
    yield TypeError, lambda: g.__reduce__()
    yield TypeError, lambda: g.__setstate__(1)
    yield NameError, rebound_zip_longest(None)
    yield ValueError, rebound_zip_longest(lambda *a, **k: iter([(0, 1.0, 2)]))
    yield ValueError, rebound_zip_longest(lambda *a, **k: iter([[0]]))
    yield ValueError, rebound_zip_longest(lambda *a, **k: iter(["a"]))
    yield Boom, rebound_zip_longest(lambda *a, **k: iter([BadIter()]))


# Records as the native companion takes them: any 8-byte aligned buffer of 48-byte records.
DBL_MAX = sys.float_info.max
EMPTY = (0, 0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)
FULL = (3, 7.0, 2.5, 4.5, 1.0, 4.0)


def records(*recs):
    """A writable, aligned records buffer (array.array's storage is malloc-aligned)."""
    return memoryview(array.array("d", b"".join(struct.pack("=q5d", *r) for r in recs)))


def blob(kind, recs, count=None, version=1, crc=None):
    body = struct.pack("<8sHBBIQ", b"\x89VRNL\r\n\x1a", version, kind, 0, 0,
                       len(recs) if count is None else count)
    body += b"".join(struct.pack("<q5d", *r) for r in recs)
    return body + struct.pack("<I", zlib.crc32(body) if crc is None else crc)


class BadIndex:
    def __index__(self):
        raise Boom


class BadBool:
    def __bool__(self):
        raise Boom


def state_cases():
    """The native companion on array and memoryview buffers, and loads' refusals: no NumPy
    object is made, so references and blocks both count."""
    s, g = CyStreamStats(), CyGroupedStreamStats(4)
    one, four, out1, out4 = records(FULL), records(FULL, EMPTY, FULL, EMPTY), records(EMPTY), records(*[EMPTY] * 4)
    big = records(*[FULL] * 4)
    full = records((2**63 - 1, 1.0, 1.0, 0.0, 1.0, 1.0))
    cols = [memoryview(array.array("d", [0.0] * 4)) for _ in range(7)]
    ok = blob(1, [FULL])
    yield lambda: _state.n_records(s)
    yield lambda: _state.n_records(g)
    yield lambda: _state.copy_out(g, out4)
    yield lambda: _state.copy_in(s, one)
    yield lambda: _state.copy_in(g, four)
    yield lambda: _state.check(four, False)
    yield lambda: _state.n_groups(2.7)
    yield lambda: _state.summarise(F64, out1, False)
    yield lambda: _state.summarise(RO, out1, True)
    yield lambda: _state.summarise_grouped(I32, F64, out4, False)
    yield lambda: _state.summarise_grouped(I64[::2], F64[1::2], out4, True)
    yield lambda: _state.summarise_many([F64, RO, F64[::2], F64[:3], F64], records(*[EMPTY] * 5), True)
    yield lambda: _state.merge(out4, four)
    yield lambda: _state.merge(out4, out4)
    yield lambda: _state.merge(big[:3 * 6], big[6:])  # overlapping: merges a copy
    yield lambda: _state.finalise(four, *cols, 0)
    yield lambda: _state.finalise(four, *cols, 3)
    yield lambda: _state.finalise(four, *cols, 2**70)  # past int64: every var NaN
    yield lambda: _state.parse(ok)
    yield lambda: _state.crc32(ok)
    yield lambda: _state.parse(bytearray(ok))
    # failure paths
    yield TypeError, lambda: _state.n_records(None)
    yield TypeError, lambda: _state.copy_out(s)
    yield ValueError, lambda: _state.copy_out(s, out4)
    yield BufferError, lambda: _state.copy_out(s, records(EMPTY).toreadonly())
    yield ValueError, lambda: _state.copy_out(s, out4.cast("B")[4:52])
    yield ValueError, lambda: _state.copy_out(s, out4.cast("B")[:47])
    yield ValueError, lambda: _state.copy_in(s, records((-1, 0.0, 0.0, 0.0, 0.0, 0.0)))
    yield ValueError, lambda: _state.copy_in(g, records(FULL, FULL, (0, 0.0, 1.0, 0.0, DBL_MAX, -DBL_MAX), FULL))
    yield Boom, lambda: _state.check(one, BadBool())
    yield ValueError, lambda: _state.n_groups(0)
    yield OverflowError, lambda: _state.n_groups(2**31)
    yield Boom, lambda: _state.n_groups(BadInt())
    yield TypeError, lambda: _state.summarise(None, out1, False)
    yield ValueError, lambda: _state.summarise(F32, out1, False)
    yield ValueError, lambda: _state.summarise(F64, out4, False)
    yield Boom, lambda: _state.summarise(F64, out1, BadBool())
    yield OverflowError, lambda: _state.summarise(F64, full, False)
    yield ValueError, lambda: _state.summarise_grouped(I32[:3], F64[:2], out4, False)
    yield ValueError, lambda: _state.summarise_grouped(memoryview(array.array("q", [0, 9])), F64[:2], out4, False)
    yield ValueError, lambda: _state.summarise_grouped(F64[:2], F64[:2], out4, False)
    yield TypeError, lambda: _state.summarise_grouped(None, F64, out4, False)
    yield TypeError, lambda: _state.summarise_many(F64, out1, False)
    yield ValueError, lambda: _state.summarise_many([F64] * 5 + [F32], records(*[EMPTY] * 6), False)
    yield ValueError, lambda: _state.summarise_many([F64, F64], out1, False)
    yield OverflowError, lambda: _state.summarise_many([F64], full, False)
    yield ValueError, lambda: _state.merge(out4, one)
    yield OverflowError, lambda: _state.merge(full, full)
    yield ValueError, lambda: _state.finalise(four, *cols[:6], cols[0][:3], 0)
    yield TypeError, lambda: _state.finalise(four)
    yield TypeError, lambda: _state.finalise(four, *cols, True)
    yield TypeError, lambda: _state.finalise(four, *cols, 1.0)
    yield ValueError, lambda: _state.finalise(four, *cols, -1)
    yield ValueError, lambda: _state.finalise(four, *cols, -2**70)
    yield Boom, lambda: _state.finalise(four, *cols, BadIndex())
    yield TypeError, lambda: state.loads(None)
    for bad in (ok[:30], b"\0" * 76, blob(1, [FULL], version=3), blob(7, [FULL]), ok[:11] + b"\1" + ok[12:],
                blob(1, [FULL, FULL]), blob(4, [], count=2**64 - 1), ok + b"\0", blob(1, [FULL], crc=0)):
        yield ValueError, lambda bad=bad: state.loads(bad)


def state_numpy_cases():
    """vornel.state's public functions. They make NumPy arrays, whose reference changes the
    debug interpreter miscounts (a release build), so only blocks count for these."""
    s, g = CyStreamStats(), CyGroupedStreamStats(3)
    s.add_values([1.0, 2.0, 4.0])
    values, ids = np.arange(6.0), np.array([0, 1, 2, 0, 1, 2], np.int32)
    rec0, rec3 = state.to_records(s), state.to_records(g)
    into0, into3 = state.empty_records(), state.empty_records(3)
    bad = state.empty_records(2)
    bad["sum"][1] = 1.0
    yield lambda: state.to_records(s)
    yield lambda: state.to_records(g)
    yield lambda: state.from_records(rec0)
    yield lambda: state.from_records(rec3.byteswap().view(rec3.dtype.newbyteorder()))
    yield lambda: state.summarise(values, skipna=True)
    yield lambda: state.summarise(values, into=into0)
    yield lambda: state.summarise_grouped(ids, values, 3)
    yield lambda: state.summarise_grouped(ids.astype(np.int64), values, 3, into=into3)
    yield lambda: state.merge_records(into3, rec3)
    yield lambda: state.finalise(rec3)
    yield lambda: state.finalise(rec3, ddof=1)
    yield lambda: state.loads(state.dumps(s))
    yield lambda: state.loads(state.dumps(g), records=True)
    yield lambda: state.loads(state.dumps(rec3))
    # failure paths
    yield ValueError, lambda: state.from_records(np.zeros(3))
    yield ValueError, lambda: state.from_records(state.empty_records((2, 2)))
    yield ValueError, lambda: state.from_records(state.empty_records(0))
    yield ValueError, lambda: state.from_records(bad)
    yield ValueError, lambda: state.summarise(values, into=into3)
    yield TypeError, lambda: state.summarise(values, into=[])
    yield ValueError, lambda: state.summarise_grouped(ids, values, 2)
    yield ValueError, lambda: state.summarise_grouped(ids, values, 0)
    yield ValueError, lambda: state.merge_records(into3, rec0)
    yield ValueError, lambda: state.dumps(state.empty_records((1, 1)))
    yield ValueError, lambda: state.loads(state.dumps(bad)[:-4] + b"\0\0\0\0")
    yield ValueError, lambda: state.loads(blob(2, [FULL, (0, -0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)]))


def sketch_cases():
    """The quantile sketches' calls that make no NumPy object."""
    s, o = QuantileSketch(), QuantileSketch()
    o.add(F64)
    g, h = GroupedQuantileSketch(4), GroupedQuantileSketch(4, max_buckets=2)
    yield lambda: QuantileSketch(0.05, max_buckets=10)
    yield lambda: GroupedQuantileSketch(4, relative_accuracy=0.02)
    yield lambda: s.add(F64)
    yield lambda: s.add(F64[::-3])
    yield lambda: s.add(RO)  # read-only buffers are taken
    yield lambda: s.add([1.0, 2, "3", True])
    yield lambda: s.add(x * 0.5 for x in range(8))
    yield lambda: s.merge(o)
    yield lambda: (t := QuantileSketch()).add(F64[:4]) or t.merge(t)
    yield lambda: s.quantile(0.5)
    yield lambda: (s.count, s.min, s.max, s.relative_accuracy, s.max_buckets, repr(s), s == o)
    yield lambda: g.add(I32, F64)
    yield lambda: g.add(I64[::2], F64[1::2])
    yield lambda: h.add(I32, F64)
    yield lambda: (u := GroupedQuantileSketch(4)).add(I32[:4], F64[:4]) or u.merge(u)
    yield lambda: (g.n_groups, g.nbytes, g.relative_accuracy, repr(g), g == h)
    yield lambda: _sketch.payload(g)
    yield lambda: _sketch.load(_sketch.payload(s), False)
    yield lambda: _sketch.load(_sketch.payload(g), True)
    # failure paths
    yield ValueError, lambda: QuantileSketch(0)
    yield ValueError, lambda: QuantileSketch(1e-12)
    yield TypeError, lambda: QuantileSketch(max_buckets=1.5)
    yield ValueError, lambda: GroupedQuantileSketch(0)
    yield TypeError, lambda: s.add("12")
    yield ValueError, lambda: s.add(F32)
    yield ValueError, lambda: s.add([1.0, "x"])
    yield Boom, lambda: s.add([1.0, BadFloat()])
    yield Boom, lambda: s.add(failing_gen())
    yield ValueError, lambda: s.quantile(2.0)
    yield ValueError, lambda: s.merge(QuantileSketch(0.5))
    yield TypeError, lambda: s.merge(g)
    yield ValueError, lambda: g.add(I64[:3], F64[:2])
    yield ValueError, lambda: h.merge(g)
    yield ValueError, lambda: g.merge(GroupedQuantileSketch(5))
    yield ValueError, lambda: g.resize(2)
    yield ValueError, lambda: _sketch.load(b"\0" * 30, True)
    yield ValueError, lambda: _sketch.load(_sketch.payload(g), False)


def sketch_numpy_cases():
    """The sketches' calls that make NumPy arrays (only blocks count, as for vornel.state)."""
    s, g = QuantileSketch(), GroupedQuantileSketch(4)
    s.add(F64)
    g.add(I32, F64)
    yield lambda: s.quantiles([0.1, 0.5])
    yield lambda: g.quantiles([0.1, 0.5])
    yield lambda: g.quantile(0.5)
    yield lambda: (g.count, g.min, g.max)
    yield lambda: g.add([0, 2, 1], [1.0, 2.0, 3.0])
    yield lambda: g.take([2, -1, 0])
    yield lambda: state.loads(state.dumps(g))
    yield lambda: pickle.loads(pickle.dumps(s))
    yield ValueError, lambda: g.add([0, 9], [1.0, 2.0])
    yield ValueError, lambda: g.add([0.5], [1.0])
    yield ValueError, lambda: g.take([5])
    yield ValueError, lambda: s.quantiles([0.5, float("nan")])


def text_column(*texts):
    """Text as the CSV scanner's key map and writer take it: (valid, offsets, data, offset,
    wide), without Arrow."""
    data = b"".join(texts)
    offsets = np.cumsum([0, *map(len, texts)]).astype(np.int32)
    return (None, offsets, data, 0, False)


def scan_cases():
    """The CSV scanner's, key map's and writer's calls (they make NumPy arrays)."""
    km = _scan.KeyMap(1)
    grouped = _scan.Scanner(3, [1, 2], [0], (b"", b"NA"), (b"",), km)
    plain = _scan.Scanner(2, [0, 1], [], (b"",), (b"",), None)
    text = b'a,1.5,2\n"b,c",NA,x\n,3e400,\n"open'
    keys = text_column(b"k", b'q"', b"\xc3\xa9")
    counts, floats = np.array([1, 0, 2], np.int64), np.array([0.5, np.nan, -1e300])
    args = ([keys], [0], [b"key"], [b"v"], [b"count", b"mean", b"sum"], [0, 1, 2],
            [[counts, floats, floats]], 0, 3)
    yield lambda: grouped.scan(text, 0, (False, False))
    yield lambda: grouped.scan(memoryview(text)[:20], 1, (False, True))
    yield lambda: plain.scan(b"1,2\n3,x\n", 0, (False, False))
    yield lambda: km.map_arrow([keys], 3, 2)
    yield lambda: (km.keys(), len(km))
    yield lambda: _scan.write_lines(False, *args)
    yield lambda: _scan.write_lines(True, *args)
    yield lambda: _scan.write_lines(True, [], [], [], [b"v"], [b"count"], [0], [[counts]], 0, 1)
    # failure paths
    yield ValueError, lambda: _scan.KeyMap(0)
    yield ValueError, lambda: grouped.scan(text, 0, (False,))
    yield TypeError, lambda: grouped.scan(12, 0, (False, False))
    yield ValueError, lambda: km.map_arrow([keys], 4, 0)
    yield ValueError, lambda: _scan.write_lines(False, *args[:-1], 4)
    yield ValueError, lambda: _scan.write_lines(False, *args[:5], [1, 1, 2], *args[6:])
    yield ValueError, lambda: _scan.write_lines(False, *args[:6], [[counts, floats]], 0, 3)
    yield TypeError, lambda: _scan.write_lines(False, *args[:6], [[counts, floats, 7]], 0, 3)


def rebound_zip_longest(replacement):
    g = CyGroupedStreamStats(2)

    def run():
        if replacement is None:
            del _cycore.zip_longest
        else:
            _cycore.zip_longest = replacement
        try:
            g.add([0], [1.0])
        finally:
            _cycore.zip_longest = itertools.zip_longest

    return run


def run(cases, loops):
    for _ in range(loops):
        for case in cases:
            if isinstance(case, tuple):
                exc, fn = case
                try:
                    fn()
                except exc:
                    pass
                else:
                    raise AssertionError(f"no {exc.__name__} from case {fn.__code__.co_firstlineno}")
            else:
                case()


def measure(cases, loops):
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    run(cases, loops)
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def main():
    loops = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    warnings.simplefilter("error", DeprecationWarning)
    cases = (list(stream_cases()) + list(grouped_cases()) + list(state_cases())
             + list(sketch_cases()))
    np_cases = (list(state_numpy_cases()) + list(sketch_numpy_cases())
                + list(scan_cases()))
    run(cases + np_cases, 50)  # warm-up: caches, interned strings, free lists, specialised bytecode
    # The interpreter's own bookkeeping moves the totals by a few units now and then; a
    # leak in the module moves them by at least `loops` in every round. So the figure is
    # the smallest change over three rounds, less what measuring an empty loop changes.
    base_refs, base_blocks = measure([], loops)  # what measuring itself costs
    rounds = [(r - base_refs, b - base_blocks) for r, b in (measure(cases, loops) for _ in range(3))]
    # Per loop: a leak in any case costs at least one reference per loop, while the
    # interpreter's bookkeeping (seen: one reference per round) stays below that.
    np_blocks = [b - base_blocks for _, b in (measure(np_cases, loops) for _ in range(3))]
    leaked_refs = min(r for r, _ in rounds) // loops
    leaked_blocks = max(min(b for _, b in rounds), min(np_blocks)) // loops
    print(f"refleak: {len(cases) + len(np_cases)} cases x {loops} loops x 3 rounds: "
          f"leaked {leaked_refs} refs, {leaked_blocks} blocks per loop (raw per round: {rounds}; "
          f"blocks of the {len(np_cases)} NumPy cases: {np_blocks})")
    return 1 if leaked_refs > 0 or leaked_blocks > 0 else 0


if __name__ == "__main__":
    sys.exit(main())
