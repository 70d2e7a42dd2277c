"""CSV files read by pyarrow's multithreaded parser, in large byte ranges cut at record
boundaries, so memory is bounded in bytes and the numbers never depend on the range size."""

from __future__ import annotations

import csv
import io
import mmap
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any

import numpy as np

from vornel.table import _deps
from vornel.table.blocks import Block, InputError, Values, arrow_values
from vornel.table.keys import arrow_keys

# Text that stands for a missing value, as R and pandas write it.
NA_VALUES = ("", "NA", "N/A", "NULL", "null", "NaN", "nan")
BLOCK_BYTES = 16 << 20
MANY_KEYS_BYTES = 128 << 20  # the largest range, taken when keys are many
MAX_RECORD_BYTES = 256 << 20  # the longest record read
MADV_POPULATE_READ = getattr(mmap, "MADV_POPULATE_READ", 22)  # Linux's value


def record_end(buf: bytes | bytearray | mmap.mmap, start: int = 0, end: int | None = None) -> int:
    """The offset just past the last line break of buf[:end] that ends a record (one
    outside quotes, counting from start, a record boundary); 0 if there is none."""
    cut = buf.rfind(b"\n", start, end)
    if cut < 0:
        cut = buf.rfind(b"\r", start, end)  # old Mac line ends: a bare carriage return
        if cut < 0:
            return 0
    if buf.find(b'"', start, cut) < 0:
        return cut + 1
    # A line break ends a record when an even number of quotes precede it: "" inside a
    # quoted field adds two, so only the opening and closing quotes change the parity.
    quotes = _count(buf, b'"', start, cut)
    while quotes % 2:
        prev = buf.rfind(b"\n", start, cut)
        if prev < 0:
            return 0
        quotes -= _count(buf, b'"', prev, cut)
        cut = prev
    return cut + 1


def _count(buf: bytes | bytearray | mmap.mmap, byte: bytes, start: int, end: int) -> int:
    """How often a byte occurs in buf[start:end] (a map has no count of its own)."""
    if not isinstance(buf, mmap.mmap):
        return buf.count(byte, start, end)
    return int(np.count_nonzero(np.frombuffer(buf, np.uint8, end - start, start) == byte[0]))


def first_record_end(buf: bytes) -> int:
    """The offset just past the line break that ends buf's first record; 0 if none does."""
    pos = quotes = 0
    sep = b"\n" if b"\n" in buf or b"\r" not in buf else b"\r"  # bare carriage returns
    while (nl := buf.find(sep, pos)) >= 0:
        quotes += buf.count(b'"', pos, nl)
        if quotes % 2 == 0:
            return nl + 1
        pos = nl + 1
    return 0


class Range:
    """A byte range of the input, a view of a buffer of its own (handed to the parser
    without a copy)."""

    def __init__(self, buf: bytearray | mmap.mmap, end: int, start: int = 0) -> None:
        self.buf, self.start, self.end = buf, start, end
        self.view = memoryview(buf)[start:end]

    def has(self, sub: bytes) -> bool:
        return self.buf.find(sub, self.start, self.end) >= 0

    def quoted(self) -> bool:
        return self.has(b'"')

    def lines(self) -> int:
        return _count(self.buf, b"\n", self.start, self.end)


