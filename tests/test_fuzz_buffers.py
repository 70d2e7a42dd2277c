"""Random buffers through the test exporter: formats, shapes, strides, suboffsets, read-only
and failing exporters. Whatever arrives, the call either matches (and the statistics are
those of the elements the geometry describes) or fails with the documented class, leaves
the accumulator as it was, and releases every buffer it took."""

import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from reference import Record, assert_same_result, of
from vornel._cycore import CyGroupedStreamStats, CyStreamStats

Exporter = pytest.importorskip("vornel._testing._vornel_testbuf").Exporter


class Boom(Exception):
    pass


DOUBLE_FORMATS = ["d", "<d", "=d", "@d", "^d", " d ", "T{d}", "d:v:", "T{d:v:}", "dx", "1d", "0fd"]
OTHER_FORMATS = ["f", "q", "i", "l", "2d", "xd", ">d", "!d", "Zd", "e", "T{dd}", "(2)d", "g", "", "B"]
ID_FORMATS = ["i", "l", "q", "<i", "=q", "T{i}", "I", "Q", "d", "h", "2i", "ix", "xq"]
format_text = st.one_of(
    st.sampled_from(DOUBLE_FORMATS + OTHER_FORMATS),
    st.text(alphabet="dgqlifIbB?xsZTO{}:()<>=!@^0123456789 ,\t", max_size=10),
    st.none())


@st.composite
def buffers(draw, pack="d", size=8, formats=format_text):
    """(exporter kwargs, data, the element values it describes when well-formed)."""
    values = draw(st.lists(st.integers(-50, 50), max_size=8))
    step = draw(st.sampled_from([1, 1, 1, -1, 2, -2, 0]))
    n = len(values)
    span = (n - 1) * abs(step) + 1 if n else 0
    slots = [0] * max(span, 1)
    first = (n - 1) * abs(step) if step < 0 and n else 0
    for i, v in enumerate(values):
        slots[first + i * step] = v
    described = [slots[first + i * step] for i in range(n)]  # stride 0 repeats slot 0
    data = struct.pack(f"<{len(slots)}{pack}", *slots)
    kw = dict(format=draw(formats), itemsize=draw(st.sampled_from([size, size, size, 1, 4, 16])),
              offset=first * size)
    ndim = draw(st.sampled_from([1, 1, 1, 0, 2]))
    if ndim == 1:
        kw["shape"] = [n]
        kw["strides"] = draw(st.sampled_from([[step * size], [step * size], None]))
    elif ndim == 2:
        kw["shape"], kw["strides"] = [n, 1], [step * size, size]
    kw["suboffsets"] = draw(st.sampled_from([None, None, None, [-1] * ndim, [0] * ndim]))
    kw["readonly"] = draw(st.booleans().map(lambda b: b and draw(st.booleans())))
    kw["error"] = draw(st.sampled_from([None] * 6 + [TypeError("x"), ValueError("x"), Boom("x")]))
    if ndim == 1 and kw["strides"] is None and step != 1:
        described = values = None  # without strides the elements are packed: geometry lies
    return kw, data, described


def well_formed(kw, formats, size):
    """A buffer that must be accepted: a format of the type, one dimension, direct access."""
    return (kw["format"] in formats and kw["error"] is None and not kw["readonly"]
            and kw["itemsize"] == size and len(kw.get("shape", [])) == 1
            and kw["suboffsets"] in (None, [-1]))


def expected_failure(kw):
    """The class a failing call must raise: the exporter's own refusals first, then ValueError
    for every check on the acquired buffer."""
    err = kw["error"]
    if err is not None:
        return TypeError if isinstance(err, TypeError) else type(err)
    if kw["readonly"]:
        return BufferError
    return ValueError


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(buffers())
def test_add_values_random_buffers(buf):
    kw, data, described = buf
    assume(described is not None)
    exporter = Exporter(data, **kw)
    s = CyStreamStats()
    s.add_values([0.5])
    try:
        s.add_values(exporter)
    except (TypeError, ValueError, BufferError, Boom) as e:
        assert isinstance(e, expected_failure(kw)), (e, kw)
        assert not well_formed(kw, DOUBLE_FORMATS, 8), (e, kw)
        assert_same_result(s.result(), of([0.5]).result())
    else:
        assert kw["error"] is None and not kw["readonly"] and kw["itemsize"] == 8, kw
        assert_same_result(s.result(), of([0.5, *described]).result())
    assert exporter.exports == 0


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from([("i", 4), ("q", 8)]).flatmap(
    lambda ps: buffers(pack=ps[0], size=ps[1], formats=st.one_of(
        st.sampled_from(ID_FORMATS), format_text))), st.booleans())
def test_grouped_add_random_id_buffers(buf, values_first):
    kw, data, described = buf
    assume(described is not None)
    ids = Exporter(data, **kw)
    n = len(described)
    vals = np.arange(1.0, n + 1.0)
    g = CyGroupedStreamStats(101)
    g.add([3], [0.5])
    try:
        g.add(ids, vals) if values_first else g.add(group_ids=ids, values=vals)
    except (TypeError, ValueError, BufferError, Boom) as e:
        want = expected_failure(kw)
        # Ids that are out of range fail after the elements before them are folded in.
        if isinstance(e, ValueError) and str(e).startswith("group id "):
            bad = next(i for i, x in enumerate(described) if not 0 <= x < 101)
            check_groups(g, described[:bad], vals[:bad])
        else:
            assert isinstance(e, want), (e, kw)
            assert not well_formed(kw, ["i", "<i", "T{i}"], 4), (e, kw)
            assert not well_formed(kw, ["q", "=q", "l"], 8), (e, kw)
            check_groups(g, [], [])
    else:
        assert kw["error"] is None and not kw["readonly"] and kw["itemsize"] in (4, 8), kw
        check_groups(g, described, vals)
    assert ids.exports == 0


def check_groups(g, ids, vals):
    recs = [Record() for _ in range(101)]
    recs[3].update(0.5)
    for i, v in zip(ids, vals):
        recs[i].update(float(v))
    got = g.to_dict()
    for k in range(101):
        assert_same_result(got[k], recs[k].result())
