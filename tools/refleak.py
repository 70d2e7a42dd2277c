"""Reference and memory-block leak loop, for a debug interpreter (python3.14-dbg).

Runs every public operation of both types, on success and on each failure path, many times
over and checks that sys.gettotalrefcount() and sys.getallocatedblocks() come back to where
they were after a warm-up. A leak of one reference per call shows as LOOPS leaked references.

    python3.14-dbg -X dev tools/refleak.py [LOOPS]

Prints "refleak: N cases x L loops x 3 rounds: leaked R refs, B blocks" and exits 1 when R
or B is above 0. The module must be built against the debug interpreter's headers (the
check does, into build/dbg-site): a release build's reference changes are not counted.
"""

import array
import gc
import itertools
import sys
import warnings

from vornel import _cycore
from vornel._cycore import CyGroupedStreamStats, CyStreamStats

try:
    from _vornel_testbuf import Exporter
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
    yield lambda: s.merge(other=s)
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
    yield lambda: g.merge(other=g)
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
    cases = list(stream_cases()) + list(grouped_cases())
    run(cases, 50)  # warm-up: caches, interned strings, free lists, specialised bytecode
    # The interpreter's own bookkeeping moves the totals by a few units now and then; a
    # leak in the module moves them by at least `loops` in every round. So the figure is
    # the smallest change over three rounds, less what measuring an empty loop changes.
    base_refs, base_blocks = measure([], loops)  # what measuring itself costs
    rounds = [(r - base_refs, b - base_blocks) for r, b in (measure(cases, loops) for _ in range(3))]
    # Per loop: a leak in any case costs at least one reference per loop, while the
    # interpreter's bookkeeping (seen: one reference per round) stays below that.
    leaked_refs = min(r for r, _ in rounds) // loops
    leaked_blocks = min(b for _, b in rounds) // loops
    print(f"refleak: {len(cases)} cases x {loops} loops x 3 rounds: "
          f"leaked {leaked_refs} refs, {leaked_blocks} blocks per loop (raw per round: {rounds})")
    return 1 if leaked_refs > 0 or leaked_blocks > 0 else 0


if __name__ == "__main__":
    sys.exit(main())
