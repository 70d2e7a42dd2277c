"""Buffer acquisition through a test exporter that hands out exactly the fields asked for."""

import struct

import numpy as np
import pytest

from reference import assert_same_result, of
from vornel._cycore import CyGroupedStreamStats, CyStreamStats

Exporter = pytest.importorskip("vornel._testing._vornel_testbuf").Exporter

VALUES = [1.0, 2.0, 4.0]
LONG = struct.calcsize("l")
LDBL = np.dtype(np.longdouble).itemsize  # struct has no code for long double


def doubles(fmt="d", *, values=VALUES, itemsize=8, **kw):
    kw.setdefault("shape", [len(values)])
    kw.setdefault("strides", [itemsize])
    return Exporter(struct.pack(f"<{len(values)}d", *values), format=fmt, itemsize=itemsize, **kw)


def add_values(exporter, want_requests=1):
    """add_values on a fresh instance: every request must have been released again."""
    s = CyStreamStats()
    try:
        s.add_values(exporter)
    finally:
        assert exporter.exports == 0
        assert exporter.requests == want_requests
    return s.result()


def rejects(exporter, exc=ValueError):
    s = CyStreamStats()
    with pytest.raises(exc) as info:
        s.add_values(exporter)
    assert exporter.exports == 0 and exporter.requests == 1
    assert s.result()["count"] == 0
    return info.value


@pytest.mark.parametrize("fmt", [
    "d", "@d", "=d", "<d", "^d", " d", "d\n", "\r\n d \n", "1d", "T{d}", "T{d:x:}", "d:value:",
    "T{T{d}}", "<T{d}", "T{=d}", "dx", "T{d}x", "d4x", "0fd", "d0f", "0T{dd}d",
    pytest.param("T{" * 100 + "d" + "}" * 100, id="T{...{d}...}"),
    *(["g", "^g"] if LDBL == 8 else []),
])
def test_double_formats_accepted(fmt):
    assert_same_result(add_values(doubles(fmt)), of(VALUES).result())


MISMATCH = "Buffer dtype mismatch, expected 'double' but got {}"
EXTRA = "Buffer dtype mismatch, expected end but got {}"
OFFSET = "Buffer dtype mismatch; next field is at offset {} but 0 expected"
BIG = "Big-endian buffer not supported on little-endian compiler"
UNKNOWN = "Does not understand character buffer dtype format string ('{}')"