def _mapped_ranges(mm: mmap.mmap, start: int, sizes: Callable[[], int],
                   progress: Callable[[int], None], source: str) -> Iterator[Range]:
    """Ranges of a memory-mapped file: views of the page cache, nothing read or copied."""
    n, page = len(mm), mmap.PAGESIZE
    behind = [start // page * page]  # starts of the ranges given out, oldest first
    while start < n:
        size = sizes()
        end = min(start + size, n)
        cut = end if end == n else record_end(mm, start, end)
        while cut == 0:  # one record longer than a range: look further
            if end - start > MAX_RECORD_BYTES:
                raise InputError(f"no record ends within {(end - start) >> 20} MiB (an "
                                 "unbalanced quote?)", source)
            end = min(end + size, n)
            cut = end if end == n else record_end(mm, start, end)
        progress(cut - start)
        lo = start // page * page
        try:  # fault the range's pages in at once, not one by one as the parser meets them
            mm.madvise(MADV_POPULATE_READ, lo, cut - lo)
        except OSError:  # a kernel before 5.14
            pass
        yield Range(mm, cut, start)
        behind.append(cut // page * page)
        if len(behind) > 3:
            # Two ranges may still be parsing; the pages before them stay in the page cache
            # but leave this process's resident set.
            mm.madvise(mmap.MADV_DONTNEED, behind[0], behind[1] - behind[0])
            del behind[0]
        start = cut


def _ranges(f: IO[bytes], sizes: Callable[[], int], head: bytes,
            progress: Callable[[int], None], source: str) -> Iterator[Range]:
    """Byte ranges of about sizes() bytes (more where a record is longer), each ending at a
    record boundary, the last at the end of input."""
    carry = bytes(head)
    while True:
        size = sizes()
        # Read straight into the range's own buffer, after the carried partial record.
        buf = bytearray(len(carry) + size)
        buf[: len(carry)] = carry
        got = _read_into(f, memoryview(buf)[len(carry):])
        progress(got)
        end = len(carry) + got
        if got == 0:
            if end:
                yield Range(buf, end)
            return
        cut = record_end(buf, 0, end)
        if cut == 0:
            if end > MAX_RECORD_BYTES:
                # Memory stays bounded: a quote opened inside a field never closes.
                raise InputError(f"no record ends within {end >> 20} MiB (an unbalanced "
                                 "quote?)", source)
            carry = bytes(buf[:end])  # one record longer than a range: read on
            continue
        carry = bytes(buf[cut:end])
        yield Range(buf, cut)


def _read_into(f: IO[bytes], view: memoryview) -> int:
    """Fills view as far as the input goes (a compressed stream returns short reads)."""
    done = 0
    while done < len(view):
        n = f.readinto(view[done:])  # type: ignore[attr-defined]
        if not n:
            break
        done += n
    return done


class CsvSource:
    """One CSV input: its header, then blocks of the wanted columns.

    Numeric columns are found over the whole input: a column is numeric when every cell is
    a number or missing and at least one is a number. Columns that turn out otherwise are
    dropped as soon as a block shows it (`dropped`), whatever the range size."""

    def __init__(self, f: IO[bytes], source: str, na_values: Sequence[str],
                 block_bytes: int, progress: Callable[[int], None] = lambda n: None,
                 mapped: mmap.mmap | None = None) -> None:
        self.f, self.source, self.progress, self.mapped = f, source, progress, mapped
        self.na_values = list(na_values)
        self.block_bytes = block_bytes
        first = f.read(min(block_bytes, 1 << 16))
        while first and first_record_end(first) == 0:
            more = f.read(1 << 16)
            if not more:
                break
            first += more
        cut = first_record_end(first) or len(first)
        self.header = _header(first[:cut], source)
        self.rest = first[cut:]
        self.data_start = cut  # the offset of the first record after the header
        progress(cut if mapped is not None else len(first))
        self.header_lines = first[:cut].count(b"\n") or 1
        self.untyped: set[str] = set()  # auto columns with no number seen yet
        self.dropped: list[str] = []

    def numeric(self, name: str) -> bool | None:
        return None  # known only after reading

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        wanted = list(columns)
        if auto:
            self.untyped = set(wanted)
        line = 1 + self.header_lines
        size = [self.block_bytes]
        if self.mapped is not None:
            ranges = _mapped_ranges(self.mapped, self.data_start, lambda: size[0],
                                    self.progress, self.source)
        else:
            ranges = _ranges(self.f, lambda: size[0], self.rest, self.progress, self.source)
        # Two ranges parse at once: Arrow's threads stay busy across the end of one parse
        # and the start of the next. Blocks still come out in input order.
        pending: deque[Future[Any]] = deque()
        with ThreadPoolExecutor(2, thread_name_prefix="vornel-parse") as pool:
            for chunk in ranges:
                pending.append(pool.submit(self._parse, chunk, line, by, list(wanted), auto))
                if self.mapped is None:
                    line += chunk.lines()  # a mapped file counts its lines only on failure
                del chunk
                if len(pending) > 1:
                    yield self._block(pending.popleft(), by, wanted, auto, size)
            while pending:
                yield self._block(pending.popleft(), by, wanted, auto, size)

    def _parse(self, chunk: Range, line: int, by: Sequence[str], wanted: list[str],
               auto: bool) -> Any:
        """The Arrow table of a range's key and wanted columns; a failure is located."""
        pa, pcsv = _deps.pa(), _deps.pcsv()
        # Parse blocks of 4 MiB: fewer, larger tasks than the default 1 MiB, same result.
        read = pcsv.ReadOptions(column_names=self.header, use_threads=True, block_size=4 << 20)
        # Keys are dictionary-encoded by the parser itself, in its threads.
        types: dict[str, Any] = {k: pa.dictionary(pa.int32(), pa.string()) for k in by}
        if not auto:
            types.update((c, pa.float64()) for c in wanted)
        convert = pcsv.ConvertOptions(
            column_types=types, include_columns=[*by, *wanted], null_values=self.na_values,
            strings_can_be_null=True, true_values=[], false_values=[])
        parse = pcsv.ParseOptions(newlines_in_values=chunk.quoted())
        try:
            table = pcsv.read_csv(pa.py_buffer(chunk.view), read_options=read,
                                  parse_options=parse, convert_options=convert)
        except (pa.ArrowInvalid, UnicodeDecodeError) as e:
            floats = [] if auto else wanted
            raise self._locate(bytes(chunk.view), self._line(chunk, line),
                               [*by, *wanted], floats, str(e)) from None
        return self._signed_zeros(chunk, table, by, read, parse) if auto else table

    def _block(self, job: Future[Any], by: Sequence[str], wanted: list[str], auto: bool,
               size: list[int]) -> Block:
        """The block of a parsed range. Columns found not to be numeric leave `wanted`."""
        pa = _deps.pa()
        table = job.result()
        values: dict[str, Values] = {}
        for name in list(wanted):
            col = table.column(name)
            if auto and not _numeric_or_null(pa, col.type):
                wanted.remove(name)
                self.dropped.append(name)
                self.untyped.discard(name)
                continue
            if not pa.types.is_null(col.type):
                self.untyped.discard(name)
            values[name] = arrow_values(col)
        if by and size[0] < MANY_KEYS_BYTES and _many_keys(table.column(by[0])):
            size[0] = min(2 * size[0], MANY_KEYS_BYTES)
        return Block(table.num_rows, values, [arrow_keys(table.column(k)) for k in by])

    def _line(self, chunk: Range, line: int) -> int:
        """The line of a range's first record."""
        if self.mapped is None:
            return line
        count, pos, step = 1 + self.header_lines, self.data_start, 1 << 24
        while pos < chunk.start:  # in steps: the count of a map makes a mask of its bytes
            count += _count(self.mapped, b"\n", pos, min(pos + step, chunk.start))
            pos += step
        return count

    def _signed_zeros(self, chunk: Range, table: Any, by: Sequence[str], read: Any,
                      parse: Any) -> Any:
        """The table with its inferred integer columns read again as float64 where the
        range may hold a cell that integer parsing reads otherwise: "-0" (0, where float64
        keeps -0.0) in a column holding a zero, or hex such as "0x10" (16, where float64
        refuses it: such a column is text). The numbers must not depend on the type a range
        happened to infer."""
        pa, pc, pcsv = _deps.pa(), _deps.pc(), _deps.pcsv()
        if not any(pa.types.is_integer(table.column(name).type)
                   for name in table.column_names if name not in by):
            return table  # no integer column: nothing to scan the bytes for
        hex_ = chunk.has(b"0x") or chunk.has(b"0X")
        if not hex_ and not chunk.has(b"-0"):
            return table
        ints = [name for name in table.column_names if name not in by
                and pa.types.is_integer(table.column(name).type)
                and (hex_ or pc.any(pc.equal(table.column(name), 0)).as_py())]
        if not ints:
            return table

        def as_float(names: list[str]) -> Any:
            convert = pcsv.ConvertOptions(
                column_types={name: pa.float64() for name in names}, include_columns=names,
                null_values=self.na_values, strings_can_be_null=True)
            return pcsv.read_csv(pa.py_buffer(chunk.view), read_options=read,
                                 parse_options=parse, convert_options=convert)

        try:
            again = as_float(ints)
            columns = {name: again.column(name) for name in ints}
        except pa.ArrowInvalid:  # some column holds hex: find which, one by one
            columns = {}
            for name in ints:
                try:
                    columns[name] = as_float([name]).column(name)
                except pa.ArrowInvalid:
                    columns[name] = table.column(name).cast(pa.string())  # text
        for name, col in columns.items():
            table = table.set_column(table.column_names.index(name), name, col)
        return table

    def _locate(self, chunk: bytes, line: int, names: list[str], floats: list[str],
                message: str) -> InputError:
        """The first bad row or cell of a range pyarrow refused, found with the csv module
        (this runs only on failure)."""
        text = io.StringIO(chunk.decode("utf-8", errors="surrogateescape"), newline="")
        reader = csv.reader(text)
        pos = {h: i for i, h in enumerate(self.header)}
        rows: list[list[str]] = []
        lines: list[int] = []
        broken: InputError | None = None  # the first ragged or malformed row
        try:
            for row in reader:
                if not row:
                    continue
                if len(row) != len(self.header):
                    broken = InputError(f"expected {len(self.header)} fields, got {len(row)}",
                                        self.source, line + reader.line_num - 1)
                    break
                rows.append(row)
                lines.append(line + reader.line_num - 1)
        except csv.Error as e:
            broken = InputError(f"malformed CSV: {e}", self.source, line + reader.line_num - 1)
        # The earliest fault is told, whichever column it is in, so the message does not
        # depend on where the ranges were cut.
        na = set(self.na_values)
        bad: list[tuple[int, InputError]] = []
        for name in names:
            cells = [r[pos[name]] for r in rows]
            for i, cell in enumerate(cells):
                if not _is_utf8(cell):
                    bad.append((i, InputError("not UTF-8 text", self.source, lines[i], name)))
                    break
        for name in floats:
            cells = [r[pos[name]] for r in rows]
            at = _first_bad_number(cells, na)
            if at is not None:
                bad.append((at, InputError(f"not a number: {cells[at]!r}", self.source,
                                           lines[at], name)))
        if bad:
            return min(bad, key=lambda b: b[0])[1]
        if broken is not None:
            return broken
        return InputError(f"unreadable CSV in the block from this line on: {message}",
                          self.source, line)


def _many_keys(keys: Any) -> bool:
    """Whether a range's key column holds many distinct keys per row: then each range costs
    a unification with all keys so far, and larger ranges pay it fewer times."""
    return sum(len(c.dictionary) for c in keys.chunks) * 4 > len(keys)


def _numeric_or_null(pa: Any, typ: Any) -> bool:
    return bool(pa.types.is_integer(typ) or pa.types.is_floating(typ) or pa.types.is_null(typ))


def _first_bad_number(cells: list[str], na: set[str]) -> int | None:
    """Index of the first cell that is neither missing nor a number to pyarrow's parser."""
    pa, pc = _deps.pa(), _deps.pc()

    arr = pa.array([None if c in na else c.encode("utf-8", "surrogateescape") for c in cells],
                   pa.binary())

    def ok(a: Any) -> bool:
        try:
            pc.cast(a.cast(pa.string()), pa.float64())
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            return False
        return True

    if ok(arr):
        return None
    lo, hi = 0, len(arr)  # the first bad cell lies in [lo, hi)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if ok(arr.slice(lo, mid - lo)):
            lo = mid
        else:
            hi = mid
    return lo


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _header(head: bytes, source: str) -> list[str]:
    if not head.strip():
        raise InputError("empty input, no header line", source, 1)
    try:
        text = head.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise InputError("header is not UTF-8 text", source, 1) from None
    try:
        header = next(csv.reader(io.StringIO(text, newline="")), [])
    except csv.Error as e:
        raise InputError(f"unreadable header: {e}", source, 1) from None
    if not header:
        raise InputError("empty input, no header line", source, 1)
    return header

