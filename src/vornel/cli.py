"""The `vornel` command: one-pass summaries of CSV and .npy files.

    vornel describe [FILE ...] [--column NAME]... [--group-by NAME] [--format table|json|csv]
    vornel describe --demo

Inputs are read in blocks, so memory stays bounded whatever the file size. All inputs form
one data set. Each group's statistics are those of adding that group's values to one
accumulator in file order, bit for bit, whatever the block size: every block is stably
sorted by group and each group's run is added to the group's own accumulator.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, NoReturn

import numpy as np
import numpy.typing as npt

from vornel import CyStreamStats, __version__

F64 = npt.NDArray[np.float64]
STATS = ("count", "sum", "mean", "min", "max", "var", "std")
BLOCK_BYTES = 4 << 20  # bytes per CSV block; the working set is a small multiple of it
NPY_ROWS = 1 << 19  # rows per .npy block
PROGRESS_BYTES = 32 << 20  # smaller inputs finish before a bar is worth drawing
STDIN = "-"


class InputError(Exception):
    """Bad input, reported as one line naming the source, line and column."""

    def __init__(self, message: str, source: str | None = None, line: int | None = None,
                 column: str | None = None) -> None:
        super().__init__(message)
        self.source, self.line, self.column = source, line, column

    def __str__(self) -> str:
        where = [self.source or ""]
        if self.line is not None:
            where.append(f"line {self.line}")
        if self.column is not None:
            where.append(f"column {self.column!r}")
        place = ", ".join(w for w in where if w)
        return f"{place}: {self.args[0]}" if place else str(self.args[0])


class UsageError(Exception):
    pass


@dataclass
class Block:
    """Rows of one input block: per selected column the values and which cells hold one
    (None: all do); with grouping, the block's distinct keys in order of first appearance
    and each row's index into them."""

    columns: dict[str, tuple[F64, npt.NDArray[np.bool_] | None]]
    keys: list[Any] | None = None
    codes: npt.NDArray[np.intp] | None = None


class Summary:
    """Accumulators per column, and per group key when grouping."""

    def __init__(self, columns: Sequence[str], grouped: bool) -> None:
        self.columns = list(columns)
        self.grouped = grouped
        self.total = [CyStreamStats() for _ in self.columns]
        # Insertion order is the order in which keys first appear in the input.
        self.groups: dict[Any, list[CyStreamStats]] = {}

    def add(self, block: Block) -> None:
        if not self.grouped:
            for acc, name in zip(self.total, self.columns):
                vals, valid = block.columns[name]
                acc.add_values(vals if valid is None else vals[valid])
            return
        assert block.keys is not None and block.codes is not None
        codes = block.codes
        order = np.argsort(codes, kind="stable")
        accs = []
        for key in block.keys:
            per_column = self.groups.get(key)
            if per_column is None:
                per_column = self.groups[key] = [CyStreamStats() for _ in self.columns]
            accs.append(per_column)
        for j, name in enumerate(self.columns):
            vals, valid = block.columns[name]
            ordj = order if valid is None else order[valid[order]]
            counts = np.bincount(codes[ordj], minlength=len(block.keys))
            # A stable sort keeps each group's values in file order.
            run = vals[ordj]
            ends = np.cumsum(counts).tolist()
            sizes = counts.tolist()
            for g in np.flatnonzero(counts).tolist():
                accs[g][j].add_values(run[ends[g] - sizes[g]:ends[g]])

    def rows(self) -> Iterator[tuple[Any, str, dict[str, Any]]]:
        if not self.grouped:
            for acc, name in zip(self.total, self.columns):
                yield None, name, dict(acc.result())
            return
        for key, accs in self.groups.items():
            for acc, name in zip(accs, self.columns):
                yield key, name, dict(acc.result())


# ---------------------------------------------------------------- sources


