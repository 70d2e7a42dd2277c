"""The vornel command, run as a subprocess: readers, inputs, formats, grouping and errors."""

import csv
import io
import json
import math
import os
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import vornel
from vornel import CyStreamStats, cli

SITE = os.path.dirname(os.path.dirname(os.path.abspath(vornel.__file__)))
READERS = ["pyarrow", "stdlib"]
HAVE_PYARROW = cli._have_pyarrow()


def run(*args, stdin=None, cwd=None):
    env = dict(os.environ, PYTHONPATH=SITE)
    return subprocess.run([sys.executable, "-m", "vornel", *args], input=stdin,
                          capture_output=True, text=True, env=env, cwd=cwd)


def reader_args(reader):
    if reader == "pyarrow" and not HAVE_PYARROW:
        pytest.skip("pyarrow is not installed")
    return ["--csv-reader", reader]


def parse_csv_output(text):
    """{(group, column): {stat: value}} from --format csv."""
    rows = list(csv.DictReader(io.StringIO(text)))
    out = {}
    for r in rows:
        stats = {k: (None if r[k] == "" else int(r[k]) if k == "count" else float(r[k]))
                 for k in cli.STATS}
        out[(r.get("group"), r["column"])] = stats
    return out


def same(a, b):
    return all(x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y))
               for x, y in zip(a.values(), b.values()))


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A CSV with groups, an empty cell, signed zeros and infinities; and its expected
    summaries: each group's values added to one accumulator in file order."""
    rng = np.random.default_rng(5)
    n = 3000
    keys = rng.choice(["b", "a", "c d", ""], n).tolist()
    x = (rng.standard_normal(n) * 1e3).tolist()
    y = rng.integers(-50, 50, n).tolist()
    x[10], x[11], x[12] = -0.0, math.inf, 1e-320
    lines = ["key,x,y,label"]
    for i in range(n):
        xs = "" if i == 7 else repr(x[i])
        lines.append(f'"{keys[i]}",{xs},{y[i]},t{i}')
    path = tmp_path_factory.mktemp("cli") / "data.csv"
    path.write_text("\n".join(lines) + "\n")
    want = {}
    for col, vals in (("x", x), ("y", y)):
        for g in dict.fromkeys(keys):
            s = CyStreamStats()
            s.add_values([float(v) for i, (k, v) in enumerate(zip(keys, vals))
                          if k == g and not (col == "x" and i == 7)])
            want[(g, col)] = s.result()
        s = CyStreamStats()
        s.add_values([float(v) for i, v in enumerate(vals) if not (col == "x" and i == 7)])
        want[(None, col)] = s.result()
    return path, want, list(dict.fromkeys(keys))


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("block", ["100", "4096", "100000000"])
def test_grouped_csv_is_bit_exact(data, reader, block):
    path, want, order = data
    out = run("describe", str(path), "-g", "key", "-f", "csv", "--block-size", block,
              *reader_args(reader))
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    got = parse_csv_output(out.stdout)
    # Groups in order of first appearance, then columns in file order; label is text.
    assert list(got) == [(g, c) for g in order for c in ("x", "y")]
    for k, v in got.items():
        assert same(v, want[k]), k


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("how", ["file", "dash", "no file"])
def test_ungrouped_csv_and_stdin(data, reader, how):
    path, want, _ = data
    args = {"file": [str(path)], "dash": ["-"], "no file": []}[how]
    stdin = None if how == "file" else path.read_text()
    out = run("describe", *args, "-c", "y", "-c", "x", "-f", "csv", *reader_args(reader),
              stdin=stdin)
    assert out.returncode == 0, out.stderr
    got = parse_csv_output(out.stdout)
    assert list(got) == [(None, "y"), (None, "x")]
    assert all(same(v, want[k]) for k, v in got.items())


