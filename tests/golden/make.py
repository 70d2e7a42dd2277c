"""Golden outputs of `vornel describe`: deterministic CSV inputs, and the bytes the command
prints for them, so that a change of the CSV reader that alters any printed byte shows.

    tools/devenv run python tests/golden/make.py          # writes the outputs beside this file

The small inputs are made here and never stored; their outputs are stored as files, named
INPUT.VARIANT.FORMAT. The input with a million groups is made from a seed at test time too;
only a sha256 digest of each of its outputs is stored (big.json). Error messages of a few
refused inputs are stored in errors.json. tests/test_golden.py makes the inputs again and
compares the command's output byte for byte.
"""

from __future__ import annotations

import decimal
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
QUANTILES = ["-q", "0.25,0.5,0.75"]
DDOF = ["--ddof", "1"]
VARIANTS = {"plain": [], "q-ddof1": [*QUANTILES, *DDOF]}
# NaN cells are values under --keep-nan: the inputs that hold NaN spellings run with it too.
KEEP_NAN = {"keepnan": ["--keep-nan"], "keepnan-q-ddof1": ["--keep-nan", *QUANTILES, *DDOF]}
FORMATS = ("csv", "json", "table")


def quote(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


# Every spelling of a number the reader accepts, with the cells that hold no value; the
# cell itself is the group's key (shortened when long), so each group reads one spelling.
NUMBER_CELLS = [
    "1", "+1", "-1", "007", "-007", "00", "1.5", "+1.5", "-1.5", ".5", "-.5", "+.5", "5.",
    "-5.", "0.", "007.5", "1e3", "1E3", "1e+3", "1e-3", "1.e3", ".5e1", "1e03", "-1e3",
    "1e0000000000000000000001", "-0", "-0.0", "-00", "-0e0", "+0", "0", "0.000", "0e-5",
    "inf", "Inf", "INF", "iNf", "+inf", "-inf", "-INF", "infinity", "Infinity", "INFINITY",
    "INFinity", "+infinity", "-Infinity", "nan", "NaN", "NAN", "nAn", "+nan", "-nan", "-NaN",
    "nan(0x1)", "nan()", "NaN(1)", "nan(a_b9)", "+nan(1)", '"1.5"', '"1e3"', '" 1 "', '"-0"',
    '"nan"', '"NaN"', '""', '"NA"', " 1", "1 ", " 1.5", "1.5 ", "\t1", "1\t", " \t1\t ",
    " inf", "inf ", " -1", " nan", "NaN ", "", "NA", "N/A", "NULL", "null", "1e400", "-1e400",
    "1e309", "1e4000000000000000000000", "1.7976931348623157e308", "1.7976931348623158e308",
    "1.7976931348623159e308", "1E+308", "1e-400", "-1e-400", "1e-4000000000000000000000",
    "4.9e-324", "2.4703282292062328e-324", "2.4703282292062327e-324", "9e-325", "2.5e-324",
    "1.0e-323", "2.2250738585072011e-308", "2.2250738585072014e-308", "9007199254740993",
    "-9007199254740993", "9007199254740992.5000000000000001", "9223372036854775807",
    "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "123456789012345678901234567890",
    "0.1", "0.1000000000000000055511151231257827021181583404541015625",
    "0.1000000000000000055511151231257827021181583404541015624", "1e23", "8.589973e9",
    # 900 digits: a halfway case decided by the last digit, past any fixed digit buffer
    "9007199254740993." + "0" * 880 + "1", "9007199254740993." + "0" * 880, "0." + "1" * 900,
]


def _subnormal_halves() -> list[str]:
    """2.5 times the smallest subnormal, written exactly (a tie: reads 2 times it, the even
    one) and with a 1 far past its last digit (reads 3 times it)."""
    with decimal.localcontext() as ctx:
        ctx.prec = 2000
        half = format(decimal.Decimal(5) * decimal.Decimal(2) ** -1075, "e")
    mantissa, _, exponent = half.partition("e")
    return [half, mantissa + "0" * 100 + "1e" + exponent]


NUMBER_CELLS += _subnormal_halves()


def numbers_csv() -> bytes:
    """Key `cell` (the spelling; (empty) for the empty cell, a prefix and the length for
    long ones), value x (the spelling), y an integer column (integer parsing: -0, leading
    zeros, past 2**53 and int64)."""
    ints = ["0", "-0", "7", "007", "-3", "9007199254740993", "9223372036854775807",
            "-9223372036854775808", "12345678901234567890", "+5", " 8", "", "NA"]
    lines = ["cell,x,y"]
    for i, cell in enumerate(NUMBER_CELLS):
        label = cell if len(cell) <= 40 else f"{cell[:16]}...{cell[-8:]} ({len(cell)} chars)"
        key = quote(label if cell else "(empty)")
        lines.append(f"{key},{cell},{ints[i % len(ints)]}")
    # A second value for some groups: order-dependent sums and means, inf before a number
    for cell, second in (("1", "2"), ("inf", "1"), ("-0", "0"), ("nan", "3"), ("NAN", "3"),
                         ("1e-400", "-1e-400"), ("4.9e-324", "4.9e-324")):
        lines.append(f"{quote(cell)},{second},1")
    return ("\n".join(lines) + "\n").encode()


KEYS = ["plain", "with,comma", 'with "quotes"', "line\nbreak", "crlf\r\nbreak", "cr\rbreak",
        "", "NA", "null", "nan", " spaced ", "tab\there", "esc\x1b[31m", "bell\x07",
        "ünïcödé", "日本語", "line\u2028sep", "'single'", "=1+1", "0", "-0", "1.0", "1",
        "\\backslash", "column", "(null)", '"', ",", "trailing\n"]


def keys_csv() -> bytes:
    """Keys with quotes, commas, line breaks (LF, CRLF, CR), empty (the missing key), NA-like
    text, control characters and non-ASCII text; CRLF line ends; a text column."""
    rng = np.random.default_rng(20240611)
    lines = ["key,x,y,note"]
    for i in range(400):
        key = KEYS[int(rng.integers(len(KEYS)))] if i >= len(KEYS) else KEYS[i]
        x = repr(float(np.round(rng.standard_normal() * 100, int(rng.integers(0, 6)))))
        y = str(int(rng.integers(-1000, 1000)))
        if i % 37 == 5:
            x = ""
        note = quote(f"note {i},\nsecond line") if i % 3 == 0 else f"n{i}"
        lines.append(f"{quote(key)},{x},{y},{note}")
    return ("\r\n".join(lines) + "\r\n").encode()


SPECIAL = [
    ("nan only", ["nan", "NaN", "NAN"]),
    ("inf only", ["inf", "Infinity"]),
    ("-inf only", ["-inf"]),
    ("inf and -inf", ["inf", "-inf"]),
    ("inf then 1", ["inf", "1"]),
    ("1 then inf", ["1", "inf"]),
    ("-inf then nan", ["-inf", "-nan"]),
    ("-0 only", ["-0", "-0.0"]),
    ("-0 then 0", ["-0", "0"]),
    ("0 then -0", ["0", "-0.0"]),
    ("subnormals", ["4.9e-324", "1e-320", "-2.5e-310", "2.2250738585072009e-308"]),
    ("overflowing sum", ["1.7976931348623157e308", "1e308"]),
    ("cancelling", ["1e16", "1", "-1e16", "1"]),
    ("missing only", ["", "NA", "null"]),
    ("one value", ["42"]),
    ("nan and values", ["1", "nan", "2", "NaN", "3"]),
    ("tiny and huge", ["1e-300", "1e300", "-1e-300"]),
    ("ints past 2**53", ["9007199254740993", "9007199254740995", "-9007199254740993"]),
]


def special_csv() -> bytes:
    """Groups of NaN, infinities, signed zeros, subnormals, overflow and missing cells, in
    rows interleaved across groups; x holds the spellings, z the same values written as
    Python writes them."""
    rows = []
    longest = max(len(v) for _, v in SPECIAL)
    for j in range(longest):
        for name, cells in SPECIAL:
            if j < len(cells):
                cell = cells[j]
                z = "" if cell in ("", "NA", "null") else repr(float(cell))
                rows.append(f"{quote(name)},{cell},{z}")
    return ("\n".join(["group,x,z", *rows]) + "\n").encode()


def multikey_csv() -> bytes:
    """Three key columns (one named count, which the outputs rename), values in three
    columns, a quoted text column with line breaks; bare CR line ends."""
    rng = np.random.default_rng(7)
    lines = ["region,count,day,u,v,w,comment"]
    regions = ["north", "south", "", "east,west"]
    for i in range(300):
        r = regions[int(rng.integers(len(regions)))]
        c = str(int(rng.integers(0, 3)))
        d = ["mon", "tue", ""][int(rng.integers(3))]
        u = f"{rng.standard_normal():.6e}"
        v = str(int(rng.integers(-5, 5)))
        w = ["1.5", "-0", "inf", "", "NaN", "2.25", "-7"][int(rng.integers(7))]
        comment = quote(f"row {i}\rcontinued") if i % 4 == 0 else f"c{i}"
        lines.append(",".join([quote(r), c, d, u, v, w, comment]))
    return ("\r".join(lines) + "\r").encode()


# (input, group-by columns, variants)
SMALL = {
    "numbers": (numbers_csv, ["cell"], {**VARIANTS, **KEEP_NAN}),
    "keys": (keys_csv, ["key"], VARIANTS),
    "special": (special_csv, ["group"], {**VARIANTS, **KEEP_NAN}),
    "multikey": (multikey_csv, ["region", "count", "day"], {**VARIANTS, **KEEP_NAN}),
}

# Refused inputs: the exit status and the one line on stderr are outputs too.
ERRORS = {
    "hex": (b"x,y\n1,2\n0x10,3\n", ["-c", "x"]),
    "unicode minus": ("x,y\n1,2\n\u22121,3\n".encode(), ["-c", "x"]),
    "comma in number": (b"x,y\n1,2\n1,000,3\n", []),
    "quoted comma in number": (b'x,y\n1,2\n"1,000",3\n', ["-c", "x"]),
    "space only": (b"x,y\n1,2\n ,3\n", ["-c", "x"]),
    "padded NA": (b"x,y\n1,2\nNA ,3\n", ["-c", "x"]),
    "true": (b"x,y\n1,2\ntrue,3\n", ["-c", "x"]),
    "no numeric column": (b"x,y\n0x10,a\n1,b\n", []),
}

BIG_GROUPS = 10**6
BIG_ROWS = 2 * BIG_GROUPS
BIG_SEED = 20250101
BIG_VARIANTS = {"csv-q-ddof1": ["-f", "csv", "-q", "0.5", "--ddof", "1"]}


def _digits(out: np.ndarray, rows: np.ndarray, at: int, values: np.ndarray,
            width: int) -> None:
    """Writes values (non-negative integers) as `width` decimal digits with leading zeros
    into columns at, at + 1, ... of the chosen rows of the byte matrix out."""
    v = values[rows]
    for j in range(width - 1, -1, -1):
        out[rows, at + j] = (v % np.uint64(10)).astype(np.uint8) + ord("0")
        v = v // np.uint64(10)


def big_csv() -> bytes:
    """BIG_ROWS rows, each of the BIG_GROUPS keys twice, in a scrambled order; fixed-width
    fields built as bytes from a seeded integer hash, so the text is the same on every
    machine and NumPy version: key g0000000; x a signed number, either -123.456 or
    +1.2e-05 (leading zeros and plus signs included); n an integer with leading zeros, in
    one row of 16 a quoted "N/A" (missing)."""
    i = np.arange(BIG_ROWS, dtype=np.uint64)
    group = (i * np.uint64(123457) + np.uint64(BIG_SEED)) % np.uint64(BIG_GROUPS)
    # splitmix64 of the row number: the bits behind each row's cells
    z = i + np.uint64(BIG_SEED * 0x9E3779B97F4A7C15 % 2**64)
    with np.errstate(over="ignore"):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    every = np.ones(BIG_ROWS, bool)
    out = np.tile(np.frombuffer(b"g0000000,-000.000,00000\n", np.uint8), (BIG_ROWS, 1))
    _digits(out, every, 1, group, 7)
    out[:, 9] = np.where(z & np.uint64(1), ord("-"), ord("+"))
    _digits(out, every, 10, (z >> np.uint64(1)) % np.uint64(1000), 3)
    _digits(out, every, 14, (z >> np.uint64(11)) % np.uint64(1000), 3)
    # One row in four has x in exponent form, as wide: -1.2e-05
    expo = ((z >> np.uint64(21)) & np.uint64(3)) == 0
    out[expo, 11] = ord(".")
    out[expo, 13] = ord("e")
    out[expo, 14] = np.where((z[expo] >> np.uint64(23)) & np.uint64(1), ord("-"), ord("+"))
    _digits(out, expo, 10, (z >> np.uint64(24)) % np.uint64(10), 1)
    _digits(out, expo, 12, (z >> np.uint64(28)) % np.uint64(10), 1)
    _digits(out, expo, 15, (z >> np.uint64(32)) % np.uint64(100), 2)
    _digits(out, every, 18, (z >> np.uint64(40)) % np.uint64(100000), 5)
    gap = (z >> np.uint64(60)) == 0
    out[gap, 18:23] = np.frombuffer(b'"N/A"', np.uint8)
    return b"key,x,n\n" + out.tobytes()


def write_inputs(folder: str) -> dict[str, str]:
    """Writes the small inputs (name.csv) into folder; returns name -> file name."""
    names = {}
    for name, (make, _, _) in SMALL.items():
        with open(os.path.join(folder, name + ".csv"), "wb") as f:
            f.write(make())
        names[name] = name + ".csv"
    return names


def cases() -> list[tuple[str, str, list[str]]]:
    """(golden file name, input name, arguments after the file) of every small case."""
    out = []
    for name, (_, by, variants) in SMALL.items():
        group = [a for k in by for a in ("-g", k)]
        for variant, extra in variants.items():
            for fmt in FORMATS:
                out.append((f"{name}.{variant}.{fmt}", name, [*group, "-f", fmt, *extra]))
    return out


def command(file: str, args: list[str], cwd: str) -> subprocess.CompletedProcess[bytes]:
    """`python -m vornel describe FILE ARGS` in cwd."""
    return subprocess.run([sys.executable, "-m", "vornel", "describe", file, *args],
                          capture_output=True, cwd=cwd, check=False)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        files = write_inputs(tmp)
        for golden, name, args in cases():
            res = command(files[name], args, tmp)
            if res.returncode != 0:
                raise SystemExit(f"{golden}: exit status {res.returncode}: {res.stderr!r}")
            with open(os.path.join(HERE, golden), "wb") as f:
                f.write(res.stdout)
        errors = {}
        for name, (data, args) in ERRORS.items():
            with open(os.path.join(tmp, "bad.csv"), "wb") as f:
                f.write(data)
            res = command("bad.csv", args, tmp)
            errors[name] = {"args": args, "status": res.returncode,
                            "stderr": res.stderr.decode()}
        with open(os.path.join(HERE, "errors.json"), "w") as f:
            json.dump(errors, f, indent=1, ensure_ascii=False)
            f.write("\n")
        with open(os.path.join(tmp, "big.csv"), "wb") as f:
            f.write(big_csv())
        digests = {}
        for variant, args in BIG_VARIANTS.items():
            res = command("big.csv", ["-g", "key", *args], tmp)
            if res.returncode != 0:
                raise SystemExit(f"big {variant}: exit status {res.returncode}: {res.stderr!r}")
            digests[variant] = {"args": args, "bytes": len(res.stdout),
                                "sha256": hashlib.sha256(res.stdout).hexdigest()}
        with open(os.path.join(HERE, "big.json"), "w") as f:
            json.dump({"groups": BIG_GROUPS, "rows": BIG_ROWS, "seed": BIG_SEED,
                       "outputs": digests}, f, indent=1)
            f.write("\n")


if __name__ == "__main__":
    main()
