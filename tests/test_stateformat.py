"""The stored form read by vornel.state.loads: blobs built here from the documented layout
with struct and zlib, so that the parser is checked against the format, not against dumps."""

import random
import struct
import zlib

import numpy as np
import pytest

from vornel import CyGroupedStreamStats, CyStreamStats, state

MAGIC = b"\x89VRNL\r\n\x1a"
STREAM, GROUPED, RECORD, RECORDS = 1, 2, 3, 4
DBL_MAX = float(np.finfo(np.float64).max)
EMPTY = (0, 0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)
ONE = (3, 7.0, 2.3333333333333335, 4.666666666666666, 1.0, 4.0)  # 1.0, 2.0, 4.0
NAN, INF = float("nan"), float("inf")

TRUNCATED = "truncated state"
MAGIC_MSG = r"not a vornel state blob \(bad magic bytes\)"
VERSION = "unsupported state format version"
CORRUPTED = "corrupted state"
INCONSISTENT = "inconsistent state"
CHECKSUM = "corrupted state: checksum mismatch"
TRAILING = "inconsistent state: trailing bytes after the checksum"


def header(kind, count, *, version=1, flags=0, reserved=0, magic=MAGIC):
    return magic + struct.pack("<HBBIQ", version, kind, flags, reserved, count)


def seal(body):
    return body + struct.pack("<I", zlib.crc32(body))


def blob(kind, records, *, count=None, **fields):
    head = header(kind, len(records) if count is None else count, **fields)
    return seal(head + b"".join(struct.pack("<q5d", *r) for r in records))


def as_bytes(records):
    return np.array(records, state.RECORD_DTYPE).tobytes()


@pytest.mark.parametrize("kind, records, make", [
    (STREAM, [ONE], lambda: CyStreamStats()),
    (STREAM, [EMPTY], None),
    (GROUPED, [ONE, EMPTY, (1, NAN, NAN, NAN, DBL_MAX, -DBL_MAX), (2, INF, INF, NAN, 1.0, INF)], None),
    (GROUPED, [(1, -0.0, -0.0, 0.0, -0.0, -0.0)], None),
    (RECORD, [ONE], None),
    (RECORDS, [], None),
    (RECORDS, [ONE, EMPTY, ONE], None),
])
def test_documented_layout_loads(kind, records, make):
    data = blob(kind, records)
    for view in (data, bytearray(data), memoryview(b"x" + data)[1:]):  # unaligned too
        got = state.loads(view, records=True)
        assert got.shape == (() if kind in (STREAM, RECORD) else (len(records),))
        assert got.tobytes() == as_bytes(records)
    obj = state.loads(data)
    want_type = {STREAM: CyStreamStats, GROUPED: CyGroupedStreamStats}.get(kind, np.ndarray)
    assert type(obj) is want_type
    # dumps writes exactly the documented layout.
    assert state.dumps(obj) == data


def test_dumps_of_a_stream_is_the_documented_blob():
    s = CyStreamStats()
    s.add_values([1.0, 2.0, 4.0])
    assert state.dumps(s) == blob(STREAM, [ONE])


@pytest.mark.parametrize("data, message", [
    (b"", TRUNCATED),
    (MAGIC, TRUNCATED),
    (header(STREAM, 1)[:23], TRUNCATED),
    (header(STREAM, 1), TRUNCATED),
    (header(RECORDS, 0), TRUNCATED),  # no room for the checksum
    (blob(STREAM, [ONE])[:-1], TRUNCATED),
    (blob(STREAM, [ONE], magic=b"\x89VRNL\n\r\x1a"), MAGIC_MSG),
    (b"\0" * 100, MAGIC_MSG),
    (blob(STREAM, [ONE], version=0), VERSION + r": 0 \(this vornel reads versions 1 to 2\)"),
    (blob(STREAM, [ONE], version=3), VERSION + ": 3 "),
    (blob(STREAM, [ONE], version=0xFFFF), VERSION + ": 65535 "),
    (blob(0, [ONE]), CORRUPTED + ": unknown kind"),
    (blob(5, [ONE]), CORRUPTED + ": unknown kind"),  # the sketch kinds came with version 2
    (blob(7, [ONE], version=2), CORRUPTED + ": unknown kind"),
    (blob(0xFF, [ONE]), CORRUPTED + ": unknown kind"),
    (blob(STREAM, [ONE], flags=1), CORRUPTED + ": flags or reserved"),
    (blob(STREAM, [ONE], reserved=1 << 31), CORRUPTED + ": flags or reserved"),
    (blob(STREAM, []), INCONSISTENT + ": a record count"),
    (blob(STREAM, [ONE, ONE]), INCONSISTENT + ": a record count"),
    (blob(RECORD, [ONE, ONE]), INCONSISTENT + ": a record count"),
    (blob(GROUPED, []), INCONSISTENT + ": a record count"),
    (blob(GROUPED, [ONE], count=2**31), INCONSISTENT + ": a record count"),
    (blob(GROUPED, [ONE], count=2**31 - 1), TRUNCATED),
    (blob(RECORDS, [ONE], count=2), TRUNCATED),
    (blob(RECORDS, [ONE, ONE], count=1), TRAILING),
    (blob(STREAM, [ONE]) + b"\0", TRAILING),
    (seal(blob(STREAM, [ONE])), TRAILING),  # sealed twice
    (blob(STREAM, [ONE])[:-1] + b"\0", CHECKSUM),
])
def test_refusals(data, message):
    with pytest.raises(ValueError, match="^" + message):
        state.loads(data)
    with pytest.raises(ValueError, match="^" + message):
        state.loads(data, records=True)