def test_several_files_are_one_data_set(tmp_path):
    (tmp_path / "a.csv").write_text("v\n1\n2\n")
    (tmp_path / "b.csv").write_text("v\n4\n")
    out = run("describe", "a.csv", "b.csv", "-f", "json", cwd=tmp_path)
    assert json.loads(out.stdout)[0]["sum"] == 7.0


def test_json_and_table(data):
    path, want, _ = data
    out = run("describe", str(path), "-c", "x", "-f", "json")
    (rec,) = json.loads(out.stdout)
    assert rec["column"] == "x"
    assert (rec["max"], rec["mean"]) == ("inf", "nan")  # JSON has neither
    assert rec["min"] == want[(None, "x")]["min"]
    out = run("describe", str(path), "-c", "y")
    head, row = out.stdout.splitlines()
    assert head.split() == ["column", *cli.STATS]
    assert row.split()[:2] == ["y", "3000"]


def test_npy_text_and_float_keys_in_json(tmp_path):
    rec = np.zeros(3, dtype=[("s", "S2"), ("f", "f8"), ("v", "f8")])
    rec["s"], rec["f"], rec["v"] = [b"ab", b"\xff", b"ab"], [np.nan, 1.0, np.nan], [1, 2, 3]
    np.save(tmp_path / "k.npy", rec)
    for key, want in (("s", ["ab", "\\xff"]), ("f", ["nan", 1.0])):
        out = run("describe", "k.npy", "-g", key, "-c", "v", "-f", "json", cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        assert [r["group"] for r in json.loads(out.stdout)][:len(want)] == want


def test_byte_order_mark(tmp_path):
    (tmp_path / "bom.csv").write_bytes(b"\xef\xbb\xbfv\n1\n")
    for reader in READERS:
        out = run("describe", "bom.csv", "-c", "v", *reader_args(reader), cwd=tmp_path)
        assert out.returncode == 0, out.stderr


def test_empty_group_cells_and_header_only(tmp_path):
    (tmp_path / "h.csv").write_text("k,v\n,\n")
    out = run("describe", "h.csv", "-g", "k", "-c", "v", "-f", "json", cwd=tmp_path)
    assert json.loads(out.stdout) == [{"group": "", "column": "v", "count": 0, "sum": 0.0,
                                       "mean": None, "min": None, "max": None, "var": None,
                                       "std": None}]


def test_npy_inputs(tmp_path):
    flat = np.array([1.0, 2.0, 4.0])
    np.save(tmp_path / "flat.npy", flat)
    np.save(tmp_path / "wide.npy", np.arange(6, dtype=np.int16).reshape(3, 2))
    rec = np.zeros(4, dtype=[("g", "<i4"), ("v", ">f8")])
    rec["g"], rec["v"] = [2, 1, 2, 2], [1.0, 5.0, 3.0, 0.5]
    np.save(tmp_path / "rec.npy", rec)
    got = parse_csv_output(run("describe", "flat.npy", "-f", "csv", cwd=tmp_path).stdout)
    assert got[(None, "value")]["var"] == 1.5555555555555554
    got = parse_csv_output(run("describe", "wide.npy", "-f", "csv", cwd=tmp_path).stdout)
    assert (got[(None, "0")]["sum"], got[(None, "1")]["max"]) == (6.0, 5.0)
    got = parse_csv_output(run("describe", "rec.npy", "-g", "g", "-f", "csv",
                               cwd=tmp_path).stdout)
    assert list(got) == [("2", "v"), ("1", "v")]
    assert got[("2", "v")]["mean"] == 1.5
    # Copy-on-write mapping: the file is left as it was.
    assert np.load(tmp_path / "flat.npy").tolist() == flat.tolist()


def test_demo_is_seeded():
    a, b = run("describe", "--demo", "-f", "csv"), run("describe", "--demo", "-f", "csv")
    assert a.returncode == 0 and a.stdout == b.stdout
    got = parse_csv_output(a.stdout)
    assert sum(v["count"] for (g, c), v in got.items() if c == "wind") == cli.DEMO_ROWS


BAD_CSV = {
    "not a number": ("a,b\n1,2\n3,x\n", ["-c", "b"], "line 3, column 'b': not a number: 'x'"),
    "late non-number": ("a\n" + "1\n" * 500 + "1e\n", ["-c", "a"],
                        "line 502, column 'a': not a number: '1e'"),
    "ragged row": ("a,b\n1,2\n3\n", [], "line 3: expected 2 fields, got 1"),
    "no such column": ("a,b\n1,2\n", ["-c", "z"], "line 1: no column named 'z'"),
    "no group column": ("a,b\n1,2\n", ["-g", "z"], "line 1: no column named 'z' to group by"),
    "no numeric column": ("a\nx\n", [], "line 1: no numeric columns"),
    "empty": ("", [], "line 1: empty input"),
    "not utf-8": (b"a\n1\n\xff\n", ["-c", "a"], "line 3, column 'a': not UTF-8 text"),
    "key not utf-8": (b"k,v\na,1\n\xff,2\n", ["-g", "k"], "line 3, column 'k': not UTF-8"),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("case", BAD_CSV)
def test_bad_csv(tmp_path, reader, case):
    text, args, where = BAD_CSV[case]
    path = tmp_path / "in.csv"
    (path.write_bytes if isinstance(text, bytes) else path.write_text)(text)
    out = run("describe", "in.csv", *args, "--block-size", "64", *reader_args(reader),
              cwd=tmp_path)
    assert out.returncode == 2
    assert out.stdout == ""
    assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
    assert out.stderr.startswith(f"vornel: error: in.csv, {where}"), out.stderr


@pytest.mark.parametrize("args, message", [
    (["missing.csv"], "missing.csv: cannot open: No such file or directory"),
    (["."], ".: cannot"),
    (["bad.npy"], "bad.npy: not a readable .npy file"),
    (["cube.npy"], "cube.npy: expected one or two dimensions, got 3"),
    (["rec.npy", "-c", "s"], "rec.npy, column 's': not numeric"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--format", "xml"], "argument --format/-f: invalid choice"),
    (["--demo", "x.csv"], "--demo takes no FILE"),
    (["-g", "a", "-c", "a"], "column 'a' is the group-by column"),
])
def test_bad_invocation(tmp_path, args, message):
    (tmp_path / "bad.npy").write_bytes(b"not an array")
    np.save(tmp_path / "cube.npy", np.zeros((2, 2, 2)))
    np.save(tmp_path / "rec.npy", np.zeros(2, dtype=[("s", "S3"), ("v", "f8")]))
    out = run("describe", *args, cwd=tmp_path)
    assert out.returncode == 2
    assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
    assert out.stderr.startswith(f"vornel: error: {message}"), out.stderr


def test_no_command():
    out = run()
    assert out.returncode == 2 and "a command is required" in out.stderr


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


# AddressSanitizer's quarantine keeps freed memory resident, so peaks grow there by design.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="resident memory is not comparable under AddressSanitizer")
@pytest.mark.parametrize("reader", READERS)
def test_memory_does_not_grow_with_input(tmp_path, reader):
    rows = np.random.default_rng(3).integers(0, 1000, (240_000, 2))
    peaks = []
    for n in (60_000, 240_000):
        path = tmp_path / f"{n}.csv"
        with open(path, "w") as f:
            f.write("g,v\n")
            np.savetxt(f, rows[:n], fmt="%d", delimiter=",")
        out = subprocess.run([sys.executable, "-c", RSS, "describe", str(path), "-g", "g",
                              "--block-size", "65536", *reader_args(reader)],
                             capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=SITE))
        assert out.returncode == 0, out.stderr
        peaks.append(int(out.stderr.split()[-1]))
    # The larger file is 4x the size (about 2 MB more); peaks may differ by noise only.
    assert peaks[1] - peaks[0] < 1536, peaks


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
    assert capsys.readouterr().out.split()[-7] == "2000"
    assert (err.getvalue() != "") == tty
