"""Writes seed corpora for the fuzzers.

Format fuzzer: every short string constant of the tests. Format strings sit in parametrize
lists and helper calls all over the tests; taking every short string literal (names and
messages too) is simpler than finding them and costs only a few seeds that the fuzzer soon
discards.

State fuzzer (--state): stored-state blobs of every kind, written here from the documented
layout with struct and zlib (not by the package, so no build is needed), and a few
truncated or corrupted variants of them.

Sketch fuzzer (--sketch): quantile sketch payloads, single and grouped, written here from
the documented layout and bucket mapping (again without the package): zeros, subnormals,
infinities, negative values, bucket limits, dense groups, counts past 2**32, and a few
truncated or corrupted variants.

Scanner fuzzer (--scan): a head that picks the layout and range sizes (as
tests/fuzz/fuzz_scan.cpp reads it), then CSV records: numbers of every accepted form and
near-misses, missing cells, quoted fields, keys, LF, CRLF and bare CR line ends, empty
lines, and records with each fault the scanner reports.

    python3 tools/fuzz_seeds.py OUT_DIR
    python3 tools/fuzz_seeds.py --state OUT_DIR
    python3 tools/fuzz_seeds.py --sketch OUT_DIR
    python3 tools/fuzz_seeds.py --scan OUT_DIR
"""

import ast
import collections
import hashlib
import math
import pathlib
import struct
import sys
import zlib

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"

MAGIC = b"\x89VRNL\r\n\x1a"
STREAM, GROUPED, RECORD, RECORDS, SKETCH, GROUPED_SKETCH = 1, 2, 3, 4, 5, 6
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
        blob(STREAM, [one], version=3),
        blob(SKETCH, [one]), blob(7, [one], version=2), blob(STREAM, [one, one]), blob(GROUPED, []),
        blob(RECORDS, [one], count=2**64 - 1), blob(GROUPED, [one], count=2**31),
        blob(RECORDS, [(-1, 0.0, 0.0, 0.0, 0.0, 0.0)]), blob(RECORDS, [(0, -0.0, 0.0, 0.0, DBL_MAX, -DBL_MAX)]),
        blob(RECORDS, [(0, 0.0, 0.0, 0.0, inf, -inf)]),
    ])
    # Sketch kinds: the payload's length is the count; version 1 does not have them.
    single, grouped = sketch_payload([[1.0, -2.0, inf]]), sketch_payload([[0.5], [], [-0.0, 3.0]])
    seeds.update([
        sketch_blob(SKETCH, single), sketch_blob(GROUPED_SKETCH, grouped),
        sketch_blob(SKETCH, grouped), sketch_blob(GROUPED_SKETCH, single),
        sketch_blob(SKETCH, single, version=1), sketch_blob(SKETCH, single[:23]),
        sketch_blob(SKETCH, single, count=len(single) + 1),
        sketch_blob(SKETCH, single, count=2**64 - 1),
        sketch_blob(SKETCH, single[:-1] + bytes([single[-1] ^ 1])),
    ])
    return seeds


def sketch_blob(kind, payload, *, version=2, count=None):
    """A blob of a sketch kind: the count field holds the payload's length in bytes."""
    n = len(payload) if count is None else count
    body = MAGIC + struct.pack("<HBBIQ", version, kind, 0, 0, n) + payload
    return body + struct.pack("<I", zlib.crc32(body))


