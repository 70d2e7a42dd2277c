"""The vornel command on damaged and random input, run as real processes: random bytes under
CSV, compressed, Parquet and .npy names, and byte-level mutations of valid files of each
kind, at the default block size and at tiny ones. Every run either exits 0, printing what
the command prints in this process (and, for CSV whose reading is unambiguous, the numbers
of a plain reading of the text), or exits 2 with one `vornel: error:` line and nothing on
stdout: never a traceback, a signal or a hang.

The cases are seeded, so every run is the same. VORNEL_CLI_FUZZ_CASES (default 10) sets the
inputs per family (twice that for CSV) for a longer run by hand:
`tools/devenv run env VORNEL_CLI_FUZZ_CASES=200 python -m pytest tests/test_cli_fuzz.py`."""

import bz2
import contextlib
import csv
import gzip
import io
import json
import lzma
import math
import os
import random
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vornel
from vornel import CyStreamStats, cli

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
zstd = pytest.importorskip("compression.zstd")

SITE = os.path.dirname(os.path.dirname(os.path.abspath(vornel.__file__)))
CASES = int(os.environ.get("VORNEL_CLI_FUZZ_CASES", "10"))
TIMEOUT = 20
ARGS = [[], ["-g", "k"], ["-c", "x"], ["-f", "csv"], ["-f", "json"], ["-c", "x", "-f", "csv"],
        ["-g", "k", "-f", "csv"], ["-g", "k", "-c", "y", "-f", "json"],
        ["-c", "y", "-c", "x", "-f", "json"], ["--keep-nan", "-g", "k", "-f", "csv"]]
PACK = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress, ".zst": zstd.compress}
MAGIC = [b"", b"\x1f\x8b\x08", b"BZh9", b"\xfd7zXZ\x00", b"(\xb5/\xfd", b"PAR1",
         b"\x93NUMPY\x01\x00"]
NA = ["", "NA", "N/A", "NULL", "null", "NaN", "nan"]
NUMBER = re.compile(r"-?\d+(\.\d+)?([eE][-+]?\d+)?", re.ASCII)
# A cell with a character outside these is no number in any syntax (hex, inf, nan, ...).
TEXT = re.compile(r"[^-+.()_\sa-fA-FiInNtTyYxXpP0-9]", re.ASCII)
# RFC 4180 quoting: a quote only encloses a field, doubled inside it; anything else is bad.
FIELD = r'(?:"(?:[^"]|"")*"|[^,"\r\n]*)'
QUOTING = re.compile(rf"(?:{FIELD}(?:,{FIELD})*(?:\r\n|\n|\r))*(?:{FIELD}(?:,{FIELD})*)?")


def valid_csv(rng):
    """Keys holding commas, quotes and line breaks; NA cells, signed zeros, subnormals and
    quoted numbers; a quoted text column and header name; LF or CRLF; sometimes a BOM."""
    eol = rng.choice(["\n", "\r\n"])
    rows = ['k,x,y,"t t"']
    for i in range(rng.randint(3, 25)):
        k = rng.choice(["k1", '"k,2"', '"k ""3"""', f'"k{eol}4"', "", '"k1"'])
        x = rng.choice([repr(rng.uniform(-1e3, 1e3)), str(rng.randint(-9, 9)), "-0.0", "1e-320",
                        "1.5e300", rng.choice(NA)])
        y = rng.choice(['{}', '"{}"']).format(rng.randint(-50, 50))
        rows.append(f'{k},{x},{y},"w ""{i}"", x"')
    text = eol.join(rows) + rng.choice([eol, ""])
    return rng.choice([b"", b"\xef\xbb\xbf"]) + text.encode()


def valid_parquet(rng):
    n, out = rng.randint(1, 30), io.BytesIO()
    pq.write_table(pa.table({"k": [rng.choice(["a", "b", None, "é"]) for _ in range(n)],
                             "x": [rng.choice([rng.random(), None, math.nan]) for _ in range(n)],
                             "y": [rng.randint(-9, 9) for _ in range(n)]}),
                   out, compression=rng.choice(["none", "snappy"]), row_group_size=7)
    return out.getvalue()


def valid_npy(rng):
    n, out = rng.randint(1, 20), io.BytesIO()
    np.save(out, rng.choice([np.arange(n) / 3, np.arange(2 * n, dtype=np.int16).reshape(n, 2),
                             np.array([(str(i % 3), i / 7) for i in range(n)],
                                      dtype=[("k", "U2"), ("x", "<f8")])]))
    return out.getvalue()


