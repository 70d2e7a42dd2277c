"""The vornel command: inputs, formats, grouping and errors. Most cases run in this process,
each at the default block size and at a tiny one, which must print the same; a few run as a
subprocess, where the process itself matters."""

import bz2
import contextlib
import csv
import gzip
import io
import json
import lzma
import math
import os
import subprocess
import sys
import sysconfig
from typing import NamedTuple

import numpy as np
import pytest

import vornel
from vornel import CyStreamStats, cli

pa = pytest.importorskip("pyarrow")

SITE = os.path.dirname(os.path.dirname(os.path.abspath(vornel.__file__)))
TINY = "61"  # bytes: every range a record or two, and records longer than a range


class Out(NamedTuple):
    rc: int
    out: str
    err: str


def call(*args, cwd=None, stdin=None):
    """The command in this process; stdin is bytes."""
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdin
    if stdin is not None:
        sys.stdin = io.TextIOWrapper(io.BytesIO(stdin))
    try:
        with (contextlib.chdir(cwd or os.getcwd()), contextlib.redirect_stdout(out),
              contextlib.redirect_stderr(err)):
            rc = cli.main([str(a) for a in args])
    finally:
        sys.stdin = saved
    return Out(rc, out.getvalue(), err.getvalue())


def run(*args, cwd=None, stdin=None):
    """The command at the default block size; at a tiny one it must print the same."""
    got = call(*args, cwd=cwd, stdin=stdin)
    assert call(*args, "--block-size", TINY, cwd=cwd, stdin=stdin) == got
    return got


def process(*args, stdin=None, cwd=None):
    env = dict(os.environ, PYTHONPATH=SITE)
    return subprocess.run([sys.executable, "-m", "vornel", *args], input=stdin,
                          capture_output=True, env=env, cwd=cwd)


def assert_error(res, message):
    """Exit status 2, nothing on stdout and one line on stderr, never a traceback."""
    assert (res.rc, res.out) == (2, ""), res
    assert res.err.count("\n") == 1 and "Traceback" not in res.err, res.err
    assert res.err.startswith(f"vornel: error: {message}"), res.err


def parse_csv_output(text):
    """{(key cells..., column): {stat: value}} from --format csv; an empty key cell is None."""
    head, *rows = csv.reader(io.StringIO(text))
    at = head.index("column")
    assert head[at + 1:] == list(cli.STATS)
    out = {}
    for r in rows:
        stats = [None if v == "" else int(v) if s in ("count", "missing") else float(v)
                 for s, v in zip(cli.STATS, r[at + 1:])]
        out[(*[k or None for k in r[:at]], r[at])] = dict(zip(cli.STATS, stats))
    return out


def same(a, b):
    """Equal statistics bit for bit (-0.0 is not 0.0), any NaN equal to any other."""
    return list(a) == list(b) and list(map(repr, a.values())) == list(map(repr, b.values()))


def result(values, missing=0):
    """The statistics of values as reported, beside `missing` cells that held none:
    result(), but the mean of values holding infinities of one sign and no NaN is that
    infinity."""
    s = CyStreamStats()
    s.add_values([float(v) for v in values])
    res = s.result() | {"missing": missing}
    if res["sum"] in (math.inf, -math.inf) and res["sum"] in (res["min"], res["max"]):
        res["mean"] = res["sum"]
    return {stat: res[stat] for stat in cli.STATS}


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A CSV with groups (and a missing key), a missing value, signed zeros, infinities and a
    subnormal, a text column and one whose only text comes late; and the expected summaries:
    each group's values added to one accumulator in file order."""
    rng = np.random.default_rng(5)
    n = 3000
    keys = rng.choice(["b", "a", "c d", ""], n).tolist()
    x = (rng.standard_normal(n) * 1e3).tolist()
    y = rng.integers(-50, 50, n).astype(float).tolist()
    x[10], x[11], x[12] = -0.0, math.inf, 1e-320
    y[20] = -0.0  # "-0" among integers
    lines = ["key,x,y,label,late"]
    for i in range(n):
        xs = "" if i == 7 else repr(x[i])
        ys = "-0" if i == 20 else str(int(y[i]))
        late = "oops" if i == n - 5 else str(i)
        lines.append(f'"{keys[i]}",{xs},{ys},t{i},{late}')
    path = tmp_path_factory.mktemp("cli") / "data.csv"
    path.write_text("\n".join(lines) + "\n")
    keys = [k or None for k in keys]  # "" is missing: one group of its own
    want = {}
    for col, vals in (("x", x), ("y", y)):
        gap = 7 if col == "x" else None  # the row whose cell is empty
        for g in dict.fromkeys(keys):
            want[(g, col)] = result((v for i, (k, v) in enumerate(zip(keys, vals))
                                     if k == g and i != gap), int(gap is not None
                                                                  and keys[gap] == g))
        want[(col,)] = result((v for i, v in enumerate(vals) if i != gap), int(gap == 7))
    return path, want, list(dict.fromkeys(keys))


