"""CSV files read by the native scanner, in large byte ranges cut at record boundaries and
scanned on several threads, so memory is bounded in bytes and the numbers never depend on
the range size or the number of threads."""

from __future__ import annotations

import csv
import io
import itertools
import os
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np

from vornel import _scan
from vornel.table.blocks import Block, InputError, Values
from vornel.table.keys import Encoded, KeyColumn

# Text that stands for a missing value, as R and pandas write it.
NA_VALUES = ("", "NA", "N/A", "NULL", "null", "NaN", "nan")
# Key cells that are the missing key: only the empty one, as in DuckDB and Polars, so that
# a country code "NA" stays a key.
KEY_NA_VALUES = ("",)
BLOCK_BYTES = 16 << 20
MAX_RECORD_BYTES = 256 << 20  # the longest record read
# The csv module refuses fields past 128 KiB by default; it only reads headers and finds
# faults here, in records that may be as long as MAX_RECORD_BYTES.
csv.field_size_limit(max(csv.field_size_limit(), MAX_RECORD_BYTES))


def cpus() -> int:
    """The CPUs this process may run on."""
    return os.process_cpu_count() or 1


@dataclass
class CsvOptions:
    """How files are read: missing value cells, missing key cells, the range size in bytes,
    a callback told of the bytes read, and the threads that scan. `keymap` is the data
    set's map of text keys (made when its keys are text); `sequence` numbers the blocks of
    the data set in input order, for the first appearance of keys."""

    na_values: list[str]
    key_na_values: list[str]
    block_bytes: int
    progress: Callable[[int], None]
    threads: int = 1
    keymap: Any = None
    sequence: Iterator[int] = field(default_factory=itertools.count)


def _last_break(buf: bytes | bytearray, start: int, end: int, data_end: int) -> int:
    """The last line break (LF, or a CR not followed by LF) in buf[start:end], -1 if none;
    buf holds data up to data_end. A CR as the last byte of the data may be the first half
    of a CRLF whose LF is not read yet: the break is then taken before it, so that a CRLF is
    never cut in two (and counted as two lines)."""
    while True:
        lf = buf.rfind(b"\n", start, end)
        # A CR can only be later than the last LF: look for one after it alone.
        cr = buf.rfind(b"\r", max(lf, start), end)
        if cr < 0:
            return lf
        if cr + 1 < data_end and buf[cr + 1] != 0x0A:
            return cr
        end = cr  # the CR of a CRLF, or one that may be


def record_end(buf: bytes | bytearray, start: int = 0, end: int | None = None) -> int:
    """The offset just past the last line break of buf[:end] that ends a record (one
    outside quotes, counting from start, a record boundary); 0 if there is none."""
    end = len(buf) if end is None else end
    cut = _last_break(buf, start, end, end)
    if cut < 0:
        return 0
    if buf.find(b'"', start, cut) < 0:
        return cut + 1
    # A line break ends a record when an even number of quotes precede it: "" inside a
    # quoted field adds two, so only the opening and closing quotes change the parity.
    quotes = _count(buf, b'"', start, cut)
    while quotes % 2:
        prev = _last_break(buf, start, cut, end)
        if prev < 0:
            return 0
        quotes -= _count(buf, b'"', prev, cut)
        cut = prev
    return cut + 1


def _line_breaks(text: bytes) -> int:
    """Line breaks in text: LF, CRLF and bare CR alike."""
    return text.count(b"\n") + text.count(b"\r") - text.count(b"\r\n")


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
    """The offset just past the line break (LF, CRLF or a bare CR) that ends buf's first
    record; 0 if none does."""
    quotes = 0
    for at, c in enumerate(buf):
        if c == 0x22:
            quotes += 1
        elif (c == 0x0A or c == 0x0D) and quotes % 2 == 0:
            if c == 0x0D and at + 1 < len(buf) and buf[at + 1] == 0x0A:
                return at + 2
            if c == 0x0D and at + 1 == len(buf):
                return 0  # an LF may follow: read on
            return at + 1
    return 0