def mutate(rng, data, hot=slice(None)):
    """Flip, insert, delete, truncate, duplicate, or insert CSV syntax; half of the edits go
    to the slice `hot` (a header, a footer)."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        lo, hi = hot.indices(len(data))[:2] if rng.random() < .5 else (0, len(data))
        at, op = rng.randint(lo, max(lo, hi - 1)), rng.randrange(6)
        if op == 0 and at < len(data):
            data[at] ^= 1 << rng.randrange(8)
        elif op == 1:
            data[at:at] = bytes([rng.randrange(256)])
        elif op in (2, 3):
            del data[at:at + rng.randint(1, 4) if op == 2 else None]
        elif op == 4:
            data[at:at] = data[rng.randint(0, at):at][:rng.randint(1, 40)]
        else:
            data[at:at] = rng.choice([b'"', b",", b"\n", b"\r\n", b"\r", b'""', b"0", b"-", b"."])
    return bytes(data)


def cases(family, rng):
    """(file name, bytes, its CSV text or None, [(args, via stdin)]) for each input."""
    for i in range(CASES * (2 if family == "csv" else 1)):
        # Tiny ranges put record boundaries, quotes and line ends at every range edge.
        block = rng.choice([[], ["--block-size", str(rng.randint(8, 200))]])
        args = [a + block for a in rng.sample(ARGS, 3 if family == "csv" else 2)]
        ext, plain = rng.choice(list(PACK)), None
        if family == "random":
            ext = rng.choice([".csv", ".parquet", ".npy", *(".csv" + e for e in PACK)])
            alphabet = rng.choice([bytes(range(256)), b'0123456789.,-"\n\rxk eNA'])
            data = rng.choice(MAGIC) + bytes(rng.choices(alphabet, k=rng.randint(0, 200)))
        elif family == "csv" or family == "compressed" and rng.random() < .3:
            # Damaged text; under a compressed name, a sound stream of it.
            plain = mutate(rng, valid_csv(rng))
            ext, data = (".csv", plain) if family == "csv" else (".csv" + ext, PACK[ext](plain))
        elif family == "compressed":  # the trailer (length, checksum) is edited too
            ext, data = ".csv" + ext, mutate(rng, PACK[ext](valid_csv(rng)), slice(-24, None))
        elif family == "parquet":  # the footer holds the schema and the offsets
            ext, data = ".parquet", mutate(rng, valid_parquet(rng), slice(-400, None))
        else:
            ext, data = ".npy", mutate(rng, valid_npy(rng), slice(0, 128))  # the header
        yield f"{i}{ext}", data, plain, [(a, ext == ".csv" and rng.random() < .3) for a in args]


def result(values):
    s = CyStreamStats()
    s.add_values(values)
    res = s.result()
    if res["count"] and all(map(math.isnan, values)):  # no comparable value: no min, no max
        res["min"] = res["max"] = math.nan
    return res


def reference(plain, args):
    """What the command must print for this CSV text, by Python's CSV reader: ({(keys...,
    column): stats}, columns left open) or "error" (quotes out of place among them); None
    where the rules leave it open (an odd cell in a named column, a table)."""
    named, by = ([args[i + 1] for i, a in enumerate(args) if a == o] for o in ("-c", "-g"))
    na = [c for c in NA if not ("--keep-nan" in args and c.lower() == "nan")]
    # Bytes that are not UTF-8 become lone surrogates: text in a cell, an error in a key.
    text = plain.removeprefix(b"\xef\xbb\xbf").decode(errors="surrogateescape")
    if not QUOTING.fullmatch(text):
        return "error"
    try:
        rows = [r for r in csv.reader(io.StringIO(text, newline=""), strict=True) if r]
    except csv.Error as e:  # at the end of the data: a quoted field never closed
        return "error" if "unexpected end of data" in str(e) else None
    if "\x00" in text:
        return None
    if not rows or len(set(rows[0])) < len(rows[0]) or any(len(r) != len(rows[0]) for r in rows):
        return "error"
    head, body = rows[0], rows[1:]
    if "" in head or not all(c.isascii() for c in head):
        return None
    if not set(named + by) <= set(head):
        return "error"
    kinds = {c: {"na" if v in na else "num" if NUMBER.fullmatch(v) or v in ("NaN", "nan")
                 else "text" if TEXT.search(v) else "open" for v in (r[i] for r in body)}
             for i, c in enumerate(head)}
    keys = [tuple(r[head.index(b)] or None for b in by) for r in body]
    if any("text" in kinds[c] for c in named) or any(
            re.search("[\udc80-\udcff]", k or "") for key in keys for k in key):
        return "error"
    # By default a column is numeric when every cell is a number or missing, one a number.
    cols = named or [c for c in head if c not in by and "num" in kinds[c]
                     and kinds[c] <= {"na", "num"}]
    left = {c for c in head if not named and c not in by and "open" in kinds[c]
            and "text" not in kinds[c]}
    if not cols and not left:
        return "error"
    if "-f" not in args or any("open" in kinds[c] for c in named):
        return None
    want = {}
    for key in dict.fromkeys(keys) if by else [()]:
        for c in cols:
            cells = [r[head.index(c)] for r, k in zip(body, keys) if k == key]
            res = result([float(v) for v in cells if v not in na])
            # Every cell of the group that the count left out held no value.
            want[(*key, c)] = {"count": res["count"], "missing": len(cells) - res["count"],
                               **res}
    return want, left


def parse(out, fmt):
    """{(keys..., column): stats} from --format csv or json; an empty key cell is None."""
    got = {}
    for rec in json.loads(out) if fmt == "json" else csv.DictReader(io.StringIO(out, newline="")):
        names, values, at = list(rec), list(rec.values()), list(rec).index("column") + 1
        got[tuple(v if v != "" else None for v in values[:at])] = {
            s: None if v in ("", None) else int(v) if s in ("count", "missing") else float(v)
            for s, v in zip(names[at:], values[at:])}
    return got


def run(path, args, stdin):
    """The command as a process: (argv, return code or None on a hang, stdout, stderr)."""
    argv = ["describe", "-" if stdin else path.name, *args]
    try:
        res = subprocess.run([sys.executable, "-m", "vornel", *argv], capture_output=True,
                             env=dict(os.environ, PYTHONPATH=SITE), cwd=path.parent,
                             timeout=TIMEOUT, **({"input": path.read_bytes()} if stdin
                                                 else {"stdin": subprocess.DEVNULL}))
    except subprocess.TimeoutExpired:
        return argv, None, "", ""
    return argv, res.returncode, *(b.decode(errors="replace") for b in (res.stdout, res.stderr))


def in_process(argv, stdin):
    out, err, saved = io.StringIO(), io.StringIO(), sys.stdin
    if stdin is not None:
        sys.stdin = io.TextIOWrapper(io.BytesIO(stdin))
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            return cli.main(argv), out.getvalue(), err.getvalue()
    finally:
        sys.stdin = saved


def fault(path, plain, argv, rc, out, err):
    """What is wrong with one run, or "" if nothing."""
    if rc is None:
        return f"no exit within {TIMEOUT} s"
    if rc != 2 and (rc != 0 or err):
        return "killed by a signal" if rc < 0 else "traceback or stray output"
    if rc == 2 and (out or err.count("\n") != 1 or not err.startswith("vornel: error: ")):
        return "not one error line"
    try:
        with contextlib.chdir(path.parent):
            mine = in_process(argv, path.read_bytes() if argv[1] == "-" else None)
    except Exception as e:  # noqa: BLE001 - any escape is the fault being reported
        return f"in this process: {type(e).__name__}: {e}"
    if mine != (rc, out, err):
        return f"differs from this process: {mine!r:.1000}"
    want = reference(plain, argv[2:]) if plain is not None else None
    if rc == 0 and want == "error":
        return "exit 0 where the input is bad"
    if rc == 2 and isinstance(want, tuple):
        return "exit 2 where a plain reading succeeds"
    # Bit for bit (repr tells -0.0 from 0.0), any NaN equal to any other.
    if rc == 0 and want and repr({k: v for k, v in parse(out, argv[argv.index("-f") + 1]).items()
                                  if k[-1] not in want[1]}) != repr(want[0]):
        return f"numbers differ from a plain reading, which gives {want[0]!r:.1000}"
    return ""


@pytest.mark.parametrize("family", ["random", "csv", "compressed", "parquet", "npy"])
def test_damaged_input_fails_cleanly_or_agrees(tmp_path, family):
    rng = random.Random(f"vornel-cli-{family}")
    runs = []
    for name, data, plain, argsets in cases(family, rng):
        (tmp_path / name).write_bytes(data)
        runs += [(tmp_path / name, plain, args, stdin) for args, stdin in argsets]
    with ThreadPoolExecutor(2) as pool:  # two processes at once; the checks one at a time
        done = list(pool.map(lambda r: run(r[0], r[2], r[3]), runs))
    report = [f"{what}\n  input {path} {path.read_bytes()[:300]!r}\n  argv {argv}, rc {rc}"
              f"\n  stdout {out[:300]!r}\n  stderr (end) {err.splitlines()[-4:]}"
              for (path, plain, *_), (argv, rc, out, err) in zip(runs, done)
              if (what := fault(path, plain, argv, rc, out, err))]
    assert not report, f"{len(report)} of {len(runs)} runs failed:\n" + "\n".join(report)