def test_grouped_csv_is_bit_exact(data):
    path, want, order = data
    out = run("describe", path, "-g", "key", "-f", "csv")
    assert out.rc == 0 and out.err == ""
    got = parse_csv_output(out.out)
    # Groups in order of first appearance, then columns in file order; label is text, and
    # so is late, however late its text comes.
    assert list(got) == [(g, c) for g in order for c in ("x", "y")]
    for k, v in got.items():
        assert same(v, want[k]), k
    assert_error(run("describe", path, "-c", "late"),
                 f"{path}, line 2997, column 'late': not a number: 'oops'")


@pytest.mark.parametrize("how", ["file", "dash", "no file"])
def test_ungrouped_csv_and_stdin(data, how):
    path, want, _ = data
    args = {"file": [path], "dash": ["-"], "no file": []}[how]
    stdin = None if how == "file" else path.read_bytes()
    out = run("describe", *args, "-c", "y", "-c", "x", "-f", "csv", stdin=stdin)
    got = parse_csv_output(out.out)
    assert list(got) == [("y",), ("x",)]
    assert all(same(v, want[k]) for k, v in got.items())


def test_formats(data):
    path, want, order = data
    (rec,) = json.loads(run("describe", path, "-c", "x", "-f", "json").out)
    assert rec["column"] == "x"
    # JSON has neither; the mean of values holding +inf (and no NaN or -inf) is +inf.
    assert (rec["max"], rec["mean"]) == ("inf", "inf")
    assert rec["min"] == want[("x",)]["min"]
    head, row = run("describe", path, "-c", "y").out.splitlines()
    assert head.split() == ["column", *cli.STATS]
    assert row.split()[:2] == ["y", "3000"]
    # The missing key: null in JSON, (null) in the table, an empty cell in CSV.
    recs = json.loads(run("describe", path, "-g", "key", "-c", "y", "-f", "json").out)
    assert [r["key"] for r in recs] == order
    table = run("describe", path, "-g", "key", "-c", "y").out.splitlines()
    assert [line.split("  ")[0] for line in table[1:]] == [g or "(null)" for g in order]
    rows = list(csv.reader(io.StringIO(run("describe", path, "-g", "key", "-c", "y", "-f",
                                           "csv").out)))
    assert [r[0] for r in rows[1:]] == [g or "" for g in order]


def test_process_reads_a_pipe_and_fails_in_one_line(data):
    path, want, _ = data
    out = process("describe", "-", "-c", "y", "-f", "csv", stdin=path.read_bytes())
    assert out.returncode == 0, out.stderr
    assert same(parse_csv_output(out.stdout.decode())[("y",)], want[("y",)])
    # A fault found by the thread that reads ahead, in a file of many ranges.
    bad = path.read_bytes() + b"1,2\n"
    out = process("describe", "-", "--block-size", "4096", stdin=bad)
    assert out.returncode == 2 and out.stdout == b""
    assert out.stderr.decode() == "vornel: error: <stdin>, line 3002: expected 5 fields, got 2\n"


