"""One big file read as byte ranges, each a partition: the ranges, and where each one's rows start.

A range cannot be parsed from its first byte: a quoted field may hold line
breaks, so the first row of a range starts wherever the rows before it end.
The read therefore goes in two phases. First every range is scanned from its
own bytes for where its rows would leave it from each place they might enter
it (:func:`scan_range`, cheap and parallel); the scans are then joined in
order from the file's first row (:func:`join_scans`), which gives each range
its true first row start, line number and row count. Then each range is
parsed from there (:mod:`rowmend._range_read`): the layout is the file's,
settled once from its start; only the first range reads a header or a
preamble, only the last one judges the table's end (footers, a totals row,
trailing empty rows).

Compressed files cannot be entered in the middle: they stay one partition
each, as do files no larger than a block, and files in an encoding whose
bytes may hide a line break or a quote inside a character (UTF-16 and
UTF-32, the East Asian multi-byte encodings): there a byte that reads as a
line break may be half of another character.
"""

from __future__ import annotations

import codecs
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, List, Mapping, Optional, Protocol, Sequence, Tuple

from rowmend import _native
from rowmend._sources import _sniff_compression  # the package's one test of compressed input

__all__ = [
    "ByteRange",
    "Grammar",
    "NativeScanner",
    "RangeLayout",
    "RangeRead",
    "RangeScan",
    "RangeScanner",
    "RowStart",
    "RunScans",
    "byte_ranges",
    "cuttable_encoding",
    "join_scans",
    "range_options",
    "range_reads",
    "read_bytes",
    "scan_range",
    "splittable",
]

# The first bytes that tell a compressed file (gzip, bz2, xz, zstd, zip).
_MAGIC_BYTES = 10

#: The bytes a scan reads past its range, at most, for the rows that run
#: on past its end; a longer row is walked again where the scans are joined.
SCAN_LOOKAHEAD = 1 << 20

#: The first range spans at least this much of the file (the whole of it,
#: if smaller): the layout is settled on the file's first rows, and the first
#: range must hold every byte the settling looks at, or it could settle
#: otherwise than one reading of the whole file. Lowered by tests only.
FIRST_RANGE_BYTES = 8 << 20

#: The parser's settings, as the engine's range scan takes them: delimiter,
#: quote, quoting, repair_quotes, escape (0: none), a blank after the
#: delimiter, and the width of the runaway-quote test (0: off).
Grammar = Tuple[int, int, bool, bool, int, bool, int]


@dataclass(frozen=True)
class ByteRange:
    """The bytes ``[start, end)`` of a file."""

    start: int
    end: int


@dataclass(frozen=True)
class RowStart:
    """Where a row starts: its byte offset in the file and the 1-based line it begins on."""

    offset: int
    line: int


@dataclass(frozen=True)
class RangeLayout:
    """What every range of one file is read with, settled once from the file's start.

    Attributes:
        grammar: How the file's bytes are cut into rows (:data:`Grammar`).
        trailing_dropped: Every row ends with a delimiter whose empty column
            was dropped: every range drops it too.
        encoding: The text encoding, as Python names it.
        native_encoding: The encoding as the engine reads it (UTF-8 with
            stray bytes as cp1252, when detected).
        settled: What the first range must settle on by itself (delimiter,
            quote, escape, columns, header rows, preamble rows): its reading
            is the whole file's only then.
        columns: What the engine settled of the columns (their kinds, those
            holding values, the header's text, their profiles), which every
            range judges a table's end and a later table by and places
            repairs by.
    """

    grammar: Grammar
    trailing_dropped: bool
    encoding: str
    native_encoding: str
    settled: Tuple[Any, ...]
    columns: Optional[Tuple[bytes, bytes, bytes, bytes]] = None


@dataclass(frozen=True)
class RangeRead:
    """One partition of a file read by ranges.

    Attributes:
        range: The bytes whose row starts are this partition's.
        first: Where its first row starts, and that row's line in the file.
        index: Its position among the file's ranges.
        last: Whether it is the file's last range, which judges the table's end.
        end: Where its rows end: the next partition's first row start, or
            the file's size. None when the file is read whole.
        rows: The rows the parser reads in ``[first.offset, end)``, header
            and rows set aside among them; None when not scanned.
    """

    range: ByteRange
    first: RowStart
    index: int
    last: bool
    end: Optional[int] = None
    rows: Optional[int] = None


