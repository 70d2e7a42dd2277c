"""The bytes `vornel describe` prints, against the golden files tests/golden/make.py stored:
its small inputs (made again here) in every format, at the default block size and a tiny
one; the exit status and message of refused inputs; and the sha256 of the output for an
input of a million groups, made again from its seed. Regenerate the golden files with
`tools/devenv run python tests/golden/make.py` only when a change of output is intended."""

import contextlib
import hashlib
import importlib.util
import io
import json
import os
import subprocess
import sys

import pytest

import vornel
from vornel import cli

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
SITE = os.path.dirname(os.path.dirname(os.path.abspath(vornel.__file__)))
TINY = "61"  # bytes: every range a record or two, and records longer than a range

_spec = importlib.util.spec_from_file_location("golden_make", os.path.join(GOLDEN, "make.py"))
make = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make)
CASES = make.cases()


def call(args, cwd):
    """The command in this process: exit status, stdout as bytes, stderr."""
    raw, err = io.BytesIO(), io.StringIO()
    out = io.TextIOWrapper(raw, encoding="utf-8", newline="")
    with contextlib.chdir(cwd), contextlib.redirect_stdout(out), \
            contextlib.redirect_stderr(err):
        rc = cli.main(["describe", *args])
    out.flush()
    return rc, raw.getvalue(), err.getvalue()


def first_difference(got, want):
    """Where two outputs part, as the line number and both lines, for a readable failure."""
    a, b = got.split(b"\n"), want.split(b"\n")
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"line {i + 1}: got {x[:300]!r}, golden {y[:300]!r}"
    return f"got {len(a)} lines, golden {len(b)}"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("golden")
    make.write_inputs(str(folder))
    return folder


def test_golden_folder_holds_exactly_the_cases():
    stored = set(os.listdir(GOLDEN)) - {"make.py", "errors.json", "big.json", "__pycache__"}
    assert stored == {golden for golden, _, _ in CASES}


@pytest.mark.parametrize("block", [None, TINY], ids=["block=default", "block=61"])
@pytest.mark.parametrize("golden,name,args", CASES, ids=[c[0] for c in CASES])
def test_output_is_golden(inputs, golden, name, args, block):
    extra = [] if block is None else ["--block-size", block]
    rc, out, err = call([f"{name}.csv", *args, *extra], inputs)
    assert (rc, err) == (0, "")
    with open(os.path.join(GOLDEN, golden), "rb") as f:
        want = f.read()
    assert out == want, first_difference(out, want)


@pytest.mark.parametrize("golden", ["numbers.plain.csv", "multikey.keepnan-q-ddof1.table"])
def test_a_process_reading_stdin_prints_the_golden_bytes(inputs, golden):
    """As a process of its own, reading the input from a pipe."""
    name, args = next((n, a) for g, n, a in CASES if g == golden)
    with open(inputs / f"{name}.csv", "rb") as f:
        data = f.read()
    res = subprocess.run([sys.executable, "-m", "vornel", "describe", "-", *args], input=data,
                         capture_output=True, env=dict(os.environ, PYTHONPATH=SITE), check=False)
    assert (res.returncode, res.stderr) == (0, b"")
    with open(os.path.join(GOLDEN, golden), "rb") as f:
        assert res.stdout == f.read()


with open(os.path.join(GOLDEN, "errors.json"), encoding="utf-8") as _f:
    ERRORS = json.load(_f)


@pytest.mark.parametrize("block", [None, TINY], ids=["block=default", "block=61"])
@pytest.mark.parametrize("name", list(make.ERRORS))
def test_refusal_is_golden(tmp_path, name, block):
    data, args = make.ERRORS[name]
    (tmp_path / "bad.csv").write_bytes(data)
    extra = [] if block is None else ["--block-size", block]
    rc, out, err = call(["bad.csv", *args, *extra], tmp_path)
    want = ERRORS[name]
    assert want["args"] == args
    assert (rc, out, err) == (want["status"], b"", want["stderr"])


def test_a_million_groups_is_golden(tmp_path):
    with open(os.path.join(GOLDEN, "big.json"), encoding="utf-8") as f:
        big = json.load(f)
    assert (big["groups"], big["rows"], big["seed"]) == (make.BIG_GROUPS, make.BIG_ROWS,
                                                         make.BIG_SEED)
    (tmp_path / "big.csv").write_bytes(make.big_csv())
    assert set(big["outputs"]) == set(make.BIG_VARIANTS)
    for variant, args in make.BIG_VARIANTS.items():
        want = big["outputs"][variant]
        assert want["args"] == args
        rc, out, err = call(["big.csv", "-g", "key", *args], tmp_path)
        assert (rc, err) == (0, "")
        assert (len(out), hashlib.sha256(out).hexdigest()) == (want["bytes"], want["sha256"])