def write_compressed(path, text):
    opener = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}.get(path.suffix)
    if opener is None:
        from compression import zstd

        opener = zstd.open
    with opener(path, "wb") as f:
        f.write(text)


@pytest.mark.parametrize("ext", [".gz", ".bz2", ".zst", ".xz"])
def test_compressed(data, tmp_path, ext):
    path = data[0]
    write_compressed(tmp_path / f"data.csv{ext}", path.read_bytes())
    out = run("describe", f"data.csv{ext}", "-g", "key", "-f", "csv", cwd=tmp_path)
    assert out == call("describe", path, "-g", "key", "-f", "csv")


def test_several_files_of_several_formats_are_one_data_set(tmp_path):
    (tmp_path / "a.csv").write_text("k,v\nx,1\ny,2\n")
    write_compressed(tmp_path / "b.csv.gz", b"k,v\nz,4\nx,8\n")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"k": ["y", None, ""], "v": [16.0, None, 128.0]}),
                   tmp_path / "c.parquet")
    rec = np.zeros(2, dtype=[("k", "U1"), ("v", "f8")])
    rec["k"], rec["v"] = ["w", "x"], [32.0, 64.0]
    np.save(tmp_path / "d.npy", rec)
    out = run("describe", "a.csv", "b.csv.gz", "c.parquet", "d.npy", "-g", "k", "-f", "csv",
              cwd=tmp_path)
    got = [(r[0], r[4]) for r in csv.reader(io.StringIO(out.out))][1:]
    # Numbers in their shortest round-trip form: 73.0 is written 73.
    assert got == [("x", "73"), ("y", "18"), ("z", "4"), ("", "0"), ("", "128"), ("w", "32")]
    # The table tells the missing key from the empty text.
    table = run("describe", "a.csv", "b.csv.gz", "c.parquet", "d.npy", "-g", "k",
                cwd=tmp_path).out.splitlines()
    assert [line.split()[:2] for line in table[4:6]] == [["(null)", "v"], ["v", "1"]]


@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"])
@pytest.mark.parametrize("eol", ["\n", "\r\n"])
def test_line_ends_quoted_breaks_and_bom(tmp_path, bom, eol):
    # A quoted key with line breaks, longer than a range at the tiny block size.
    long = eol.join(["line"] * 30)
    rows = ["k,v", f'"{long}",1', '"a ""quoted"" key",2', f'"{long}",4']
    (tmp_path / "q.csv").write_bytes(bom + (eol.join(rows) + eol).encode())
    got = parse_csv_output(run("describe", "q.csv", "-g", "k", "-f", "csv", cwd=tmp_path).out)
    assert got == {(long, "v"): result([1, 4]), ('a "quoted" key', "v"): result([2])}


def test_a_csv_larger_than_a_range(tmp_path):
    rows = [f'"k{i % 7}\nsecond line",{i}' for i in range(250_000)]
    (tmp_path / "big.csv").write_text("k,v\n" + "\n".join(rows) + "\n")
    assert (tmp_path / "big.csv").stat().st_size > 4 << 20
    for block in (["--block-size", "1000000"], []):
        got = parse_csv_output(call("describe", "big.csv", "-g", "k", "-f", "csv", *block,
                                    cwd=tmp_path).out)
        assert got[("k3\nsecond line", "v")] == result(range(3, 250_000, 7))