# The bucket mapping (src/vornel/sketchmap.hpp): a normal double 2**e (1 + s) falls in
# bucket (biased e - 1) k + floor(k P(s)), P(s) = (6/35 s**2 - 3/5 s + 10/7) s, evaluated in
# that order; buckets are stored by ordinal (-inf, negative indices - (i + 1), zero 0,
# positive i + 1, +inf).
NEG_INF_ORD, POS_INF_ORD = -2**31, 2**31 - 1
K_1PCT = 35  # the k of the default relative accuracy, 0.01


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def ordinal(x, k):
    b = bits(x)
    e, neg = (b >> 52) & 0x7FF, b >> 63
    if e == 0:
        return 0  # zeros and subnormals
    if e == 0x7FF:
        return NEG_INF_ORD if neg else POS_INF_ORD
    s = struct.unpack("<d", struct.pack("<Q", (b & (2**52 - 1)) | 0x3FF << 52))[0] - 1.0
    p = ((6.0 / 35.0 * s + -3.0 / 5.0) * s + 10.0 / 7.0) * s
    i = (e - 1) * k + min(int(p * k), k - 1)
    return -(i + 1) if neg else i + 1


def below(a, b):
    """a < b with -0.0 below +0.0, as the sketches order min and max."""
    return a < b or (a == b == 0.0 and math.copysign(1, a) < 0 < math.copysign(1, b))


def collapse(counts, max_buckets):
    """Folds every finite bucket below the max_buckets highest into the lowest kept."""
    finite = sorted(o for o in counts if o not in (NEG_INF_ORD, POS_INF_ORD))
    extra = len(finite) - max_buckets
    if max_buckets and extra > 0:
        counts[finite[extra]] += sum(counts.pop(o) for o in finite[:extra])


def group_bytes(values, k, max_buckets, scale):
    """A group of the values, each taken scale times."""
    values = [x for x in values if x == x]
    counts = collections.Counter()
    for x in values:
        counts[ordinal(x, k)] += scale
    collapse(counts, max_buckets)
    lo, hi = math.inf, -math.inf
    for x in values:
        lo, hi = (x if below(x, lo) else lo), (x if below(hi, x) else hi)
    out = struct.pack("<qddI", len(values) * scale, lo, hi, len(counts))
    return out + b"".join(struct.pack("<iQ", o, counts[o]) for o in sorted(counts))


def sketch_payload(groups, *, k=K_1PCT, max_buckets=0, scale=1):
    """The payload of a sketch with one group per list of values (one list: a single sketch)."""
    head = struct.pack("<IIQQ", k, 0, max_buckets, len(groups))
    return head + b"".join(group_bytes(g, k, max_buckets, scale) for g in groups)


def sketch_seeds():
    inf = math.inf
    spread = [1.5**n for n in range(-40, 40)]  # 80 buckets: a dense group
    mixed = [-inf, -1e300, -3.0, -1e-300, -5e-324, -0.0, 0.0, 5e-324, 1e-300, 2.5, 1e300, inf]
    small, grouped = sketch_payload([mixed]), sketch_payload([[1.0, 2.0], [], [-inf, 0.0, 7.0]])
    valid = [
        small, grouped, sketch_payload([[]]), sketch_payload([[1.0, 2.0, 3.0]]),
        sketch_payload([[0.0, -0.0, 5e-324]]), sketch_payload([[-0.0]]),
        sketch_payload([[inf, inf]]), sketch_payload([[-inf]]), sketch_payload([[-inf, inf]]),
        sketch_payload([[-7.0, -2.0, -1e-3]]), sketch_payload([spread]),
        sketch_payload([mixed], k=1), sketch_payload([[1.0, 1.0000001, 1.5, 1e300]], k=2**20),
        sketch_payload([spread], max_buckets=3), sketch_payload([mixed], max_buckets=1),
        sketch_payload([[1.0, 2.0, 3.0]], scale=2**31 + 1),
        sketch_payload([[4.0]], scale=2**32 + 5),
        sketch_payload([[1.0, 2.0, 3.0, 4.0]], scale=2**30 + 1),
        sketch_payload([[-1.0, 2.0]], scale=2**62 - 1),
        sketch_payload([[float(i), -float(i)] for i in range(20)]),
        sketch_payload([spread, [1.0], [], mixed], max_buckets=2),
        sketch_payload([spread[:10], spread[5:], [2.0]], max_buckets=6, scale=2**31 - 1),
        sketch_payload([[3.0] * 3, [1.0, 2.0, 4.0, 8.0], spread]),
    ]
    seeds = set(valid)
    seeds.update(small[:n] for n in (0, 4, 23, 24, 51, len(small) - 1))  # truncated
    seeds.add(grouped + b"\0")  # trailing byte
    for pos in (0, 4, 8, 16, 24, 32, 40, 48, 52, 56, len(small) - 1):  # one flipped bit each
        seeds.add(small[:pos] + bytes([small[pos] ^ 0x80]) + small[pos + 1:])
    seeds.add(sketch_payload([[1.0]], max_buckets=2**64 - 1))
    return seeds