@pytest.mark.parametrize("fmt, msg", [
    # Long double has no standard size at all; its native size is the platform's.
    *([("g", MISMATCH.format("'long double'")), ("^g", MISMATCH.format("'long double'"))]
      if LDBL != 8 else []),
    ("<g", MISMATCH.format("'long double'")), ("=g", MISMATCH.format("'long double'")),
    ("f", MISMATCH.format("'float'")), ("xf", MISMATCH.format("'float'")),
    ("q", MISMATCH.format("'long long'")), ("Q", MISMATCH.format("'unsigned long long'")),
    ("l", MISMATCH.format("'long'")), ("L", MISMATCH.format("'unsigned long'")),
    ("?", MISMATCH.format("'bool'")), ("c", MISMATCH.format("'char'")),
    ("b", MISMATCH.format("'signed char'")), ("B", MISMATCH.format("'unsigned char'")),
    ("h", MISMATCH.format("'short'")), ("H", MISMATCH.format("'unsigned short'")),
    ("i", MISMATCH.format("'int'")), ("I", MISMATCH.format("'unsigned int'")),
    ("Zf", MISMATCH.format("'complex float'")), ("Zd", MISMATCH.format("'complex double'")),
    ("Zg", MISMATCH.format("'complex long double'")),
    ("O", MISMATCH.format("Python object")), ("s", MISMATCH.format("a string")),
    ("p", MISMATCH.format("a string")),
    ("", MISMATCH.format("end")), ("   ", MISMATCH.format("end")), ("x", MISMATCH.format("end")),
    ("8x", MISMATCH.format("end")), ("T{}", MISMATCH.format("end")), ("0d", MISMATCH.format("end")),
    (None, MISMATCH.format("'unsigned char'")),  # a null format means unsigned bytes
    ("2d", EXTRA.format("'double'")), ("dd", EXTRA.format("'double'")),
    ("d d", EXTRA.format("'double'")), ("d\nd", EXTRA.format("'double'")),
    ("T{dd}", EXTRA.format("'double'")), ("T{d}d", EXTRA.format("'double'")),
    ("2T{d}", EXTRA.format("'double'")), ("d=d", EXTRA.format("'double'")),
    ("18446744073709551617d", EXTRA.format("'double'")),
    ("d:a:d:b:", EXTRA.format("'double'")), ("df", EXTRA.format("'float'")),
    ("dB", EXTRA.format("'unsigned char'")), ("dZd", EXTRA.format("'complex double'")),
    ("xd", OFFSET.format(8)), ("4xd", OFFSET.format(8)), ("9xd", OFFSET.format(16)),
    ("xT{d}", OFFSET.format(8)), ("T{x}d", OFFSET.format(8)), ("x:pad:d", OFFSET.format(8)),
    ("^xd", OFFSET.format(1)), ("=xd", OFFSET.format(1)), ("<xd", OFFSET.format(1)),
    ("3x^d", OFFSET.format(3)), ("2T{x}^d", OFFSET.format(2)), ("3T{x}^d", OFFSET.format(3)),
    ("99999999999T{x}^d", OFFSET.format(99999999999)),
    (">d", BIG), ("!d", BIG), ("d>", BIG), ("T{>d}", BIG),
    ("e", UNKNOWN.format("e")), ("\t", UNKNOWN.format("\t")), ("\td", UNKNOWN.format("\t")),
    ("d\t", UNKNOWN.format("\t")), ("n", UNKNOWN.format("n")), ("N", UNKNOWN.format("N")),
    ("P", UNKNOWN.format("P")), ("u", UNKNOWN.format("u")),
    ("Z", "Unexpected format string character: 'Z'"), ("Ze", "Unexpected format string character: 'Z'"),
    ("Zq", "Unexpected format string character: 'Z'"),
    ("T", "Buffer acquisition: Expected '{' after 'T'"), ("Td", "Buffer acquisition: Expected '{' after 'T'"),
    ("2(3)d", "Cannot handle repeated arrays in format string"),
    ("3(2,2)d", "Cannot handle repeated arrays in format string"),
    ("(3)d", "Expected 0 dimension(s), got 1"), ("(2,3)d", "Expected 0 dimension(s), got 2"),
    ("(1,1,1)d", "Expected 0 dimension(s), got 3"),
    ("(2;3)d", "Expected a comma in format string, got ';'"),
    ("(2,3", "Unexpected end of format string, expected ')'"),
    ("(", "Unexpected end of format string, expected ')'"),
    ("(x)d", UNKNOWN.format("x")),
])
def test_double_format_errors(fmt, msg):
    assert str(rejects(doubles(fmt))) == msg


@pytest.mark.parametrize("fmt, itemsize, msg", [
    ("d", 4, "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"),
    ("d", 16, "Item size of buffer (16 bytes) does not match size of 'double' (8 bytes)"),
    ("d", 1, "Item size of buffer (1 byte) does not match size of 'double' (8 bytes)"),
    ("d", 0, "Item size of buffer (0 byte) does not match size of 'double' (8 bytes)"),
    ("dx", 9, "Item size of buffer (9 bytes) does not match size of 'double' (8 bytes)"),
])
def test_item_size_errors(fmt, itemsize, msg):
    assert str(rejects(doubles(fmt, itemsize=itemsize))) == msg


NDIM = "Buffer has wrong number of dimensions (expected 1, got {})"


@pytest.mark.parametrize("kw, msg", [
    (dict(shape=[3, 1], strides=[8, 8]), NDIM.format(2)),
    (dict(shape=[1, 1, 3], strides=[24, 24, 8]), NDIM.format(3)),
    (dict(shape=None, strides=None), NDIM.format(0)),
    (dict(shape=[3, 1], strides=[8, 8], fmt="f"), NDIM.format(2)),  # dimensions come first
    (dict(shape=[3], strides=None, suboffsets=[-1]), "Buffer exposes suboffsets but no strides"),
    (dict(shape=[3], suboffsets=[0]), "Buffer not compatible with direct access in dimension 0."),
    (dict(shape=[3], suboffsets=[5]), "Buffer not compatible with direct access in dimension 0."),
    (dict(shape=[1], strides=None, suboffsets=[0]),
     "Buffer not compatible with direct access in dimension 0."),
])
def test_layout_errors(kw, msg):
    assert str(rejects(doubles(kw.pop("fmt", "d"), **kw))) == msg