def test_keys_of_npy_files(tmp_path):
    rec = np.zeros(600, dtype=[("k", "f8"), ("b", "S4"), ("v", "f8")])
    rec["k"] = np.tile([math.nan, 1.0, -0.0, 0.0, math.nan, 2.5], 100)
    rec["b"] = np.tile([b"\xff", b"\\xff", b"ab"], 200)
    rec["v"] = np.arange(600.0)
    np.save(tmp_path / "k.npy", rec)
    # NaN keys are one missing key, 0.0 and -0.0 one key, across many blocks.
    got = parse_csv_output(run("describe", "k.npy", "-g", "k", "-c", "v", "-f", "csv",
                               cwd=tmp_path).out)
    assert list(got) == [(None, "v"), ("1", "v"), ("0", "v"), ("2.5", "v")]
    assert got[(None, "v")] == result(rec["v"][np.isnan(rec["k"])])
    # Bytes keep their identity: b'\xff' and b'\\xff' stay apart.
    out = run("describe", "k.npy", "-g", "b", "-c", "v", "-f", "csv", cwd=tmp_path)
    assert [k for k, _ in parse_csv_output(out.out)] == ["b'\\xff'", "b'\\\\xff'", "b'ab'"]
    table = run("describe", "k.npy", "-g", "b", "-c", "v", cwd=tmp_path).out
    assert [line.split()[0] for line in table.splitlines()] == [
        "b", "b'\\xff'", "b'\\\\xff'", "b'ab'"]
    # JSON has no bytes: an error, and nothing on stdout.
    assert_error(run("describe", "k.npy", "-g", "b", "-f", "json", cwd=tmp_path),
                 "JSON cannot hold the group key b'\\xff'")


def test_npy_inputs(tmp_path):
    flat = np.array([1.0, 2.0, 4.0])
    np.save(tmp_path / "flat.npy", flat)
    np.save(tmp_path / "wide.npy", np.arange(6, dtype=np.int16).reshape(3, 2))
    rec = np.zeros(4, dtype=[("g", "<i4"), ("v", ">f8")])
    rec["g"], rec["v"] = [2, 1, 2, 2], [1.0, 5.0, 3.0, 0.5]
    np.save(tmp_path / "rec.npy", rec)
    got = parse_csv_output(run("describe", "flat.npy", "-f", "csv", cwd=tmp_path).out)
    assert got[("value",)]["var"] == 1.5555555555555554
    got = parse_csv_output(run("describe", "wide.npy", "-f", "csv", cwd=tmp_path).out)
    assert (got[("0",)]["sum"], got[("1",)]["max"]) == (6.0, 5.0)
    got = parse_csv_output(run("describe", "rec.npy", "-g", "g", "-f", "csv",
                               cwd=tmp_path).out)
    assert list(got) == [("2", "v"), ("1", "v")]
    assert got[("2", "v")]["mean"] == 1.5
    # Copy-on-write mapping: the file is left as it was.
    assert np.load(tmp_path / "flat.npy").tolist() == flat.tolist()


def test_several_group_columns(tmp_path):
    (tmp_path / "m.csv").write_text("a,b,v\nx,1,1\nx,,2\ny,1,4\nx,1,8\n,,16\n")
    out = run("describe", "m.csv", "-g", "a", "-g", "b", "-f", "csv", cwd=tmp_path)
    assert out.out.splitlines()[0].startswith("a,b,column,count")
    got = parse_csv_output(out.out)
    assert {k: v["sum"] for k, v in got.items()} == {
        ("x", "1", "v"): 9.0, ("x", None, "v"): 2.0, ("y", "1", "v"): 4.0,
        (None, None, "v"): 16.0}
    assert run("describe", "m.csv", "-g", "a", "-g", "b", cwd=tmp_path).out.splitlines()[
        0].split()[:3] == ["a", "b", "column"]


# A number cell as text: value with NaN missing (the default), with --keep-nan; None where
# the cell is not a number. A column holding it is dropped when columns are not named.
NUMBERS = {
    "-0": (-0.0, -0.0), "1e3": (1e3, 1e3), "-inf": (-math.inf, -math.inf),
    "nan(0x1)": ("missing", math.nan), "": ("missing", "missing"),
    "1_000": (None, None), "0x10": (None, None), "1,5": (None, None),
}