@pytest.mark.parametrize("count", [
    2**64 - 1, 2**63, 2**60, 2**60 + 1, (2**64 - 1) // 48, (2**64 - 1) // 48 + 1,
])
@pytest.mark.parametrize("n_records", [0, 1])
def test_huge_counts_refused_without_allocating(count, n_records):
    # 48 * 2**60 wraps to 0 modulo 2**64: a length rule computed with wrapping arithmetic
    # would take a blob of no records, or of one, for 2**60 (+ 1) records.
    data = blob(RECORDS, [ONE] * n_records, count=count)
    with pytest.raises(ValueError, match="^" + TRUNCATED):
        state.loads(data, records=True)


@pytest.mark.parametrize("faults, message", [
    # Several faults at once: the first in the order of the checks is the one reported.
    (b"\0" * 10, TRUNCATED),
    (header(9, 7, version=9, flags=1, magic=b"VORNEL!!") + b"\0" * 100, MAGIC_MSG),
    (header(9, 0, version=9, flags=1) + b"\0" * 4, VERSION),
    (header(9, 0, flags=1) + b"\0" * 4, CORRUPTED + ": unknown kind"),
    (header(STREAM, 0, reserved=1) + b"\0" * 4, CORRUPTED + ": flags"),
    (header(STREAM, 0) + b"\0" * 4, INCONSISTENT + ": a record count"),
    (header(RECORDS, 1) + b"\0" * 4, TRUNCATED),
    (header(RECORDS, 0) + b"\0" * 5, TRAILING),
    (header(RECORDS, 0) + b"\0" * 4, CHECKSUM),
])
def test_check_order(faults, message):
    with pytest.raises(ValueError, match="^" + message):
        state.loads(faults)


def test_every_truncation_refused():
    data = blob(GROUPED, [ONE, EMPTY])
    for n in range(len(data)):
        with pytest.raises(ValueError, match="^" + TRUNCATED):
            state.loads(data[:n])


@pytest.mark.parametrize("data", [blob(STREAM, [ONE]), blob(RECORDS, [])], ids=["stream", "empty"])
def test_every_single_bit_flip_refused(data):
    for bit in range(8 * len(data)):
        flipped = bytearray(data)
        flipped[bit // 8] ^= 1 << bit % 8
        with pytest.raises(ValueError, match=f"^({TRUNCATED}|{MAGIC_MSG}|{VERSION}|{CORRUPTED}|{INCONSISTENT})"):
            state.loads(bytes(flipped), records=True)


@pytest.mark.parametrize("n", [0, 1, 3, 4, 7, 8, 255, 1000, 4099])
def test_crc_is_zlibs(n):
    rng = random.Random(n)
    payload = header(RECORDS, 0) + rng.randbytes(n)
    assert state._state.crc32(payload) == zlib.crc32(payload)
    # A blob whose records are arbitrary bytes loads when sealed with zlib's CRC, and no
    # other checksum passes.
    records = rng.randbytes(48 * (n // 48))
    body = header(RECORDS, n // 48) + records
    assert state.loads(seal(body), records=True).tobytes() == records
    for wrong in (zlib.crc32(body) ^ 1 << rng.randrange(32), zlib.crc32(body[:-1]), 0):
        with pytest.raises(ValueError, match="^" + CHECKSUM):
            state.loads(body + struct.pack("<I", wrong))


@pytest.mark.parametrize("kind", [STREAM, GROUPED])
@pytest.mark.parametrize("field, value, message", [
    ("count", -1, r"count is negative \(-1\)"),
    ("sum", -0.0, "sum is not its initial value"),
    ("mean", 1.0, "mean is not its initial value"),
    ("m2", NAN, "m2 is not its initial value"),
    ("min", INF, "min is not its initial value"),
    ("max", -INF, "max is not its initial value"),
])
def test_implausible_records_refused(kind, field, value, message):
    bad = dict(zip(state.RECORD_DTYPE.names, EMPTY), **{field: value})
    if field != "count":
        bad["max"] = -1.0 if field != "max" else bad["max"]  # a later field is wrong too
    records = [tuple(bad.values())] if kind == STREAM else [ONE, tuple(bad.values())]
    where = "record" if kind == STREAM else r"records\[1\]"
    data = blob(kind, records)
    for as_records in (False, True):
        with pytest.raises(ValueError, match=f"^{where}.{message}"):
            state.loads(data, records=as_records)
    # A records array holds whatever it was given, and stores and loads it back.
    raw = blob(RECORDS, records)
    assert state.loads(raw).tobytes() == as_bytes(records)