class Range:
    """A byte range of the input, a view of a buffer of its own (handed to the parser
    without a copy)."""

    def __init__(self, buf: bytearray, end: int) -> None:
        self.buf = buf
        self.view = memoryview(buf)[:end]


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
                yield Range(buf, end)
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
        yield Range(buf, cut)


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
            raise InputError(fault[1], self.source, 1 + _line_breaks(first[:fault[0]]))
        self.header = _header(first[:cut], self.source)
        self.rest = first[cut:]
        opts.progress(len(first))
        head = first[:cut]
        self.header_lines = _line_breaks(head) or 1
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
        fields = {h: i for i, h in enumerate(self.header)}
        keymap = self.opts.keymap if by else None
        scanner = _scan.Scanner(len(self.header), [fields[c] for c in wanted],
                                [fields[k] for k in by], _cells(self.na_values),
                                _cells(self.key_na), keymap)
        skip = [False] * len(wanted)  # columns found to be text are read no more
        line = 1 + self.header_lines
        buffers = Buffers()
        ranges = _ranges(self.f, lambda: self.opts.block_bytes, self.rest, buffers,
                         self.opts.progress, self.source)
        # Ranges scan on `threads` threads at once, detached; blocks come out in input order,
        # each folded while later ranges scan.
        threads = self.opts.threads
        pending: deque[tuple[Future[Any], Range]] = deque()
        with ThreadPoolExecutor(threads, thread_name_prefix="vornel-scan") as pool:
            for chunk in ranges:
                seq = next(self.opts.sequence)
                pending.append((pool.submit(scanner.scan, chunk.view, seq, tuple(skip)), chunk))
                del chunk
                while len(pending) > threads:
                    block, line = self._block(*pending.popleft(), line, wanted, skip, by,
                                              auto, keymap, buffers)
                    yield block
            while pending:
                block, line = self._block(*pending.popleft(), line, wanted, skip, by, auto,
                                          keymap, buffers)
                yield block

    def _block(self, job: Future[Any], chunk: Range, line: int, wanted: list[str],
               skip: list[bool], by: Sequence[str], auto: bool, keymap: Any,
               buffers: Buffers) -> tuple[Block, int]:
        """The block of a scanned range, and the line after it. Columns found to hold text
        leave the block (automatic selection) or fail naming the cell (named columns); the
        earliest fault of the range is told, so no message depends on where ranges were
        cut."""
        rows, lines, ids, values, missing, info, fault = job.result()
        errors = []  # (offset in the range, error)
        if fault is not None:
            errors.append((fault[1], self._fault(chunk, line, by, *fault)))
        out: dict[str, Values] = {}
        for v, name in enumerate(wanted):
            if skip[v]:
                continue
            any_number, text_row, text_at, text_len = info[v]
            if text_row >= 0:
                if auto:
                    skip[v] = True
                    self.dropped.append(name)
                    self.untyped.discard(name)
                    continue
                cell = _cell_text(bytes(chunk.buf[text_at:text_at + text_len]))
                what = (f"not a number: {cell!r}" if isinstance(cell, str)
                        else "not UTF-8 text")
                # Told on the line where the cell ends (a quoted one may span lines).
                end = text_at + max(text_len - 1, 0)
                errors.append((text_at, InputError(what, self.source,
                                                   _line_at(chunk, line, end), name)))
                continue
            if any_number:
                self.untyped.discard(name)
            mask = missing[v]
            out[name] = Values(values[v][:rows], None if mask is None else mask[:rows])
        if errors:
            raise min(errors, key=lambda e: e[0])[1]
        next_line = line + lines
        buffers.put(chunk.buf)  # the scan copied what it keeps into its arrays
        keys = [KeyColumn(_mapped_already, ids=ids[:rows])] if by and ids is not None else []
        return Block(rows, out, keys, keymap=keymap), next_line

    def _fault(self, chunk: Range, line: int, by: Sequence[str], kind: int, at: int,
               field: int, got: int) -> InputError:
        where = _line_at(chunk, line, at)
        if kind == FAULT_RAGGED:
            return InputError(f"expected {len(self.header)} fields, got {got}", self.source,
                              where)
        if kind == FAULT_KEY_UTF8:  # field is the key part here
            return InputError("not UTF-8 text", self.source, where, by[field])
        if kind == FAULT_MANY_KEYS:
            return InputError("more than 2**31 - 1 groups", self.source, where)
        if kind == FAULT_MEMORY:
            raise MemoryError()
        return InputError(QUOTE_FAULTS[kind], self.source, where)


FAULT_RAGGED, FAULT_KEY_UTF8, FAULT_MANY_KEYS, FAULT_MEMORY = 1, 5, 6, 7
QUOTE_FAULTS = {2: "a quote inside an unquoted field (enclose the field in quotes and double "
                   "the quote)",
                3: "text after the closing quote of a field",
                4: "a quoted field never closes (unbalanced quote)"}


def _mapped_already() -> Encoded:
    raise AssertionError("the scanner maps its keys itself")


def _cells(cells: Sequence[str]) -> tuple[bytes, ...]:
    return tuple(c.encode("utf-8") for c in cells)


def _cell_text(raw: bytes) -> str | None:
    """A field's content as the message shows it (quotes removed, doubled ones undone), or
    None when it is not UTF-8 text."""
    if raw.startswith(b'"') and raw.endswith(b'"') and len(raw) > 1:
        raw = raw[1:-1].replace(b'""', b'"')
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _line_at(chunk: Range, line: int, at: int) -> int:
    """The line of offset `at` in a range that starts on `line`."""
    return line + _line_breaks(bytes(chunk.buf[:at]))


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

