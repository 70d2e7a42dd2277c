"""CSV files read by pyarrow's multithreaded parser, in large byte ranges cut at record
boundaries, so memory is bounded in bytes and the numbers never depend on the range size."""

from __future__ import annotations

import csv
import io
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

from vornel.table import _deps
from vornel.table.blocks import Block, InputError, Values, arrow_values
from vornel.table.keys import arrow_keys

# Text that stands for a missing value, as R and pandas write it.
NA_VALUES = ("", "NA", "N/A", "NULL", "null", "NaN", "nan")
# Key cells that are the missing key: only the empty one, as in DuckDB and Polars, so that
# a country code "NA" stays a key.
KEY_NA_VALUES = ("",)
BLOCK_BYTES = 16 << 20
MANY_KEYS_BYTES = 128 << 20  # the largest range, taken when keys are many
MAX_RECORD_BYTES = 256 << 20  # the longest record read
PARSE_BLOCK = 4 << 20  # pyarrow's unit of parallel parsing
# The csv module refuses fields past 128 KiB by default; it only reads headers and finds
# faults here, in records that may be as long as MAX_RECORD_BYTES.
csv.field_size_limit(max(csv.field_size_limit(), MAX_RECORD_BYTES))


@dataclass
class CsvOptions:
    """How CSV text is read: missing value cells, missing key cells, the range size in
    bytes, and a callback told of the bytes read."""

    na_values: list[str]
    key_na_values: list[str]
    block_bytes: int
    progress: Callable[[int], None]


def record_end(buf: bytes | bytearray, start: int = 0, end: int | None = None) -> int:
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


def _count(buf: bytes | bytearray, byte: bytes, start: int, end: int) -> int:
    return buf.count(byte, start, end)


QUOTE, COMMA, LF, CR = 34, 44, 10, 13