@dataclass(frozen=True)
class RangeScan:
    """Phase one's result for a range: from each row start it may begin with, where its rows leave it.

    ``exits`` maps a file offset to ``(next, lines, rows, pending)``: the
    first row start at or past the range's end, and the lines and rows from
    the start to there (``pending``: the row there runs past what was read).
    """

    range: ByteRange
    exits: Dict[int, Tuple[int, int, int, bool]]


class RangeScanner(Protocol):
    """The engine's two phases over the ranges of one file, given its layout."""

    def scan(self, byte_range: ByteRange) -> RangeScan:
        """Phase one: where the rows leave the range from each place they may enter it (from its bytes alone)."""

    def join(self, scanned: RangeScan, entry: RowStart) -> Tuple[RowStart, int]:
        """Where rows that enter a scanned range at ``entry`` leave it (the next range's first row), and the rows between."""


def byte_ranges(size: int, blocksize: int, unit: int = 1, first: int = 0) -> List[ByteRange]:
    """The ranges of about ``blocksize`` bytes covering ``size`` bytes, each cut on a multiple of ``unit``.

    ``unit`` is 2 for UTF-16, whose code units a cut must not split. The
    ranges are as even as the unit allows, none larger than ``blocksize``
    but by one unit; the first spans at least ``first`` bytes (the ranges
    it would cut into are one).

    Examples:
        >>> byte_ranges(10, 4)
        [ByteRange(start=0, end=3), ByteRange(start=3, end=6), ByteRange(start=6, end=10)]
        >>> [r.end for r in byte_ranges(10, 4, unit=2)]
        [2, 6, 10]
        >>> [r.end for r in byte_ranges(10, 4, first=5)]
        [6, 10]
    """
    if size <= 0:
        return [ByteRange(0, 0)]
    count = max(1, -(-size // blocksize))
    units = -(-size // unit)
    cuts = [units * index // count * unit for index in range(1, count)]
    edges = [0] + sorted(set(cut for cut in cuts if max(0, first - 1) < cut < size)) + [size]
    return [ByteRange(start, end) for start, end in zip(edges, edges[1:])]


def splittable(head: bytes) -> bool:
    """Whether a file whose first bytes are ``head`` may be entered in the middle: not when compressed."""
    return _sniff_compression(head[:_MAGIC_BYTES]) is None


def cuttable_encoding(encoding: str) -> bool:
    """Whether a file in ``encoding`` may be cut at its bytes: line breaks, quotes and delimiters are ASCII bytes that no other character holds.

    So for UTF-8, ASCII and the single-byte encodings; not for UTF-16 or
    UTF-32 (a line break is two or four bytes) nor for the multi-byte East
    Asian encodings (whose second bytes may be ASCII's).

    Examples:
        >>> cuttable_encoding("utf-8"), cuttable_encoding("cp1252"), cuttable_encoding("utf-16-le"), cuttable_encoding("shift_jis")
        (True, True, False, False)
    """
    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        return False
    if name in ("utf-8", "utf-8-sig", "ascii"):
        return True
    if name.startswith(("utf", "shift", "euc", "gb", "big5", "cp932", "cp936", "cp949", "cp950", "iso2022", "hz", "johab")):
        return False
    # A single-byte table that keeps ASCII where ASCII is.
    probe = bytes(range(128))
    try:
        return len(bytes(range(256)).decode(name, errors="replace")) == 256 and probe.decode(name) == probe.decode("ascii")
    except (UnicodeDecodeError, LookupError):
        return False


def read_bytes(file: Any, start: int, count: int) -> bytes:
    """The bytes ``[start, start + count)`` of an fsspec file (fewer at its end)."""
    with file.fs.open(file.path, "rb") as opened:
        opened.seek(start)
        data: bytes = opened.read(count)
        return data


def scan_range(file: Any, layout: RangeLayout, byte_range: ByteRange, size: int, lookahead: int = SCAN_LOOKAHEAD) -> RangeScan:
    """Phase one on a range of ``file`` (an fsspec file of ``size`` bytes): its row starts and exits.

    Reads the range and up to ``lookahead`` bytes after it, for rows that
    run on past its end. Small and picklable: a task on a cluster returns it.
    """
    length = byte_range.end - byte_range.start
    data = read_bytes(file, byte_range.start, length + lookahead)
    final = byte_range.start + len(data) >= size
    found = _native.scan_range(data, length, final, byte_range.start == 0, layout.grammar)
    base = byte_range.start
    return RangeScan(byte_range, {base + start: (base + exit[0], exit[1], exit[2], exit[3]) for start, exit in found})


@dataclass(frozen=True)
class NativeScanner:
    """The engine's range scan over one file; a join no scan answers walks the range again here."""

    file: Any
    layout: RangeLayout
    size: int
    lookahead: int = SCAN_LOOKAHEAD

    def scan(self, byte_range: ByteRange) -> RangeScan:
        """Phase one, where the caller runs it (see :func:`scan_range`)."""
        return scan_range(self.file, self.layout, byte_range, self.size, self.lookahead)

    def join(self, scanned: RangeScan, entry: RowStart) -> Tuple[RowStart, int]:
        """Where rows entering at ``entry`` leave the range: from its scan, or walked again.

        A walk is needed when a stray quote misled every guess of the scan,
        or the row at the range's end runs past what the scan read; it
        reads on, doubling, until that row ends.
        """
        hit = scanned.exits.get(entry.offset)
        if hit is not None and not hit[3]:
            return RowStart(hit[0], entry.line + hit[1]), hit[2]
        byte_range = scanned.range
        length = byte_range.end - byte_range.start
        reach = max(self.lookahead, 1 << 16)
        while True:
            data = read_bytes(self.file, byte_range.start, length + reach)
            final = byte_range.start + len(data) >= self.size
            walked = _native.walk_range(data, entry.offset - byte_range.start, length, final, byte_range.start == 0, self.layout.grammar)
            if not walked[3] or final:
                return RowStart(byte_range.start + walked[0], entry.line + walked[1]), walked[2]
            reach *= 2


def join_scans(scanned: Sequence[RangeScan], first: RowStart, scanner: RangeScanner, size: int) -> List[RangeRead]:
    """The ranges with their true first row starts: the scans joined in order from the file's ``first`` row.

    A range that holds no row start (one row runs through it) reads
    nothing: it is left out, and the range before it reads that row whole.
    """
    reads: List[RangeRead] = []
    entry = first
    for index, scan in enumerate(scanned):
        if entry.offset >= scan.range.end:
            continue  # a row of an earlier range runs through this one: it starts none
        exit, rows = scanner.join(scan, entry)
        reads.append(RangeRead(scan.range, entry, index, last=False, end=min(exit.offset, size), rows=rows))
        entry = exit
    if reads:
        reads[-1] = replace(reads[-1], last=True, end=size)
    return reads


#: Runs phase one's scans (on a cluster, as tasks) and gives their results in order.
RunScans = Callable[[Sequence[Callable[[], RangeScan]]], List[RangeScan]]


def _in_turn(scans: Sequence[Callable[[], RangeScan]]) -> List[RangeScan]:
    return [scan() for scan in scans]


def range_reads(
    name: str,
    size: int,
    head: Callable[[], bytes],
    blocksize: Optional[int],
    scanner: Optional[Callable[[], Optional[RangeScanner]]],
    run_scans: RunScans = _in_turn,
) -> List[RangeRead]:
    """A file's partitions: its ranges joined from their scans, or the whole file as one.

    One partition when ``blocksize`` is None, the file is no larger than a
    block (or than the first range's least span), it is compressed
    (``head()`` gives its first bytes, read only when the size would cut
    it), or ``scanner()`` gives None (its encoding cannot be cut at bytes).
    """
    first = RowStart(0, 1)
    whole = [RangeRead(ByteRange(0, size), first, 0, last=True)]
    if blocksize is None or size <= max(blocksize, FIRST_RANGE_BYTES) or not splittable(head()):
        return whole
    made = scanner() if scanner is not None else None
    if made is None:
        return whole
    ranges = byte_ranges(size, blocksize, first=FIRST_RANGE_BYTES)
    if len(ranges) == 1:
        return whole
    scans = run_scans([lambda r=r: made.scan(r) for r in ranges])  # type: ignore[misc]
    return join_scans(scans, first, made, size)


def range_options(options: Mapping[str, Any], read: RangeRead) -> Dict[str, Any]:
    """The reading options of one range, from those of the whole file (its layout fixed).

    A range after the first starts among the table's rows: no header, no
    preamble. A range before the last ends among them: a given count of
    footer rows is the last range's alone (the detected table ends are
    judged in every range, which then says whether it could judge alone).
    """
    result = dict(options)
    if read.index > 0:
        result["header"] = False
        result["skip_preamble"] = 0
    if not read.last and not isinstance(result.get("skip_footer", "section"), str) and result.get("skip_footer") is not False:
        result["skip_footer"] = 0
    return result