@pytest.mark.parametrize("cell", NUMBERS)
def test_number_syntax(tmp_path, cell):
    (tmp_path / "n.csv").write_text(f'v,w\n1,1\n"{cell}",1\n2,1\n')
    for flag, want in zip(([], ["--keep-nan"]), NUMBERS[cell]):
        named = run("describe", "n.csv", "-c", "v", "-f", "csv", *flag, cwd=tmp_path)
        found = run("describe", "n.csv", "-f", "csv", *flag, cwd=tmp_path)
        if want is None:
            assert_error(named, f"n.csv, line 3, column 'v': not a number: {cell!r}")
            assert list(parse_csv_output(found.out)) == [("w",)]
            continue
        expect = (result([1.0, 2.0], missing=1) if want == "missing"
                  else result([1.0, want, 2.0]))
        assert same(parse_csv_output(named.out)[("v",)], expect)
        assert same(parse_csv_output(found.out)[("v",)], parse_csv_output(named.out)[("v",)])


@pytest.mark.parametrize("args, na, error", [
    ([], ["", "NA", "N/A", "NULL", "null", "NaN", "nan"], None),
    (["--na-values", "-999,"], ["", "-999"], None),
    (["--na-values", "-999"], ["-999"], None),
    (["--na-values", "-999,"], ["NA"], "line 3, column 'v': not a number: 'NA'"),
    (["--keep-nan"], ["", "NA", "N/A", "NULL", "null"], None),
    (["--keep-nan", "--na-values=nan"], ["nan"], None),
])
def test_na_values(tmp_path, args, na, error):
    (tmp_path / "na.csv").write_text("v\n1\n" + "".join(f'"{c}"\n' for c in na) + "2\n")
    out = run("describe", "na.csv", "-c", "v", "-f", "csv", *args, cwd=tmp_path)
    if error:
        assert_error(out, f"na.csv, {error}")
    else:
        assert parse_csv_output(out.out)[("v",)] == result([1, 2], missing=len(na))


def test_nan_only_column(tmp_path):
    (tmp_path / "nan.csv").write_text("k,v,w\na,nan,1\nb,NaN,2\na,nan,3\n")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"k": ["a", "b", "a"], "v": [math.nan, None, math.nan],
                             "w": [1.0, 2.0, 3.0]}), tmp_path / "nan.parquet")
    for name in ("nan.csv", "nan.parquet"):
        # --keep-nan: NaN values make min and max NaN, never the initial +-1.797e308.
        kept = run("describe", name, "-g", "k", "--keep-nan", "-f", "csv", cwd=tmp_path)
        got = parse_csv_output(kept.out)
        assert got[("a", "v")]["count"] == 2
        assert all(math.isnan(got[("a", "v")][s]) for s in ("min", "max", "sum"))
        assert "e+308" not in kept.out
        assert "e+308" not in run("describe", name, "-g", "k", "--keep-nan", "-c", "v",
                                  cwd=tmp_path).out
        assert json.loads(run("describe", name, "-g", "k", "--keep-nan", "-c", "v", "-f",
                              "json", cwd=tmp_path).out)[0]["max"] == "nan"
        # By default NaN is missing: count 0.
        got = parse_csv_output(run("describe", name, "-g", "k", "-c", "v", "-f", "csv",
                                   cwd=tmp_path).out)
        assert [v["count"] for v in got.values()] == [0, 0]


def test_header_only_and_missing_cells(tmp_path):
    (tmp_path / "h.csv").write_text("k,v\n")
    (tmp_path / "e.csv").write_text("k,v\n,\n")
    none = {"count": 0, "missing": 0, "sum": 0.0, "mean": None, "min": None, "max": None,
            "var": None, "std": None}
    assert json.loads(run("describe", "h.csv", "-c", "v", "-f", "json", cwd=tmp_path).out) == [
        {"column": "v", **none}]
    assert json.loads(run("describe", "h.csv", "-g", "k", "-f", "json", "-c", "v",
                          cwd=tmp_path).out) == []
    assert json.loads(run("describe", "e.csv", "-g", "k", "-c", "v", "-f", "json",
                          cwd=tmp_path).out) == [{"k": None, "column": "v", **none,
                                                  "missing": 1}]