def quote_fault(buf: bytes | bytearray, start: int, end: int, last: bool) -> tuple[int, str] | None:
    """The offset and kind of the first quote in buf[start:end] (which starts outside quotes)
    that breaks the quoting rules: a quote opens a field (at its start) or, doubled, stands
    inside a quoted one; a closing quote ends the field. If the text is the end of input,
    a field left open is a fault too. Ranges are cut by counting quotes, which holds only
    for text that keeps these rules."""
    if buf.find(b'"', start, end) < 0:
        return None
    text = np.frombuffer(buf, np.uint8, end - start, start)
    q = np.flatnonzero(text == QUOTE)
    opening, closing = q[0::2], q[1::2]
    before = text[np.maximum(opening - 1, 0)]
    field_start = (opening == 0) | (before == COMMA) | (before == LF) | (before == CR)
    stray = opening[~(field_start | (before == QUOTE))]
    after = text[np.minimum(closing + 1, len(text) - 1)]
    ends = (closing + 1 == len(text)) | np.isin(after, (COMMA, LF, CR, QUOTE))
    trailing = closing[~ends]
    faults = []
    if len(stray):
        faults.append((int(stray[0]), "a quote inside an unquoted field (enclose the field "
                                      "in quotes and double the quote)"))
    if len(trailing):
        faults.append((int(trailing[0]), "text after the closing quote of a field"))
    if last and len(q) % 2 and not faults:
        opens = opening[before != QUOTE]  # the field left open began at the last of these
        faults.append((int(opens[-1] if len(opens) else opening[-1]),
                       "a quoted field never closes (unbalanced quote)"))
    return (start + min(faults)[0], min(faults)[1]) if faults else None


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
    without a copy); last: it ends the input."""

    def __init__(self, buf: bytearray, end: int, last: bool) -> None:
        self.buf, self.end, self.last = buf, end, last
        self.view = memoryview(buf)[:end]

    def has(self, sub: bytes) -> bool:
        return self.buf.find(sub, 0, self.end) >= 0

    def quoted(self) -> bool:
        return self.has(b'"')

    def lines(self) -> int:
        return _count(self.buf, b"\n", 0, self.end)



class Input:
    """A binary input read to its end, or, for a plain file, to the size it had when opened:
    a file that grows is read to that size, and one that ends before it was truncated
    while read, which is an error."""

    def __init__(self, f: IO[bytes], source: str, size: int | None = None,
                 raw: IO[bytes] | None = None) -> None:
        self.f, self.source, self.size, self.raw = f, source, size, raw
        self.left, self.done = size, 0

    def close(self) -> None:
        """Closes the stream and the file under it (standard input is left open)."""
        try:
            self.f.close()
        finally:
            if self.raw is not None:
                self.raw.close()

    def readinto(self, view: memoryview) -> int:
        if self.left is not None:
            view = view[: self.left]
        done = 0
        while done < len(view):  # compressed streams and pipes return short reads
            n = self.f.readinto(view[done:])  # type: ignore[attr-defined]
            if not n:
                break
            done += n
        self.done += done
        if self.left is not None:
            if done < len(view):
                raise InputError(f"the file ended after {self.done} of the {self.size} bytes "
                                 "it held when opened (truncated while read?)", self.source)
            self.left -= done
        return done

    def read(self, n: int) -> bytes:
        buf = bytearray(n)
        return bytes(buf[: self.readinto(memoryview(buf))])


class Buffers:
    """Range buffers handed back once their range is parsed (the parser copies what it
    keeps), so reading allocates and faults in new memory only at the start."""

    def __init__(self) -> None:
        self.free: list[bytearray] = []

    def get(self, n: int) -> bytearray:
        for i, buf in enumerate(self.free):
            if len(buf) >= n:
                return self.free.pop(i)
        return bytearray(n)

    def put(self, buf: bytearray) -> None:
        if len(self.free) < 4:
            self.free.append(buf)


def _ranges(f: Input, sizes: Callable[[], int], head: bytes, buffers: Buffers,
            progress: Callable[[int], None], source: str) -> Iterator[Range]:
    """Byte ranges of about sizes() bytes (more where a record is longer), each ending at a
    record boundary, the last at the end of input."""
    carry = head
    while True:
        size = sizes()
        # Read straight into the range's own buffer, after the carried partial record.
        buf = buffers.get(len(carry) + size)
        buf[: len(carry)] = carry
        got = f.readinto(memoryview(buf)[len(carry): len(carry) + size])
        progress(got)
        end = len(carry) + got
        if got == 0:
            if end:
                yield Range(buf, end, True)
            return
        cut = record_end(buf, 0, end)
        if cut == 0:
            if end > MAX_RECORD_BYTES:
                # Memory stays bounded: a quote opened inside a field never closes.
                raise InputError(f"no record ends within {end >> 20} MiB (an unbalanced "
                                 "quote?)", source)
            carry = bytes(buf[:end])  # one record longer than a range: read on
            buffers.put(buf)
            continue
        carry = bytes(buf[cut:end])
        yield Range(buf, cut, False)


class CsvSource:
    """One CSV input: its header, then blocks of the wanted columns.

    Numeric columns are found over the whole input: a column is numeric when every cell is
    a number or missing and at least one is a number. Columns that turn out otherwise are
    dropped as soon as a block shows it (`dropped`), whatever the range size."""

    def __init__(self, f: Input, opts: CsvOptions) -> None:
        self.f, self.source, self.opts = f, f.source, opts
        self.na_values, self.key_na = list(opts.na_values), list(opts.key_na_values)
        first = f.read(min(opts.block_bytes, 1 << 16))
        while first and first_record_end(first) == 0:
            more = f.read(1 << 16)
            if not more:
                break
            first += more
        cut = first_record_end(first) or len(first)
        bom = 3 if first.startswith(b"\xef\xbb\xbf") else 0
        fault = quote_fault(first, bom, cut, cut == len(first))
        if fault is not None:
            raise InputError(fault[1], self.source, 1 + first.count(b"\n", 0, fault[0]))
        self.header = _header(first[:cut], self.source)
        self.rest = first[cut:]
        opts.progress(len(first))
        self.header_lines = first[:cut].count(b"\n") or 1
        self.untyped: set[str] = set()  # auto columns with no number seen yet
        self.dropped: list[str] = []

    def numeric(self, name: str) -> bool | None:
        return None  # known only after reading

    def kind(self, name: str) -> str:
        return "text"

    def key_type(self, name: str) -> str:
        return "text"

    def blocks(self, columns: Sequence[str], by: Sequence[str], auto: bool) -> Iterator[Block]:
        wanted = list(columns)
        if auto:
            self.untyped = set(wanted)
        line = 1 + self.header_lines
        size = [self.opts.block_bytes]
        buffers = Buffers()
        ranges = _ranges(self.f, lambda: size[0], self.rest, buffers, self.opts.progress,
                         self.source)
        # Two ranges parse at once: Arrow's threads stay busy across the end of one parse
        # and the start of the next. Blocks still come out in input order.
        pending: deque[tuple[Future[Any], Range]] = deque()
        with ThreadPoolExecutor(2, thread_name_prefix="vornel-parse") as pool:
            for chunk in ranges:
                pending.append((pool.submit(self._parse, chunk, line, by, list(wanted), auto),
                                chunk))
                line += chunk.lines()
                del chunk
                if len(pending) > 1:
                    yield self._block(*pending.popleft(), by, wanted, auto, size, buffers)
            while pending:
                yield self._block(*pending.popleft(), by, wanted, auto, size, buffers)

    def _parse(self, chunk: Range, line: int, by: Sequence[str], wanted: list[str],
               auto: bool) -> Any:
        """The Arrow table of a range's key and wanted columns; a failure is located."""
        fault = quote_fault(chunk.buf, 0, chunk.end, chunk.last)
        if fault is not None:
            at, what = fault
            raise InputError(what, self.source, line + _count(chunk.buf, b"\n", 0, at))
        try:
            block = PARSE_BLOCK
            table = self._read(chunk, line, by, wanted, auto, block)
        except _deps.pa().ArrowInvalid as e:
            if "straddl" not in str(e):  # a record longer than a parse block is not a fault
                raise
            block = chunk.end + 1
            table = self._read(chunk, line, by, wanted, auto, block)
        return self._signed_zeros(chunk, table, by, block) if auto else table

    def _read(self, chunk: Range, line: int, by: Sequence[str], wanted: list[str], auto: bool,
              block: int) -> Any:
        pa, pcsv = _deps.pa(), _deps.pcsv()
        # Keys are dictionary-encoded by the parser itself, in its threads; they are never
        # null there (strings_can_be_null=False): key_na decides the missing key.
        types: dict[str, Any] = {k: pa.dictionary(pa.int32(), pa.string()) for k in by}
        if not auto:
            types.update((c, pa.float64()) for c in wanted)
        try:
            return pcsv.read_csv(pa.py_buffer(chunk.view), read_options=self._read_options(
                block), parse_options=self._parse_options(chunk), convert_options=self._convert(
                    types, [*by, *wanted]))
        except (pa.ArrowInvalid, UnicodeDecodeError) as e:
            if "straddl" in str(e):
                raise
            floats = [] if auto else wanted
            raise self._locate(bytes(chunk.view), line, [*by, *wanted], floats,
                               str(e)) from None

    def _read_options(self, block: int) -> Any:
        return _deps.pcsv().ReadOptions(column_names=self.header, use_threads=True,
                                        block_size=block)

    def _parse_options(self, chunk: Range) -> Any:
        return _deps.pcsv().ParseOptions(newlines_in_values=chunk.quoted())

    def _convert(self, types: dict[str, Any], names: list[str]) -> Any:
        return _deps.pcsv().ConvertOptions(
            column_types=types, include_columns=names, null_values=self.na_values,
            strings_can_be_null=False, true_values=[], false_values=[])

    def _block(self, job: Future[Any], chunk: Range, by: Sequence[str], wanted: list[str],
               auto: bool, size: list[int], buffers: Buffers) -> Block:
        """The block of a parsed range. Columns found not to be numeric leave `wanted`."""
        pa = _deps.pa()
        table = job.result()
        buffers.put(chunk.buf)  # the table holds copies of what it needs
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
        keys = [arrow_keys(_key_nulls(table.column(k), self.key_na)) for k in by]
        return Block(table.num_rows, values, keys)

    def _signed_zeros(self, chunk: Range, table: Any, by: Sequence[str], block: int) -> Any:
        """The table with its inferred integer columns read again as float64 where the
        range may hold a cell that integer parsing reads otherwise: "-0" (0, where float64
        keeps -0.0) in a column holding a zero, or hex such as "0x10" (16, where float64
        refuses it: such a column is text). The numbers must not depend on the type a range
        happened to infer."""
        pa, pc, pcsv = _deps.pa(), _deps.pc(), _deps.pcsv()
        read, parse = self._read_options(block), self._parse_options(chunk)
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
            convert = self._convert({name: pa.float64() for name in names}, names)
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


def _key_nulls(keys: Any, na: Sequence[str]) -> Any:
    """A key column (dictionary chunks, never null from the parser) with the cells in na as
    the missing key. Chunks holding such a cell are encoded again, so their dictionaries
    stay in order of first appearance without unused entries."""
    pa, pc = _deps.pa(), _deps.pc()
    if not na:
        return keys
    value_set = pa.array(na, pa.string())
    chunks = []
    for c in keys.chunks:
        hit = pc.is_in(c.dictionary, value_set=value_set)
        if pc.any(hit).as_py():
            text = c.cast(pa.string())
            c = pc.dictionary_encode(pc.if_else(pc.is_in(text, value_set=value_set),
                                                pa.scalar(None, pa.string()), text))
        chunks.append(c)
    return pa.chunked_array(chunks, keys.type)


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

