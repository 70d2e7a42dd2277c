"""The `vornel` command: argument parsing and printing over vornel.table.

    vornel describe [FILE ...] [--column NAME]... [--group-by NAME]... [--format table|json|csv]
                    [--ddof N] [--quantiles Q,Q,...] [--accuracy A]
    vornel describe --demo

Files are CSV (also .gz, .bz2, .zst, .xz), Parquet or .npy; all of them form one data set,
read in blocks of bounded size. Each group's statistics are those of adding that group's
values to one accumulator in file order, bit for bit, whatever the block size.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

import numpy as np

from vornel import __version__
from vornel.table.output import FORMATS, csv_chunks, json_chunks
from vornel.table.summary import STATS

PROGRESS_BYTES = 32 << 20  # smaller inputs finish before a bar is worth drawing
STDIN = "-"


class UsageError(Exception):
    pass


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


# ---------------------------------------------------------------- demo

DEMO_ROWS = 1_000_000
DEMO_STATIONS = ["north", "south", "east", "west", "harbour", "airport", "summit", "valley"]


def demo_data() -> dict[str, Any]:
    """A seeded weather feed: per station, temperature, humidity and wind readings."""
    rng = np.random.default_rng(2024)
    base = np.linspace(-2.0, 18.0, len(DEMO_STATIONS))
    parts: dict[str, list[Any]] = {"station": [], "temperature": [], "humidity": [],
                                   "wind": []}
    for lo in range(0, DEMO_ROWS, 100_000):
        n = min(100_000, DEMO_ROWS - lo)
        st = rng.integers(0, len(DEMO_STATIONS), n)
        parts["station"].append(st)
        parts["temperature"].append(rng.normal(base[st], 4.0))
        parts["humidity"].append(np.clip(rng.normal(70.0 - base[st], 12.0), 0.0, 100.0))
        parts["wind"].append(rng.gamma(2.0, 3.0 + st / 2.0))
    cols = {k: np.concatenate(v) for k, v in parts.items()}
    cols["station"] = np.array(DEMO_STATIONS)[cols["station"]]
    return cols


# ---------------------------------------------------------------- command line


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    from vornel.table.csvfile import BLOCK_BYTES, NA_VALUES

    p = _Parser(prog="vornel", description="One-pass, mergeable summary statistics.")
    p.add_argument("--version", action="version", version=f"vornel {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    d = sub.add_parser(
        "describe", help="count, missing, sum, mean, min, max, var and std of numeric columns",
        description="Summarise numeric columns of CSV files (with a header line; also .gz, "
                    ".bz2, .zst, .xz), Parquet and .npy files in one pass: count, missing, "
                    "sum, mean, min, max, variance and standard deviation (population ones "
                    "unless --ddof). Missing values (the --na-values cells, nulls, and NaN "
                    "unless --keep-nan) hold no value; 'missing' counts them. With no FILE, "
                    "or FILE '-', reads CSV from standard input.")
    d.add_argument("files", nargs="*", metavar="FILE",
                   help="CSV, Parquet or .npy files; - for stdin")
    d.add_argument("--column", "-c", action="append", metavar="NAME", dest="columns",
                   help="column to summarise (repeatable; default: every numeric column)")
    d.add_argument("--group-by", "-g", action="append", metavar="NAME", dest="group_by",
                   help="summarise per distinct value of this column (repeatable: per "
                        "distinct combination), in order of first appearance")
    d.add_argument("--format", "-f", choices=sorted(FORMATS), default="table",
                   help="output format (default: table)")
    d.add_argument("--na-values", metavar="LIST", default=None,
                   help="comma-separated CSV cells that hold no value (default: "
                        f"'{','.join(NA_VALUES)}', the empty cell included)")
    d.add_argument("--key-na-values", metavar="LIST", default=None,
                   help="comma-separated CSV key cells that are the missing key (default: "
                        "only the empty cell; 'NA' stays a key)")
    d.add_argument("--ddof", type=int, default=0, metavar="N",
                   help="var and std divide by count - N (default 0, the population variance; "
                        "1 gives the sample variance of pandas and Polars); NaN where "
                        "count <= N")
    d.add_argument("--quantiles", "-q", metavar="LIST", default=None,
                   help="comma-separated quantiles in [0, 1] to report (e.g. 0.25,0.5,0.75: "
                        "columns p25, p50, p75), each within --accuracy of the value of its "
                        "rank, the same however the input is split")
    d.add_argument("--accuracy", type=float, default=0.01, metavar="A",
                   help="relative accuracy of the quantiles (default 0.01)")
    d.add_argument("--threads", "-j", type=int, default=None, metavar="N",
                   help="threads that read CSV and fold columns (default: every CPU this "
                   "process may use); the output is the same for any N")
    d.add_argument("--keep-nan", action="store_true",
                   help="count NaN values as values (they poison sum, mean and variance); "
                        "by default NaN is missing")
    # The csv module's reader is gone: one parser gives one number syntax.
    d.add_argument("--csv-reader", choices=["auto", "pyarrow"], default="auto",
                   help=argparse.SUPPRESS)
    d.add_argument("--demo", action="store_true",
                   help="summarise a generated weather data set per station instead of files")
    d.add_argument("--block-size", type=int, default=BLOCK_BYTES, help=argparse.SUPPRESS)
    return p


def _quantiles(text: str | None) -> list[float] | None:
    if text is None:
        return None
    try:
        return [float(q) for q in text.split(",")]
    except ValueError:
        raise UsageError(f"--quantiles must be comma-separated numbers, got {text!r}") from None


def _describe(args: argparse.Namespace) -> Any:
    from vornel.table import describe

    from vornel.table.summary import check_quantiles

    by = args.group_by
    sketch = {"quantiles": _quantiles(args.quantiles), "relative_accuracy": args.accuracy}
    try:
        check_quantiles(sketch["quantiles"], args.accuracy)
    except (TypeError, ValueError) as e:
        raise UsageError(f"--quantiles or --accuracy: {e}") from None
    if args.demo:
        if args.files:
            raise UsageError("--demo takes no FILE")
        return describe(demo_data(), columns=args.columns, by=by or ["station"],
                        skipna=not args.keep_nan, **sketch)
    if args.na_values is not None:
        na = args.na_values.split(",")
    else:
        from vornel.table.csvfile import NA_VALUES

        # With --keep-nan, NaN cells are values, unless --na-values says otherwise.
        na = [v for v in NA_VALUES if not (args.keep_nan and v.lower() == "nan")]
    key_na = ([""] if args.key_na_values is None else args.key_na_values.split(","))
    bar = Progress(sum(_size(p) for p in args.files), "reading")
    try:
        return describe(args.files or [STDIN], columns=args.columns, by=by,
                        skipna=not args.keep_nan, na_values=na, key_na_values=key_na,
                        block_size=args.block_size, threads=args.threads,
                        progress=bar.update, **sketch)
    finally:
        bar.close()


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def main(argv: Sequence[str] | None = None) -> int:
    from vornel.table import InputError

    try:
        args = _parser().parse_args(argv)
        if args.command is None:
            raise UsageError("a command is required (describe)")
        if args.block_size < 1:
            raise UsageError("--block-size must be positive")
        if args.threads is not None and args.threads < 1:
            raise UsageError(f"--threads must be positive, got {args.threads}")
        if args.ddof < 0:
            raise UsageError(f"--ddof must be 0 or more, got {args.ddof}")
        for name in set(args.columns or ()) & set(args.group_by or ()):
            raise UsageError(f"column {name!r} is a group-by column")
        summary = _describe(args)
        # CSV and JSON stream in pieces (they fail, if at all, before the first); the
        # table is made whole, so that a failure prints nothing.
        pieces = (csv_chunks(summary, ddof=args.ddof) if args.format == "csv"
                  else json_chunks(summary, ddof=args.ddof) if args.format == "json"
                  else [FORMATS[args.format](summary, args.ddof)])
        out = getattr(sys.stdout, "buffer", None)
        for piece in pieces:
            if out is None:  # a text-only stream, as under a test's capture
                sys.stdout.write(piece.decode())
            else:
                out.write(piece)
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
    except MemoryError:
        print("vornel: error: out of memory", file=sys.stderr)
        return 1
    except Exception as e:  # a fault of ours: one line still, and a status of its own
        text = " ".join(f"{type(e).__name__}: {e}".split())
        print(f"vornel: error: internal error, please report it: {text}", file=sys.stderr)
        return 1
    return 0