def test_demo_is_seeded():
    a, b = call("describe", "--demo", "-f", "csv"), call("describe", "--demo", "-f", "csv")
    assert a.rc == 0 and a.out == b.out
    got = parse_csv_output(a.out)
    assert sum(v["count"] for (g, c), v in got.items() if c == "wind") == cli.DEMO_ROWS


BAD_CSV = {
    "not a number": ("a,b\n1,2\n3,x\n", ["-c", "b"], "line 3, column 'b': not a number: 'x'"),
    "late non-number": ("a\n" + "1\n" * 500 + "1e\n", ["-c", "a"],
                        "line 502, column 'a': not a number: '1e'"),
    "earliest fault": ("a,b\n1,x\ny,2\n", ["-c", "a", "-c", "b"],
                       "line 2, column 'b': not a number: 'x'"),
    "fault before a ragged row": ("a,b\n1,2\n3,x\n5\n", ["-c", "b"],
                                  "line 3, column 'b': not a number: 'x'"),
    "ragged row": ("a,b\n1,2\n3\n", [], "line 3: expected 2 fields, got 1"),
    "no such column": ("a,b\n1,2\n", ["-c", "z"], "no column named 'z' (columns: a, b)"),
    "no group column": ("a,b\n1,2\n", ["-g", "z"], "no column named 'z' to group by"),
    "no numeric column": ("a\nx\n", [], "no numeric columns"),
    "header only": ("a,b\n", [], "no numeric columns"),
    "duplicate names": ("a,b,a,c,b\n1,2,3,4,5\n", [], "duplicate column names: 'a', 'b'"),
    "empty": ("", [], "line 1: empty input"),
    "not utf-8": (b"a\n1\n\xff\n", ["-c", "a"], "line 3, column 'a': not UTF-8 text"),
    "key not utf-8": (b"k,v\na,1\n\xff,2\n", ["-g", "k"], "line 3, column 'k': not UTF-8"),
}


@pytest.mark.parametrize("case", BAD_CSV)
def test_bad_csv(tmp_path, case):
    text, args, where = BAD_CSV[case]
    path = tmp_path / "in.csv"
    (path.write_bytes if isinstance(text, bytes) else path.write_text)(text)
    out = run("describe", "in.csv", *args, cwd=tmp_path)
    assert_error(out, "")
    assert where in out.err and ("in.csv" in out.err or "no numeric" in where), out.err


@pytest.mark.parametrize("args, message", [
    (["missing.csv"], "missing.csv: cannot open: No such file or directory"),
    (["."], ".: cannot"),
    (["text.npy"], "text.npy: not a .npy file: it looks like text"),
    (["empty.npy"], "empty.npy: not a .npy file: it looks like an empty file"),
    (["cube.npy"], "cube.npy: expected one or two dimensions, got 3"),
    (["rec.npy", "-c", "s"], "rec.npy, column 's': not numeric"),
    (["sub.npy", "-g", "k"], "sub.npy, column 'k': cannot group by a sub-array field"),
    (["gz.csv"], "gz.csv: not CSV text: it looks like gzip-compressed data"),
    (["text.parquet"], "text.parquet: not a Parquet file: it looks like text"),
    (["text.csv.gz"], "text.csv.gz: not gzip-compressed: it looks like text"),
    (["--demo", "-c", "station", "-g", "temperature"], "column 'station': not numeric"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--format", "xml"], "argument --format/-f: invalid choice"),
    (["--demo", "x.csv"], "--demo takes no FILE"),
    (["-g", "a", "-c", "a"], "column 'a' is a group-by column"),
    (["--block-size", "0"], "--block-size must be positive"),
])
def test_bad_invocation(tmp_path, args, message):
    (tmp_path / "text.npy").write_text("v\n1\n")
    (tmp_path / "empty.npy").write_bytes(b"")
    np.save(tmp_path / "cube.npy", np.zeros((2, 2, 2)))
    np.save(tmp_path / "rec.npy", np.zeros(2, dtype=[("s", "S3"), ("v", "f8")]))
    np.save(tmp_path / "sub.npy", np.zeros(2, dtype=[("k", "f8", (2,)), ("v", "f8")]))
    write_compressed(tmp_path / "gz.gz", b"v\n1\n")
    (tmp_path / "gz.gz").rename(tmp_path / "gz.csv")
    (tmp_path / "text.parquet").write_text("v\n1\n")
    (tmp_path / "text.csv.gz").write_text("v\n1\n")
    assert_error(call("describe", *args, cwd=tmp_path), message)


def test_no_command():
    out = call()
    assert out.rc == 2 and "a command is required" in out.err


def scripts_dir():
    """Where pip put the console scripts of the installation holding vornel: the scripts path
    of the scheme whose site-packages that is (a venv's bin, ~/.local/bin, ...), or
    <target>/bin after pip install --target."""
    site = os.path.realpath(SITE)
    for scheme in sysconfig.get_scheme_names():
        paths = sysconfig.get_paths(scheme)
        if site in (os.path.realpath(paths["purelib"]), os.path.realpath(paths["platlib"])):
            return paths["scripts"]
    return os.path.join(SITE, "bin")


def test_console_script():
    script = os.path.join(scripts_dir(), "vornel")
    if not os.path.exists(script):
        pytest.skip("no console script in this installation")
    out = subprocess.run([sys.executable, script, "describe", "--demo", "-f", "json"],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=SITE))
    assert out.returncode == 0 and json.loads(out.stdout)


