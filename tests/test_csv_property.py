"""Random CSV files read end to end by the native reader, against a plain-Python reader
built from the README: its dialect (quoted fields with doubled quotes, commas and line breaks
inside; LF, CRLF and bare CR line ends, mixed; a byte order mark; empty lines), its number
forms (read with float()), NA value cells, missing key cells, and each group's values folded
into one CyStreamStats in file order. Every range size from one byte up and one to four
scanning threads must give those bits. Then quotes out of place, which must be errors
naming the quote's line at every range size and thread count."""

import csv
import io
import math
import re
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornel import CyStreamStats, describe, state
from vornel.table import InputError

NA_VALUES = ["", "NA", "N/A", "NULL", "null", "NaN", "nan"]  # describe's default
# na_values drawn for a file (None: the default). "-999" is a number that stands for a
# missing value when written exactly, and a number again when padded; without "nan" and
# "NaN" those cells are NaN, missing only under skipna.
NA_CHOICES = [None, ["", "NA", "-999", "?"], ["", "nan"], ["NA", "NULL"]]
KEY_NA_CHOICES = [None, ["", "NA", "null"], ["NA"], []]  # None: the default, ("",)
ENDS = ["\n", "\r\n", "\r"]
BOM = "\ufeff"
BLOCKS = st.integers(1, 64) | st.sampled_from([97, 500, 4096, 16 << 20])
THREADS = st.integers(1, 4)
SETTINGS = settings(max_examples=120, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow,
                                           HealthCheck.function_scoped_fixture])

# The README's number forms: spaces and tabs around, a sign, digits with at most one point
# and digits on at least one side, an exponent; infinity words; NaN with an optional
# payload of letters, digits and "_". ASCII only (re.A), any case.
NUMBER = re.compile(r"[ \t]*(?P<num>(?P<sign>[+-]?)(?:(?:\d+\.?\d*|\.\d+)(?:e[+-]?\d+)?"
                    r"|inf|infinity|(?P<nan>nan(?:\(\w*\))?)))[ \t]*", re.I | re.A)


def number(text):
    """The value of a number cell's text, None if it is not one. float() reads every form
    but NaN payloads, and accepts more (underscores, other spaces): the pattern decides."""
    m = NUMBER.fullmatch(text)
    if m is None:
        return None
    if m["nan"]:
        return math.copysign(math.nan, -1.0 if m["sign"] == "-" else 1.0)
    return float(m["num"])


def split(text):
    """Records of the text as lists of (content, quoted) fields: commas separate fields, LF,
    CRLF or a bare CR end records, a field opening with a quote runs to the quote that is
    not doubled. A line with nothing on it is no record. The text must be well formed."""
    records, fields, cell, quoted, inside = [], [], [], False, False
    i = 0
    while i < len(text):
        c = text[i]
        if inside:
            if c == '"' and text.startswith('"', i + 1):
                cell.append('"')
                i += 1
            elif c == '"':
                inside = False
            else:
                cell.append(c)
        elif c == '"':
            assert not cell and not quoted, "quote out of place"
            inside = quoted = True
        elif c in ",\r\n":
            fields.append(("".join(cell), quoted))
            cell, quoted = [], False
            if c != ",":
                if fields != [("", False)]:
                    records.append(fields)
                fields = []
                if text.startswith("\r\n", i):
                    i += 1
        else:
            assert not quoted, "text after a closing quote"
            cell.append(c)
        i += 1
    assert not inside, "unbalanced quote"
    if fields or cell or quoted:
        records.append(fields + [("".join(cell), quoted)])
    return records


def line_breaks(text):
    return len(re.findall(r"\r\n|\r|\n", text))


def quote(text):
    return '"' + text.replace('"', '""') + '"'


def bits(records):
    """Records' bytes with every NaN made one NaN: a NaN's sign and payload follow the
    operand order of a compiled loop, which the grouped and single-stream loops may not
    share."""
    recs = np.array(records, copy=True)
    for f in ("sum", "mean", "m2", "min", "max"):
        recs[f] = np.where(np.isnan(recs[f]), np.nan, recs[f])
    return recs.tobytes()


# ---------------------------------------------------------------- generated files

SIGNS = st.sampled_from(["", "", "+", "-"])
PAD = st.sampled_from(["", "", "", " ", "\t", "  ", " \t"])
# Exponents near the ends of the double range, and ones of many digits that overflow or
# underflow whatever the mantissa.
EXPONENTS = (st.integers(0, 30) | st.integers(290, 345)).map(str) | st.sampled_from(
    ["0000000000000000000001", "400", "4000000000000000000000"])
