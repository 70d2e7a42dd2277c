"""Writes seed corpora for the fuzzers.

Format fuzzer: every short string constant of the tests. Format strings sit in parametrize
lists and helper calls all over the tests; taking every short string literal (names and
messages too) is simpler than finding them and costs only a few seeds that the fuzzer soon
discards.

State fuzzer (--state): stored-state blobs of every kind, written here from the documented
layout with struct and zlib (not by the package, so no build is needed), and a few
truncated or corrupted variants of them.

    python3 tools/fuzz_seeds.py OUT_DIR
    python3 tools/fuzz_seeds.py --state OUT_DIR
"""

import ast
import hashlib
import pathlib
import struct
import sys
import zlib

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"

MAGIC = b"\x89VRNL\r\n\x1a"
STREAM, GROUPED, RECORD, RECORDS = 1, 2, 3, 4
DBL_MAX = struct.unpack("<d", struct.pack("<Q", 0x7FEFFFFFFFFFFFFF))[0]
EMPTY = (0, 0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)


def strings(path):
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
            value = node.value.encode("latin-1", "replace") if isinstance(node.value, str) else node.value
            if len(value) <= 64:
                yield value


def format_seeds():
    seeds = {s for path in sorted(TESTS.glob("test_*.py")) for s in strings(path)}
    # Deep nesting is built at run time in the tests; give the fuzzer one such string.
    seeds.add(b"T{" * 100 + b"d" + b"}" * 100)
    return seeds


def blob(kind, records, *, version=1, count=None):
    """A blob as the format defines it; count overrides the record count in the header."""
    body = MAGIC + struct.pack("<HBBIQ", version, kind, 0, 0, len(records) if count is None else count)
    body += b"".join(struct.pack("<q5d", *r) for r in records)
    return body + struct.pack("<I", zlib.crc32(body))


def record(*values):
    """The record of a stream fed values, by the same update a real accumulator uses."""
    n, total, mean, m2, lo, hi = EMPTY
    for x in values:
        n += 1
        total += x
        delta = x - mean
        mean += delta / n
        m2 += delta * (x - mean)
        lo, hi = min(lo, x), max(hi, x)
    return (n, total, mean, m2, lo, hi)


def state_seeds():
    inf, nan = float("inf"), float("nan")
    one = record(1.0, 2.0, 4.0)
    few = [record(1.0), EMPTY, record(-3.5, 2.25, 1e300), record(0.5, 0.5)]
    odd = [record(nan), record(inf, 1.0), record(-inf), record(-0.0), EMPTY, (2, nan, nan, nan, -0.0, inf)]
    valid = [
        blob(STREAM, [one]), blob(STREAM, [EMPTY]), blob(RECORD, [one]), blob(RECORD, [EMPTY]),
        blob(GROUPED, [one]), blob(GROUPED, few), blob(GROUPED, odd),
        blob(RECORDS, []), blob(RECORDS, [one]), blob(RECORDS, few), blob(RECORDS, odd),
    ]
    seeds = set(valid)
    small, big = valid[0], valid[5]
    seeds.update(small[:n] for n in (0, 7, 8, 23, 24, 27, 71))  # truncated
    seeds.add(big + b"\0")  # trailing byte
    for pos in (0, 8, 9, 10, 11, 12, 16, 23, 30, len(small) - 1):  # one flipped bit each
        seeds.add(small[:pos] + bytes([small[pos] ^ 0x10]) + small[pos + 1:])
    seeds.update([
        blob(STREAM, [one], version=2), blob(STREAM, [one], version=0),
        blob(5, [one]), blob(STREAM, [one, one]), blob(GROUPED, []),
        blob(RECORDS, [one], count=2**64 - 1), blob(GROUPED, [one], count=2**31),
        blob(RECORDS, [(-1, 0.0, 0.0, 0.0, 0.0, 0.0)]), blob(RECORDS, [(0, -0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)]),
        blob(RECORDS, [(0, 0.0, 0.0, 0.0, inf, -inf)]),
    ])
    return seeds


def main(argv):
    state = argv[:1] == ["--state"]
    if state:
        argv = argv[1:]
    if len(argv) != 1:
        sys.exit(__doc__)
    out = pathlib.Path(argv[0])
    out.mkdir(parents=True, exist_ok=True)
    seeds = state_seeds() if state else format_seeds()
    for s in seeds:
        (out / hashlib.sha1(s).hexdigest()).write_bytes(s)
    print(f"{len(seeds)} {'state' if state else 'format'} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1:])