RSS = """
import resource, sys
from vornel.cli import main
rc = main(sys.argv[1:])
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)
"""


def peak_kib(*args):
    out = subprocess.run([sys.executable, "-c", RSS, "describe", *map(str, args)],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=SITE))
    assert out.returncode == 0, out.stderr
    return int(out.stderr.split()[-1])


def write_ints(path, header, rows):
    with open(path, "w") as f:
        f.write(header + "\n")
        np.savetxt(f, rows, fmt="%d", delimiter=",")


# AddressSanitizer's quarantine keeps freed memory resident, so peaks grow there by design.
no_asan = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                             reason="resident memory is not comparable under AddressSanitizer")


@no_asan
def test_memory_does_not_grow_with_input(tmp_path):
    rows = np.random.default_rng(3).integers(0, 1000, (240_000, 2))
    peaks = []
    for n in (60_000, 240_000):
        write_ints(tmp_path / f"{n}.csv", "g,v", rows[:n])
        peaks.append(peak_kib(tmp_path / f"{n}.csv", "-g", "g", "--block-size", "65536"))
    # The larger file is 4x the size (about 2 MB more); peaks may differ by noise only.
    assert peaks[1] - peaks[0] < 1536, peaks


@no_asan
def test_memory_is_bounded_in_bytes_for_wide_rows(tmp_path):
    # 500 columns: a range of 256 KiB holds about 256 rows. Read whole, the larger file's
    # parsed columns alone would take 32 MB.
    rows = np.random.default_rng(3).integers(0, 10, (8000, 500))
    header = ",".join(f"c{i}" for i in range(500))
    peaks = []
    for n in (2000, 8000):
        write_ints(tmp_path / f"{n}.csv", header, rows[:n])
        peaks.append(peak_kib(tmp_path / f"{n}.csv", "-f", "csv", "--block-size", "262144"))
    assert peaks[1] - peaks[0] < 12 << 10, peaks


class TtyErr(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("tty", [True, False])
def test_progress_only_on_a_terminal(tmp_path, monkeypatch, capsys, tty):
    (tmp_path / "v.csv").write_text("v\n" + "1.5\n" * 2000)
    err = TtyErr() if tty else io.StringIO()
    monkeypatch.setattr(cli, "PROGRESS_BYTES", 0)
    monkeypatch.setattr(sys, "stderr", err)
    assert cli.main(["describe", str(tmp_path / "v.csv"), "--block-size", "512"]) == 0
    assert capsys.readouterr().out.split()[-8] == "2000"
    assert (err.getvalue() != "") == tty