# Forms the README's table lists by name: rounding at the ends of the range, ties, long
# digit strings, negative zeros, and a custom NA text that is a number when padded.
LISTED = st.sampled_from([
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
    "2.4703282292062327e-324", "2.4703282292062328e-324", "4.9e-324", "9e-325", "1.0e-323",
    "2.2250738585072011e-308", "9007199254740993", "9007199254740995",
    "9223372036854775807", "18446744073709551615", "123456789012345678901234567890",
    "9007199254740993." + "0" * 880, "9007199254740993." + "0" * 880 + "1", "1" * 309,
    "1" * 310, "-0", "-00", "-0.0", "-0e0", "-1e-400", "1e-400", "-1e400", "-999"])


def _cased(draw, word):
    upper = draw(st.lists(st.booleans(), min_size=len(word), max_size=len(word)))
    return "".join(c.upper() if u else c for c, u in zip(word, upper))


@st.composite
def integers(draw):
    digits = str(draw(st.integers(0, 2**70) | st.integers(0, 99)))
    return draw(SIGNS) + draw(st.sampled_from(["", "", "0", "00"])) + digits


@st.composite
def numbers(draw):
    """The text of a number, in one of the README's forms (padding and quotes come later)."""
    kind = draw(st.sampled_from(["int", "decimal", "decimal", "repr", "word", "listed"]))
    if kind == "int":
        return draw(integers())
    if kind == "decimal":
        whole = draw(st.text("0123456789", max_size=20))
        frac = draw(st.text("0123456789", max_size=20))
        point = draw(st.booleans())
        if not whole and not (point and frac):
            whole = "0"
        text = draw(SIGNS) + whole + ("." + frac if point else "")
        if draw(st.booleans()):
            text += (draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"]))
                     + draw(st.sampled_from(["", "0", "00"])) + draw(EXPONENTS))
        return text
    if kind == "repr":
        x = draw(st.floats(allow_nan=False, allow_infinity=False))
        text = draw(st.sampled_from([repr(x), f"{x:.17g}", f"{x:.3e}"]))
        if draw(st.booleans()):
            text = re.sub(r"^(-?)0\.", r"\1.", text)  # .5, -.5
        return ("+" if text[0] != "-" and draw(st.booleans()) else "") + text
    if kind == "word":
        word = draw(st.sampled_from(["inf", "infinity", "nan", "nan()", "nan(0x1)",
                                     "nan(a_B9)"]))
        return draw(SIGNS) + _cased(draw, word)
    return draw(LISTED)


@st.composite
def value_cells(draw, na, ints):
    """A value cell as written: a number (padded, maybe quoted, its padding inside the
    quotes too) or one of the na cells exactly (maybe quoted)."""
    if draw(st.integers(0, 4)) == 0:
        text = draw(st.sampled_from(na))
    else:
        text = draw(PAD) + draw(integers() if ints else numbers()) + draw(PAD)
    return quote(text) if draw(st.integers(0, 3)) == 0 else text


KEY_TEXT = st.sampled_from(["", "", "a", "b", "NA", "null", "nan", " a", "1", "-0"]) | st.lists(
    st.sampled_from(["a", "b", " ", ",", '"', "\n", "\r", "\r\n", "\u00e9"]),
    max_size=4).map("".join)
# Text that is never a number or an NA cell, so automatic selection leaves its column out.
NOTE_TEXT = st.text(["t", " ", ",", '"', "\n", "\r", "1"], max_size=6).map(lambda s: "t" + s)
FANCY = st.sampled_from(["", "", ' "q"', ", two", "\nline", "\r\nline"])


def field(draw, text):
    """A field holding text: quoted where it must be, and sometimes where it need not."""
    return quote(text) if set(text) & set(',"\r\n') or draw(st.booleans()) else text


@dataclass
class File:
    lines: list  # the header line, then records and empty lines, each with its line end
    bom: bool
    keys: list  # key column names
    values: list  # value column names
    na_values: list | None
    key_na_values: list | None

    @property
    def text(self):
        return (BOM if self.bom else "") + "".join(self.lines)