def test_suboffsets_that_allow_direct_access():
    assert_same_result(add_values(doubles(suboffsets=[-1])), of(VALUES).result())
    one = doubles(values=[5.0], shape=[1], strides=None, suboffsets=[-1])
    assert_same_result(add_values(one), of([5.0]).result())
    # Nothing to read, so the layout is not looked at.
    empty = Exporter(b"", format="d", itemsize=8, shape=[0], strides=None, suboffsets=[0])
    assert add_values(empty)["count"] == 0


@pytest.mark.parametrize("make, want", [
    (lambda: doubles(values=[1.0, 9.0, 2.0, 9.0, 4.0], shape=[3], strides=[16]), [1.0, 2.0, 4.0]),
    (lambda: doubles(offset=16, length=24, strides=[-8]), [4.0, 2.0, 1.0]),
    (lambda: doubles(values=[1.0, 9.0, 2.0, 9.0, 4.0], offset=32, length=40, shape=[3], strides=[-16]),
     [4.0, 2.0, 1.0]),
    (lambda: Exporter(b"\0" + struct.pack("<3d", *VALUES), format="d", itemsize=8, shape=[3],
                      strides=[8], offset=1), VALUES),
    (lambda: doubles(strides=[0]), [1.0, 1.0, 1.0]),
    (lambda: doubles(strides=None), VALUES),
    (lambda: doubles(shape=[2]), [1.0, 2.0]),  # the length is shape[0], not len / itemsize
])
def test_layouts_read_in_place(make, want):
    assert_same_result(add_values(make()), of(want).result())


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("x"), BufferError("busy"), KeyError("k"),
                                   MemoryError()])
def test_exporter_errors_propagate(error):
    assert rejects(Exporter(b"", error=error), type(error)) is error


def test_read_only_exporter_refuses():
    err = rejects(doubles(readonly=True), BufferError)
    assert str(err) == "Exporter: buffer is read-only"


@pytest.mark.parametrize("error", [TypeError("no buffer"), TypeErrorSub("no buffer")])
def test_exporter_type_error_falls_back_to_iteration(error):
    err = rejects(Exporter(b"", error=error), TypeError)
    # The exporter is not iterable either: iter() fails while the exporter's error is handled.
    assert err is not error and err.__context__ is error


def id_buffer(fmt, itemsize, gids=(0, 1, 0), **kw):
    code = {4: "<i", 8: "<q"}.get(itemsize, "<q")
    data = b"".join(struct.pack(code, g) for g in gids)
    kw.setdefault("shape", [len(gids)])
    kw.setdefault("strides", [itemsize])
    return Exporter(data, format=fmt, itemsize=itemsize, **kw)


def assert_groups(g, groups):
    got = g.to_dict()
    for gid in range(4):
        assert_same_result(got[gid], of(groups.get(gid, [])).result())