class Progress:
    """A byte counter shown as a bar on stderr for long inputs, only when stderr is a TTY."""

    def __init__(self, total: int, label: str) -> None:
        self.bar: Any = None
        if total < PROGRESS_BYTES or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            self.bar = _PlainBar(total, label)
        else:
            self.bar = tqdm(total=total, desc=label, unit="B", unit_scale=True,
                            file=sys.stderr, leave=False)

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _PlainBar:
    def __init__(self, total: int, label: str) -> None:
        self.total, self.done, self.label, self.shown = total, 0, label, -1

    def update(self, n: int) -> None:
        self.done += n
        pct = 100 * self.done // max(self.total, 1)
        if pct != self.shown:
            self.shown = pct
            sys.stderr.write(f"\r{self.label}: {pct:3d}%")
            sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\r\x1b[K")
        sys.stderr.flush()


@dataclass
class Request:
    columns: list[str] | None  # None: every numeric column of the first input
    group_by: str | None
    csv_reader: str
    block_bytes: int


def _open_binary(path: str) -> tuple[IO[bytes], str, int]:
    if path == STDIN:
        return sys.stdin.buffer, "<stdin>", 0
    try:
        f = open(path, "rb")
        size = os.fstat(f.fileno()).st_size
    except OSError as e:
        raise InputError(f"cannot open: {e.strerror or e}", path) from None
    return f, path, size


def _pick_columns(req: Request, header: Sequence[str], numeric: Callable[[str], bool],
                  source: str) -> list[str]:
    names = set(header)
    if req.group_by is not None and req.group_by not in names:
        raise InputError(f"no column named {req.group_by!r} to group by "
                         f"(columns: {', '.join(header)})", source, 1)
    if req.columns is not None:
        for name in req.columns:
            if name not in names:
                raise InputError(f"no column named {name!r} (columns: {', '.join(header)})",
                                 source, 1)
        return req.columns
    picked = [h for h in header if h != req.group_by and numeric(h)]
    if not picked:
        raise InputError("no numeric columns to summarise", source, 1)
    req.columns = picked  # later inputs must have the same columns
    return picked


def _number_cells(cells: Sequence[str], name: str, source: str,
                  lines: Sequence[int]) -> tuple[F64, npt.NDArray[np.bool_] | None]:
    """Parses the cells of one column as float() does; an empty cell holds no value."""
    out = np.empty(len(cells), dtype=np.float64)
    valid = None
    for i, cell in enumerate(cells):
        if cell == "" or cell.isspace():
            if valid is None:
                valid = np.ones(len(cells), dtype=np.bool_)
            valid[i] = False
            out[i] = 0.0
            continue
        try:
            out[i] = float(cell)
        except ValueError:
            what = "not UTF-8 text" if not _is_utf8(cell) else f"not a number: {cell!r}"
            raise InputError(what, source, lines[i], name) from None
    return out, valid


def _is_utf8(text: str) -> bool:
    # The csv module's text layer maps undecodable bytes to lone surrogates, so a bad byte
    # is reported where it is used, with its line, and ignored in unused columns.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _key_codes(keys: Iterable[Any]) -> tuple[list[Any], npt.NDArray[np.intp]]:
    index: dict[Any, int] = {}
    codes = [index.setdefault(k, len(index)) for k in keys]
    return list(index), np.asarray(codes, dtype=np.intp)


class _StdlibCsv:
    """Rows through the csv module: exact line numbers, also for quoted line breaks."""

    def __init__(self, req: Request, source: str, header: list[str],
                 rows: Iterator[list[str]], reader: Any) -> None:
        self.req, self.source, self.header = req, source, header
        self.rows, self.reader = rows, reader

    def blocks(self, progress: Callable[[], None]) -> Iterator[Block]:
        req, source, width = self.req, self.source, len(self.header)
        pos = {h: i for i, h in enumerate(self.header)}
        per_block = max(1, req.block_bytes // 32)
        first = True
        while True:
            rows: list[list[str]] = []
            lines: list[int] = []
            try:
                for row in self.rows:
                    if not row:
                        continue  # a blank line holds no row
                    if len(row) != width:
                        raise InputError(f"expected {width} fields, got {len(row)}", source,
                                         self.reader.line_num)
                    rows.append(row)
                    lines.append(self.reader.line_num)
                    if len(rows) >= per_block:
                        break
            except csv.Error as e:
                raise InputError(f"malformed CSV: {e}", source, self.reader.line_num) from None
            if first:
                first = False

                def numeric(name: str) -> bool:
                    cells = [r[pos[name]] for r in rows if r[pos[name]].strip()]
                    try:
                        [float(c) for c in cells]
                    except ValueError:
                        return False
                    return bool(cells)

                _pick_columns(req, self.header, numeric, source)
            if not rows:
                return
            assert req.columns is not None
            block = Block({name: _number_cells([r[pos[name]] for r in rows], name, source,
                                               lines) for name in req.columns})
            if req.group_by is not None:
                g = pos[req.group_by]
                block.keys, block.codes = _key_codes(r[g] for r in rows)
                for code, key in enumerate(block.keys):
                    if not _is_utf8(key):
                        i = int(np.flatnonzero(block.codes == code)[0])
                        raise InputError("not UTF-8 text", source, lines[i], req.group_by)
            progress()
            yield block


class _CountingText(io.RawIOBase):
    """Counts the bytes the text layer pulls from a binary stream."""

    def __init__(self, raw: IO[bytes], count: Callable[[int], None]) -> None:
        self.raw, self.count = raw, count

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        data = self.raw.read(len(b))
        b[: len(data)] = data
        self.count(len(data))
        return len(data)


def _csv_stdlib(req: Request, f: IO[bytes], source: str, bar: Progress) -> Iterator[Block]:
    done = [0]
    text = io.TextIOWrapper(io.BufferedReader(_CountingText(f, lambda n: done.__setitem__(
        0, done[0] + n))), encoding="utf-8-sig", errors="surrogateescape", newline="")
    reader = csv.reader(text)
    try:
        header = next(reader)
    except StopIteration:
        raise InputError("empty input, no header line", source, 1) from None
    except csv.Error as e:
        raise InputError(f"unreadable header: {e}", source, 1) from None
    if not all(map(_is_utf8, header)):
        raise InputError("not UTF-8 text", source, 1)
    seen = [0]

    def progress() -> None:
        bar.update(done[0] - seen[0])
        seen[0] = done[0]

    yield from _StdlibCsv(req, source, header, reader, reader).blocks(progress)


def _split_lines(f: IO[bytes], size: int) -> Iterator[bytes]:
    """Blocks of about size bytes, each ending at a line break (the last at end of input)."""
    carry = b""
    while True:
        data = f.read(size)
        if not data:
            if carry:
                yield carry
            return
        buf = carry + data
        cut = buf.rfind(b"\n") + 1
        if cut == 0:
            carry = buf  # a line longer than a block: keep reading
            continue
        carry = buf[cut:]
        yield buf[:cut]


def _csv_pyarrow(req: Request, f: IO[bytes], source: str, bar: Progress) -> Iterator[Block]:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.csv as pcsv  # type: ignore[import-untyped, unused-ignore]

    blocks = _split_lines(f, req.block_bytes)
    first = next(blocks, b"")
    nl = first.find(b"\n")
    head, first = (first, b"") if nl < 0 else (first[: nl + 1], first[nl + 1:])
    try:
        header = next(csv.reader([head.decode("utf-8-sig").rstrip("\r\n")]), None)
    except (csv.Error, UnicodeDecodeError) as e:
        raise InputError(f"unreadable header: {e}", source, 1) from None
    if not header:
        raise InputError("empty input, no header line", source, 1)
    bar.update(len(head))
    read_opts = pcsv.ReadOptions(column_names=header, use_threads=True)
    # Only an empty cell is missing; "nan", "NA" and the like are read as numbers or fail.
    base = dict(null_values=[""], strings_can_be_null=False, quoted_strings_can_be_null=False)

    inferred: list[Any] = []  # the first block's schema, parsed once when needed

    def numeric(name: str) -> bool:
        if not first.strip():
            return False  # no data rows: nothing to call numeric
        if not inferred:
            try:
                t = pcsv.read_csv(pa.BufferReader(first), read_options=read_opts,
                                  convert_options=pcsv.ConvertOptions(**base))
            except pa.ArrowInvalid as e:
                # A parse error (such as a ragged row), not a type question: report where.
                _locate(req, first, header, source, 2)
                raise InputError(f"in the block from this line on: {e}", source, 2) from None
            inferred.append(t.schema)
        typ = inferred[0].field(name).type
        return bool(pa.types.is_integer(typ) or pa.types.is_floating(typ))

    columns = _pick_columns(req, header, numeric, source)
    types: dict[str, Any] = {name: pa.float64() for name in columns}
    if req.group_by is not None:
        types[req.group_by] = pa.string()
    convert = pcsv.ConvertOptions(column_types=types, include_columns=list(types), **base)
    line = 2

    def chunks() -> Iterator[bytes]:
        if first:
            yield first
        yield from blocks

    for chunk in chunks():
        try:
            table = pcsv.read_csv(pa.BufferReader(chunk), read_options=read_opts,
                                  convert_options=convert)
        except (pa.ArrowInvalid, UnicodeDecodeError) as e:
            _locate(req, chunk, header, source, line)
            raise InputError(f"in the block from this line on: {e}", source, line) from None
        block = Block({})
        for name in columns:
            col = table.column(name)
            vals = np.asarray(col.to_numpy(), dtype=np.float64)
            if not vals.flags.writeable:
                vals = vals.copy()  # the native buffer path takes writable buffers only
            valid = None
            if col.null_count:
                valid = np.asarray(col.is_valid().to_numpy(), dtype=np.bool_)
            block.columns[name] = (vals, valid)
        if req.group_by is not None:
            enc = table.column(req.group_by).combine_chunks().dictionary_encode()
            block.keys = enc.dictionary.to_pylist()
            block.codes = np.asarray(enc.indices.to_numpy(), dtype=np.intp)
        line += chunk.count(b"\n")
        bar.update(len(chunk))
        yield block


def _locate(req: Request, chunk: bytes, header: list[str], source: str, line: int) -> None:
    """Finds the first bad cell of a block that pyarrow refused, with the csv module's
    exact positions; raises InputError when it does."""
    text = io.StringIO(chunk.decode("utf-8", errors="surrogateescape"), newline="")
    reader = csv.reader(text)

    class Shifted:
        @property
        def line_num(self) -> int:
            return reader.line_num + line - 1

    for _ in _StdlibCsv(req, source, header, reader, Shifted()).blocks(lambda: None):
        pass


def _npy(req: Request, path: str, bar: Progress) -> Iterator[Block]:
    try:
        # Copy-on-write: the buffer path takes writable buffers only, and the file stays as is.
        a = np.load(path, mmap_mode="c", allow_pickle=False)
    except OSError as e:
        raise InputError(f"cannot open: {e.strerror or e}", path) from None
    except ValueError as e:
        raise InputError(f"not a readable .npy file: {e}", path) from None
    if a.dtype.names:
        cols = {name: a[name] for name in a.dtype.names}
        if a.ndim != 1:
            raise InputError(f"expected a one-dimensional record array, got {a.ndim} dimensions",
                             path)
    elif a.ndim == 1:
        cols = {"value": a}
    elif a.ndim == 2:
        cols = {str(j): a[:, j] for j in range(a.shape[1])}
    else:
        raise InputError(f"expected one or two dimensions, got {a.ndim}", path)

    def numeric(name: str) -> bool:
        kind = cols[name].dtype.kind
        return kind in "iuf" and cols[name].ndim == 1

    columns = _pick_columns(req, list(cols), numeric, path)
    for name in columns:
        if not numeric(name):
            raise InputError(f"not numeric (dtype {cols[name].dtype})", path, None, name)
    n = len(a)
    per_byte = max(1, a.nbytes // max(n, 1))
    for lo in range(0, n, NPY_ROWS):
        hi = min(lo + NPY_ROWS, n)
        block = Block({})
        for name in columns:
            part = cols[name][lo:hi]
            if part.dtype != np.float64 or not part.dtype.isnative:
                part = part.astype(np.float64)
            block.columns[name] = (part, None)
        if req.group_by is not None:
            keys = cols[req.group_by][lo:hi]
            uniq, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
            by_first = np.argsort(first)
            rank = np.empty(len(uniq), dtype=np.intp)
            rank[by_first] = np.arange(len(uniq))
            block.keys = [k.decode("utf-8", "backslashreplace") if isinstance(k, bytes) else k
                          for k in uniq[by_first].tolist()]
            block.codes = rank[inverse.reshape(-1)]
        bar.update((hi - lo) * per_byte)
        yield block


def _blocks(req: Request, path: str) -> Iterator[Block]:
    if path != STDIN and path.endswith(".npy"):
        size = os.path.getsize(path) if os.path.exists(path) else 0
        bar = Progress(size, os.path.basename(path))
        try:
            yield from _npy(req, path, bar)
        finally:
            bar.close()
        return
    f, source, size = _open_binary(path)
    bar = Progress(size, os.path.basename(source))
    try:
        reader = req.csv_reader
        if reader == "auto":
            reader = "pyarrow" if _have_pyarrow() else "stdlib"
        if reader == "pyarrow":
            yield from _csv_pyarrow(req, f, source, bar)
        else:
            yield from _csv_stdlib(req, f, source, bar)
    except OSError as e:
        raise InputError(f"cannot read: {e.strerror or e}", source) from None
    finally:
        bar.close()
        if f is not sys.stdin.buffer:
            f.close()


def _have_pyarrow() -> bool:
    try:
        import pyarrow.csv  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------- demo

DEMO_ROWS = 1_000_000
DEMO_STATIONS = ["north", "south", "east", "west", "harbour", "airport", "summit", "valley"]


def _demo(req: Request) -> Iterator[Block]:
    """A seeded weather feed: per station, temperature, humidity and wind readings."""
    header = ["station", "temperature", "humidity", "wind"]
    columns = _pick_columns(req, header, lambda name: name != "station", "<demo>")
    rng = np.random.default_rng(2024)
    base = np.linspace(-2.0, 18.0, len(DEMO_STATIONS))
    for lo in range(0, DEMO_ROWS, 100_000):
        n = min(100_000, DEMO_ROWS - lo)
        st = rng.integers(0, len(DEMO_STATIONS), n)
        data = {
            "temperature": rng.normal(base[st], 4.0),
            "humidity": np.clip(rng.normal(70.0 - base[st], 12.0), 0.0, 100.0),
            "wind": rng.gamma(2.0, 3.0 + st / 2.0),
        }
        block = Block({name: (data[name], None) for name in columns})
        if req.group_by is not None:
            if req.group_by != "station":
                raise InputError("the demo can be grouped by 'station' only", "<demo>")
            block.keys, block.codes = list(DEMO_STATIONS), st.astype(np.intp)
        yield block


# ---------------------------------------------------------------- output


def _fmt_table(rows: list[tuple[Any, str, dict[str, Any]]], grouped: bool, out: IO[str]) -> None:
    head = (["group"] if grouped else []) + ["column", *STATS]
    body = []
    for key, name, res in rows:
        cells = ([str(key)] if grouped else []) + [name]
        for stat in STATS:
            v = res[stat]
            cells.append("-" if v is None else str(v) if stat == "count" else f"{v:.10g}")
        body.append(cells)
    widths = [max(len(r[i]) for r in [head, *body]) for i in range(len(head))]
    text_cols = 2 if grouped else 1
    for r in [head, *body]:
        out.write("  ".join(c.ljust(w) if i < text_cols else c.rjust(w)
                            for i, (c, w) in enumerate(zip(r, widths))).rstrip() + "\n")


def _json_number(v: Any) -> Any:
    # JSON has no NaN or infinities; they are written as the strings float() reads back.
    if isinstance(v, float) and not math.isfinite(v):
        return repr(v)
    return v


def _fmt_json(rows: list[tuple[Any, str, dict[str, Any]]], grouped: bool, out: IO[str]) -> None:
    recs = []
    for key, name, res in rows:
        rec: dict[str, Any] = {"group": _json_number(key)} if grouped else {}
        rec["column"] = name
        rec.update((stat, _json_number(res[stat])) for stat in STATS)
        recs.append(rec)
    json.dump(recs, out, indent=2, allow_nan=False)
    out.write("\n")


def _fmt_csv(rows: list[tuple[Any, str, dict[str, Any]]], grouped: bool, out: IO[str]) -> None:
    w = csv.writer(out, lineterminator="\n")
    w.writerow((["group"] if grouped else []) + ["column", *STATS])
    for key, name, res in rows:
        # repr round-trips: the written numbers are the computed doubles exactly.
        w.writerow(([key] if grouped else []) + [name] + [
            "" if res[s] is None else repr(res[s]) for s in STATS])


FORMATS = {"table": _fmt_table, "json": _fmt_json, "csv": _fmt_csv}


# ---------------------------------------------------------------- command line


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="vornel", description="One-pass, mergeable summary statistics.")
    p.add_argument("--version", action="version", version=f"vornel {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    d = sub.add_parser(
        "describe", help="count, sum, mean, min, max, var and std of numeric columns",
        description="Summarise numeric columns of CSV files (with a header line) and .npy "
                    "files in one pass: count, sum, mean, min, max, population variance and "
                    "standard deviation. Empty CSV cells hold no value. With no FILE, or "
                    "FILE '-', reads CSV from standard input.")
    d.add_argument("files", nargs="*", metavar="FILE", help="CSV or .npy files; - for stdin")
    d.add_argument("--column", "-c", action="append", metavar="NAME", dest="columns",
                   help="column to summarise (repeatable; default: every numeric column)")
    d.add_argument("--group-by", "-g", metavar="NAME",
                   help="summarise per distinct value of this column, in order of first "
                        "appearance")
    d.add_argument("--format", "-f", choices=sorted(FORMATS), default="table",
                   help="output format (default: table)")
    d.add_argument("--csv-reader", choices=["auto", "pyarrow", "stdlib"], default="auto",
                   help="CSV parser: pyarrow's (auto, where installed) or the csv module's")
    d.add_argument("--demo", action="store_true",
                   help="summarise a generated weather data set per station instead of files")
    d.add_argument("--block-size", type=int, default=BLOCK_BYTES, help=argparse.SUPPRESS)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        if args.command is None:
            raise UsageError("a command is required (describe)")
        if args.demo and args.files:
            raise UsageError("--demo takes no FILE")
        if args.block_size < 1:
            raise UsageError("--block-size must be positive")
        group_by = args.group_by
        if args.demo and group_by is None:
            group_by = "station"
        if group_by is not None and args.columns and group_by in args.columns:
            raise UsageError(f"column {group_by!r} is the group-by column")
        req = Request(list(dict.fromkeys(args.columns)) if args.columns else None, group_by,
                      args.csv_reader, args.block_size)
        summary: Summary | None = None
        sources = [_demo(req)] if args.demo else [_blocks(req, p) for p in args.files or [STDIN]]
        for blocks in sources:
            for block in blocks:
                if summary is None:
                    assert req.columns is not None
                    summary = Summary(req.columns, group_by is not None)
                summary.add(block)
        if summary is None:  # inputs without data rows
            summary = Summary(req.columns or [], group_by is not None)
        FORMATS[args.format](list(summary.rows()), group_by is not None, sys.stdout)
        sys.stdout.flush()
    except UsageError as e:
        print(f"vornel: error: {e} (see vornel describe --help)", file=sys.stderr)
        return 2
    except InputError as e:
        print(f"vornel: error: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # A reader such as head went away: not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    return 0