@st.composite
def csv_files(draw):
    """A header of one or two key columns, one to three value columns and sometimes a text
    column, in any order, names quoted where they must be; rows of keys, numbers, NA cells
    and text; records and empty lines ended by one line end, or by any mix of them; the
    last record's line end sometimes left out; a byte order mark sometimes. A value column
    holds integers only or any number form."""
    keys = [f"k{i}" + draw(FANCY) for i in range(draw(st.integers(1, 2)))]
    values = [f"x{i}" + draw(FANCY) for i in range(draw(st.integers(1, 3)))]
    names = draw(st.permutations(keys + values + (["note"] if draw(st.booleans()) else [])))
    # by= names the keys in header order: in another order the reader's key tuples go wrong
    # (see test_key_tuples_follow_by below).
    keys = [n for n in names if n in keys]
    na = draw(st.sampled_from(NA_CHOICES))
    ints = {v: draw(st.booleans()) for v in values}
    end = st.sampled_from(ENDS) if draw(st.booleans()) else st.just(draw(st.sampled_from(ENDS)))
    lines = [",".join(field(draw, name) for name in names) + draw(end)]
    for _ in range(draw(st.integers(0, 25))):
        while draw(st.integers(0, 7)) == 7:
            lines.append(draw(end))  # an empty line: no record
        cells = [field(draw, draw(NOTE_TEXT)) if name == "note"
                 else field(draw, draw(KEY_TEXT)) if name in keys
                 else draw(value_cells(na or NA_VALUES, ints[name])) for name in names]
        lines.append(",".join(cells) + draw(end))
    if draw(st.booleans()):
        lines[-1] = lines[-1].rstrip("\r\n")  # no line end after the last record
    while draw(st.integers(0, 5)) == 5:
        lines.append(draw(end))
    return File(lines, draw(st.booleans()), keys, values, na,
                draw(st.sampled_from(KEY_NA_CHOICES)))


# ---------------------------------------------------------------- well-formed files


def reference(f, by, skipna):
    """What a reader following the README makes of the file: per group (in order of first
    appearance) its rows and the values of each column that holds only numbers and NA
    cells, in file order; and the columns automatic selection keeps."""
    text = f.text.removeprefix(BOM)
    header, *records = split(text)
    # Python's csv module reads this dialect too: an independent check of the splitter.
    assert [r for r in csv.reader(io.StringIO(text, newline="")) if r] == [
        [c for c, _ in r] for r in (header, *records)]
    names = [c for c, _ in header]
    rows = [dict(zip(names, (c for c, _ in r), strict=True)) for r in records]
    na = NA_VALUES if f.na_values is None else f.na_values
    key_na = [""] if f.key_na_values is None else f.key_na_values
    # Columns that are not keys: numbers where every cell is a number or an NA cell (NA
    # cells match whole, quotes removed). Ungrouped, the key columns are such columns too.
    cells = {n: [row[n] for row in rows] for n in names if n not in by}
    numbers = {n: [None if c in na else number(c) for c in col] for n, col in cells.items()
               if all(c in na or number(c) is not None for c in col)}
    assert set(f.values) <= set(numbers)
    # Automatic selection keeps those with a cell other than an NA cell (a NaN spelling
    # too: a NaN is a number, even where skipna makes it missing).
    numeric = [n for n in names if n in numbers and any(c not in na for c in cells[n])]
    groups = {}
    for i, row in enumerate(rows):
        key = tuple(None if row[k] in key_na else row[k] for k in by)
        key = (key[0] if len(by) == 1 else key) if by else None
        group = groups.setdefault(key, [0, {n: [] for n in numbers}])
        group[0] += 1
        for n, col in numbers.items():
            x = col[i]
            if x is not None and not (skipna and math.isnan(x)):
                group[1][n].append(x)
    if not by and not groups:
        groups[None] = [0, {n: [] for n in numbers}]
    return groups, numeric


def fold(values):
    acc = CyStreamStats()
    acc.add_values(np.array(values, np.float64))
    return state.to_records(acc)


@SETTINGS
@given(f=csv_files(), reads=st.lists(st.tuples(BLOCKS, THREADS), min_size=1, max_size=2),
       skipna=st.booleans(), auto=st.booleans(), grouped=st.integers(0, 5).map(bool))
def test_reader_gives_the_reference_bits(tmp_path, f, reads, skipna, auto, grouped):
    by = f.keys if grouped else []
    groups, numeric = reference(f, by, skipna)
    path = tmp_path / "f.csv"
    path.write_bytes(f.text.encode())
    kw = dict(by=by, skipna=skipna, columns=None if auto else f.values)
    if f.na_values is not None:
        kw["na_values"] = f.na_values
    if f.key_na_values is not None:
        kw["key_na_values"] = f.key_na_values
    want_columns = numeric if auto else f.values
    for block, threads in reads:
        if not want_columns:
            with pytest.raises(InputError, match="no numeric columns"):
                describe(path, block_size=block, threads=threads, **kw)
            continue
        s = describe(path, block_size=block, threads=threads, **kw)
        assert s.columns == want_columns
        if grouped:
            assert s.keys == list(groups)
        rows = [n for n, _ in groups.values()]
        assert s.row_counts.reshape(-1).tolist() == rows
        for v in want_columns:
            got = s.records[v].reshape(-1)
            want = [values[v] for _, values in groups.values()]
            assert [bits(r) for r in got] == [bits(fold(w)) for w in want], v
            assert s.missing[v].reshape(-1).tolist() == [
                n - len(w) for n, w in zip(rows, want)], v