@pytest.mark.parametrize("fmt, itemsize, requests", [
    ("i", 4, 1), ("<i", 4, 1), ("=i", 4, 1), ("=l", 4, 1), ("<l", 4, 1), ("T{i}", 4, 1),
    # A native long of 8 bytes is not an int32_t, so the 64-bit attempt takes it.
    ("l", LONG, LONG // 4), ("^l", LONG, LONG // 4),
    ("q", 8, 2), ("<q", 8, 2), ("=q", 8, 2), ("T{q:id:}", 8, 2),
])
def test_id_formats_accepted(fmt, itemsize, requests):
    g = CyGroupedStreamStats(4)
    ids, values = id_buffer(fmt, itemsize), doubles()
    assert g.add(ids, values) is None
    assert ids.exports == 0 and ids.requests == requests
    assert values.exports == 0 and values.requests == 1
    assert_groups(g, {0: [1.0, 4.0], 1: [2.0]})


def test_ids_read_in_place():
    g = CyGroupedStreamStats(4)
    ids = id_buffer("i", 4, gids=(2, 9, 3, 9, 1), shape=[3], strides=[-8], offset=16, length=20)
    g.add(ids, np.array([1.0, 9.0, 2.0, 9.0, 4.0])[::2])
    assert_groups(g, {1: [1.0], 3: [2.0], 2: [4.0]})


I64 = "Buffer dtype mismatch, expected 'int64_t' but got {}"


@pytest.mark.parametrize("fmt, itemsize, kw, exc, msg, requests", [
    ("I", 4, {}, ValueError, I64.format("'unsigned int'"), 2),
    ("L", LONG, {}, ValueError, I64.format("'unsigned long'"), 2),
    ("Q", 8, {}, ValueError, I64.format("'unsigned long long'"), 2),
    ("d", 8, {}, ValueError, I64.format("'double'"), 2),
    ("2i", 4, {}, ValueError, I64.format("'int'"), 2),
    ("xi", 4, {}, ValueError, I64.format("'int'"), 2),
    ("", 4, {}, ValueError, I64.format("end"), 2),
    (None, 1, {}, ValueError, I64.format("'unsigned char'"), 2),
    ("xq", 8, {}, ValueError, OFFSET.format(8), 2),
    ("qq", 8, {}, ValueError, EXTRA.format("'long long'"), 2),
    (">q", 8, {}, ValueError, BIG, 2),
    ("e", 4, {}, ValueError, UNKNOWN.format("e"), 2),
    # Only a format mismatch moves on to 64-bit ids; any other failure ends the call.
    ("i", 8, {}, ValueError, "Item size of buffer (8 bytes) does not match size of 'int32_t' (4 bytes)", 1),
    ("=l", 2, {}, ValueError, "Item size of buffer (2 bytes) does not match size of 'int32_t' (4 bytes)", 1),
    ("q", 4, {}, ValueError, "Item size of buffer (4 bytes) does not match size of 'int64_t' (8 bytes)", 2),
    ("i", 4, dict(shape=[3, 1], strides=[4, 4]), ValueError, NDIM.format(2), 1),
    ("i", 4, dict(suboffsets=[0]), ValueError, "Buffer not compatible with direct access in dimension 0.", 1),
    ("i", 4, dict(error=ValueError("x")), ValueError, "x", 1),
    ("i", 4, dict(readonly=True), BufferError, "Exporter: buffer is read-only", 1),
])
def test_id_errors(fmt, itemsize, kw, exc, msg, requests):
    g = CyGroupedStreamStats(4)
    ids, values = id_buffer(fmt, itemsize, **kw), doubles()
    with pytest.raises(exc) as info:
        g.add(ids, values)
    assert str(info.value) == msg
    assert ids.exports == 0 and ids.requests == requests
    assert values.exports == 0 and values.requests == 1
    assert_groups(g, {})


def test_ids_without_buffer_support_fall_back_to_iteration():
    g = CyGroupedStreamStats(4)
    ids, values = id_buffer("i", 4, error=TypeError("no buffer")), doubles()
    with pytest.raises(TypeError):  # zip_longest cannot iterate the exporter
        g.add(ids, values)
    assert ids.exports == 0 and ids.requests == 2
    assert values.exports == 0 and values.requests == 1
    assert_groups(g, {})


def test_values_checked_before_ids():
    g = CyGroupedStreamStats(4)
    ids, values = id_buffer("i", 4), doubles("f", itemsize=4)
    with pytest.raises(ValueError) as info:
        g.add(ids, values)
    assert str(info.value) == MISMATCH.format("'float'")
    assert ids.requests == 0 and values.exports == 0


@pytest.mark.parametrize("fmt", [
    "T{" * 5000 + "d" + "}" * 5000,       # nesting deeper than any stack should carry
    "2T{" * 60 + "x" + "}" * 60,          # pad-only repetition, doubling at every level
])
def test_hostile_formats_are_refused_quickly(fmt):
    with pytest.raises(ValueError, match="too deeply nested or repetitive"):
        add_values(doubles(fmt))