# The missing-value cells a scanner input's head picks from, by bit (as in the harness).
SCAN_NA = ["", "NA", "N/A", "NULL", "nan", "-999", "0", "1e5", "+1", "inf", " ", "-", '"', "x,y",
           "1.", "\n"]
DEFAULT_NA = ["", "NA", "N/A", "NULL", "nan"]


def scan_head(roles, *, na=DEFAULT_NA, key_na=0, key_order=0, value_order=0, skip=0,
              sizes=(15, 15, 15, 15)):
    """The head of a scanner input: roles has a letter per field (v value, k key, - none);
    key_na picks the missing-key cells (0: the empty cell), key_order rotates (low three
    bits) and reverses (8) the key parts, skip is a mask of value columns not read, sizes
    index the harness's range sizes (15: all of the input at once)."""
    bits = sum({"-": 0, "v": 1, "k": 3}[r] << (2 * i) for i, r in enumerate(roles))
    mask = sum(1 << SCAN_NA.index(c) for c in na)
    return bytes([len(roles) - 1, bits & 255, bits >> 8, key_order | value_order << 4 | key_na << 6,
                  mask & 255, mask >> 8, 0xC0 | skip if skip else 0,
                  sizes[0] | sizes[1] << 4, sizes[2] | sizes[3] << 4])


def fnv1a(data):
    h = 2166136261
    for b in data:
        h = (h ^ b) * 16777619 & 0xFFFFFFFF
    return h


def keyed_input(head8, body, one_in=32):
    """A scanner input whose key parts take effect: the harness keeps them in inputs whose
    FNV-1a hash is a multiple of one_in; the last head byte (two range sizes) is picked
    to make it one, and the one before it too if need be."""
    for b in range(1 << 16):
        head = head8 if b < 256 else head8[:7] + bytes([b >> 8])
        x = head + bytes([b & 255]) + body
        if fnv1a(x) % one_in == 0:
            return x
    raise AssertionError("no head makes the input keyed")


# Records of three fields each.
SCAN_BODIES = [
    b"1,2.5,-3\n+4,.5,5.\n1e5,-1E-3,1e+308\n",
    b"1e309,-1e-400,4.9e-324\n2.4703282292062328e-324,1.7976931348623159e308,2.2250738585072011e-308\n",
    b"inf,-Infinity,NaN\nnan(abc_1),-nan,+INF\n 7 ,\t8\t, -9 \nnan(),nan(a-b),infinit\n",
    b"0x10,1_0,1e\n1e+,+-1,--2\n.,e5,.e5\n+ 1,1 0,\v1\n",
    b"00012,-0,-0.0\n123456789012345,1234567890123456,0.1234567890123456789012\n"
    b"0.00000000000000000000001,12345678901234567890,999999999999999.9\n",
    b",NA,N/A\nNULL,nan,\n-999,0,x\n1.,+1, \n",
    b'"1","2,5","a""b"\n"multi\nline",2,"3"\n"",""""," 4 "\n',
    b"a,1,2\nb,3,4\na,5,6\n,7,8\n\xc3\xa9t\xc3\xa9,9,10\n\"q,\"\"k\",11,12\nNA,-,13\n",
    b"1,2,3\n\n\n4,5,6\n\n",
    b"1,2,3\n4,5,6",
    b"1,2,3\n4,5\n7,8,9\n",
    b"1,2,3\n4,5,6,7\n",
    b'1,a"b,3\n',
    b'1,"a"b,3\n',
    b'1,2,"3\n4,5,6\n',
    b'1,2,"3""\n',
    b"\xff\xfe,1,2\n",
    b'"\xc3\x28",1,2\nok,3,4\n\xed\xa0\x80,5,6\n\xf4\x90\x80\x80,7,8\n',
]