@pytest.mark.parametrize("header", [
    "k0,k1,x",
    "k1,k0,x",
])
@pytest.mark.parametrize("block", [1, 16 << 20], ids=["block=1", "block=16MiB"])
def test_key_tuples_follow_by(tmp_path, header, block):
    path = tmp_path / "f.csv"
    row = {"k0": "a", "k1": "b", "x": "1"}
    path.write_text(header + "\n" + ",".join(row[n] for n in header.split(",")) + "\n")
    s = describe(path, by=["k0", "k1"], block_size=block)
    assert s.keys == [("a", "b")]


# ---------------------------------------------------------------- quotes out of place

# A tail after a quote that never closes: no quote in it, so nothing can close it.
OPEN_TAIL = st.lists(st.sampled_from(["a", "1", ",", " ", "\n", "\r", "\r\n"]),
                     max_size=8).map("".join)


@st.composite
def faulty_files(draw):
    """A well-formed file with a line put in before one of its lines (the header too), or
    at its end: simple cells, then a quote out of place. The file ends inside a quote that
    never closes; the other faults are followed by the rest of the file."""
    f = draw(csv_files())
    at = draw(st.integers(0, len(f.lines)))
    head = (BOM if f.bom else "") + "".join(f.lines[:at])
    keys = f.keys
    if at and not head.endswith(("\n", "\r")):
        head += "\n"  # the line before lost its line end
    lead = "".join(c + "," for c in draw(st.lists(st.sampled_from(["a", "1", '""', ""]),
                                                  max_size=3)))
    kind = draw(st.sampled_from(["never closes", "inside unquoted", "after closing"]))
    if kind == "never closes":
        return head + lead, '"' + draw(OPEN_TAIL), kind, keys
    if kind == "inside unquoted":
        before = draw(st.sampled_from(["a", "1", "ab"]))
        fault = before + '"' + draw(st.sampled_from(["", "b", '"']))
        head += lead + before
        rest = fault[len(before):]
    else:
        # The closing quote is the one out of place: its line, after any line breaks
        # the field holds.
        head += lead + quote(draw(KEY_TEXT))[:-1]
        rest = '"' + draw(st.sampled_from(["x", "1", ' "', "a,"]))
    return head, rest + draw(st.sampled_from(ENDS)) + "".join(f.lines[at:]), kind, keys


MESSAGES = {"never closes": "a quoted field never closes (unbalanced quote)",
            "inside unquoted": "a quote inside an unquoted field",
            "after closing": "text after the closing quote of a field"}


@SETTINGS
@given(case=faulty_files(), block=BLOCKS, threads=THREADS)
def test_quote_out_of_place_names_its_line(tmp_path, case, block, threads):
    head, tail, kind, keys = case
    path = tmp_path / "f.csv"
    path.write_bytes((head + tail).encode())
    # Automatic selection: cells that are not numbers make no error of their own.
    with pytest.raises(InputError) as err:
        describe(path, by=keys, block_size=block, threads=threads)
    assert str(err.value.args[0]).startswith(MESSAGES[kind])
    assert err.value.line == 1 + line_breaks(head.removeprefix(BOM))


@pytest.mark.parametrize("data,line", [
    (b'x,y\n1,"b\rc"x\n', 3),
    (b'a,"b\nc"x,d\n1,2\n', 2),
    (b'a,"b\rc"x,d\n1,2\n', 2),
    (b'a,"b\rc",d"e\n1,2,3\n', 2),
], ids=["record", "header, quoted LF", "header, quoted CR", "header, CR then stray quote"])
@pytest.mark.parametrize("block", [1, 16 << 20], ids=["block=1", "block=16MiB"])
def test_header_quote_fault_after_a_bare_cr(tmp_path, data, line, block):
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    with pytest.raises(InputError) as err:
        describe(path, block_size=block)
    assert err.value.line == line


@pytest.mark.parametrize("data,columns", [
    (b'k,x\r\nab,1\r\n"', None),
    (b'k,x\r\nab,1\r\nb"c,1\r\n', None),
    (b'k,x\r\nab,1\r\nb,zz\r\n', ["x"]),
    (b'k,x\r\nab,1\r\nb,1,2\r\n', None),
], ids=["never closes", "inside unquoted", "not a number", "ragged"])
# Five bytes end the second range between the CR and the LF of "ab,1\r\n".
@pytest.mark.parametrize("block", [16 << 20, 5], ids=["block=16MiB", "block=5"])
def test_error_line_after_a_crlf_cut_by_a_range(tmp_path, data, columns, block):
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    with pytest.raises(InputError) as err:
        describe(path, columns=columns, block_size=block, threads=1)
    assert err.value.line == 3