def scan_seeds():
    layouts = [
        scan_head("vvv"), scan_head("vv-", na=["-999", "0", "1."]),
        scan_head("vvv", na=["1e5", "inf", " ", "+1", "-"], value_order=1),
        scan_head("vvv", na=[], skip=2), scan_head("-v-", na=['"', "x,y", "\n", ""]),
    ]
    # Layouts with keys are slow to scan (see the harness): fewer bodies, one line end each.
    keyed = [
        scan_head("kvv"), scan_head("vkk", key_order=8), scan_head("kvk", key_na=2, value_order=1),
        scan_head("kkk", key_na=3, key_order=1), scan_head("-vk", na=['"', "x,y", "\n", ""]),
    ]
    sizes = [(15, 15, 15, 15), (0, 0, 0, 0), (0, 1, 2, 3), (5, 9, 3, 12), (4, 4, 4, 4)]
    endings = [b"\n", b"\r\n", b"\r"]
    seeds = set()
    for i, body in enumerate(SCAN_BODIES):
        for j, head in enumerate(layouts):
            # Each line end, each with other range sizes.
            for ending, size in zip(endings, sizes[(i + j) % 3:]):
                resized = head[:7] + bytes([size[0] | size[1] << 4, size[2] | size[3] << 4])
                seeds.add(resized + body.replace(b"\n", ending))
    for i in (0, 6, 7, 10, 12, 16, 17):  # numbers, quotes, keys, faults, keys not UTF-8
        for j, head in enumerate(keyed):
            size = sizes[(i + j) % len(sizes)]
            body = SCAN_BODIES[i].replace(b"\n", endings[(i + j) % 3])
            seeds.add(keyed_input(head[:7] + bytes([size[0] | size[1] << 4]), body))
    # Other field counts: one value field, and eight fields of every role.
    seeds.add(scan_head("v", na=[]) + b"1\n\n2\r\n\r3\r\"\"\n-4")
    seeds.add(scan_head("v", sizes=(0, 0, 0, 0)) + b"1\nNA\n\"x\"\n2e-5\n")
    seeds.add(keyed_input(scan_head("kvkv-vkk", key_order=13, sizes=(2, 3, 5, 7))[:8],
                          b"a,1,b,2,x,3,c,d\r\na,4,b,5,y,6,c,d\r\nb,7,a,8,z,9,d,c\r\n,1,,2,,3,,\r\n"))
    # A CRLF that a range of two bytes would cut in two.
    seeds.add(scan_head("vv", sizes=(1, 1, 1, 1)) + b"1,2\r\n3,4\r\n5,6\r\n")
    return seeds


KINDS = {None: ("format", format_seeds), "--state": ("state", state_seeds),
         "--sketch": ("sketch", sketch_seeds), "--scan": ("scan", scan_seeds)}


def main(argv):
    flag = argv[0] if argv and argv[0] in KINDS else None
    if flag:
        argv = argv[1:]
    if len(argv) != 1:
        sys.exit(__doc__)
    out = pathlib.Path(argv[0])
    out.mkdir(parents=True, exist_ok=True)
    name, make = KINDS[flag]
    seeds = make()
    for s in seeds:
        (out / hashlib.sha1(s).hexdigest()).write_bytes(s)
    print(f"{len(seeds)} {name} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1:])
