"""One big file read as byte ranges, each a partition: the ranges, and what each is read with.

A range cannot be parsed from its first byte: a quoted field may hold line
breaks, so the first row of a range starts wherever the rows before it end.
The read therefore goes in two phases. First every range is scanned from its
own bytes for where its rows would leave it from each place they might enter
it (:class:`RangeScanner.scan`, cheap and parallel); the scans are then
joined in order from the file's first row (:func:`join_scans`), which gives
each range its true first row start and line number. Then each range is
parsed from there (:func:`range_reads`): the layout is the file's, settled
once from its start; only the first range reads a header or a preamble, only
the last one judges the table's end (footers, a totals row, trailing empty
rows).

Compressed files cannot be entered in the middle: they stay one partition
each, as do files no larger than a block. UTF-16 files are cut on code-unit
boundaries.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import partial
from typing import Any, Callable, Dict, List, Mapping, Optional, Protocol, Sequence

from rowmend._sources import _sniff_compression  # the package's one test of compressed input

__all__ = [
    "ByteRange",
    "RangeRead",
    "RangeScanner",
    "RowStart",
    "byte_ranges",
    "code_unit",
    "file_partitions",
    "join_scans",
    "range_options",
    "range_reads",
    "splittable",
]

# The first bytes that tell a compressed file (gzip, bz2, xz, zstd, zip).
_MAGIC_BYTES = 10


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
class RangeRead:
    """One partition of a file read by ranges.

    Attributes:
        range: The bytes whose row starts are this partition's: it reads
            every row that starts at or after ``first.offset`` and before
            ``range.end`` (the last row may run on past ``range.end``).
        first: Where its first row starts, and that row's line in the file.
        index: Its position among the file's ranges.
        last: Whether it is the file's last range, which judges the table's end.
    """

    range: ByteRange
    first: RowStart
    index: int
    last: bool


class RangeScanner(Protocol):
    """The engine's two phases over the ranges of one file, given its layout."""

    def scan(self, path: str, byte_range: ByteRange) -> Any:
        """Phase one: where the rows leave the range from each place they may enter it (from its bytes alone)."""

    def join(self, scanned: Any, entry: RowStart) -> RowStart:
        """Phase two: where rows that enter a scanned range at ``entry`` leave it (the next range's first row)."""


def byte_ranges(size: int, blocksize: int, unit: int = 1) -> List[ByteRange]:
    """The ranges of about ``blocksize`` bytes covering ``size`` bytes, each cut on a multiple of ``unit``.

    ``unit`` is 2 for UTF-16, whose code units a cut must not split. The
    ranges are as even as the unit allows, none larger than ``blocksize``
    but by one unit.

    Examples:
        >>> byte_ranges(10, 4)
        [ByteRange(start=0, end=3), ByteRange(start=3, end=6), ByteRange(start=6, end=10)]
        >>> [r.end for r in byte_ranges(10, 4, unit=2)]
        [2, 6, 10]
    """
    if size <= 0:
        return [ByteRange(0, 0)]
    count = max(1, -(-size // blocksize))
    units = -(-size // unit)
    cuts = [units * index // count * unit for index in range(1, count)]
    edges = [0] + sorted(set(cut for cut in cuts if 0 < cut < size)) + [size]
    return [ByteRange(start, end) for start, end in zip(edges, edges[1:])]


def splittable(head: bytes) -> bool:
    """Whether a file whose first bytes are ``head`` may be entered in the middle: not when compressed."""
    return _sniff_compression(head[:_MAGIC_BYTES]) is None


def code_unit(encoding: str) -> int:
    """The bytes of one code unit of ``encoding``, on which ranges are cut."""
    normalized = encoding.lower().replace("_", "-")
    if normalized.startswith("utf-32"):
        return 4
    return 2 if normalized.startswith("utf-16") else 1


def join_scans(scanned: Sequence[Any], ranges: Sequence[ByteRange], first: RowStart, scanner: RangeScanner) -> List[RangeRead]:
    """The ranges with their true first row starts: the scans joined in order from the file's ``first`` row.

    A range that holds no row start (one row runs through it) reads
    nothing: it is left out, and the range before it reads that row whole.
    """
    reads: List[RangeRead] = []
    entry = first
    for index, (byte_range, scan) in enumerate(zip(ranges, scanned)):
        if entry.offset >= byte_range.end:
            continue  # a row of an earlier range runs through this one: it starts none
        reads.append(RangeRead(byte_range, entry, index, last=False))
        entry = scanner.join(scan, entry)
    if reads:
        reads[-1] = replace(reads[-1], last=True)
    return reads


def range_reads(
    name: str,
    size: int,
    head: Callable[[], bytes],
    blocksize: Optional[int],
    encoding: str,
    scanner: Optional[RangeScanner],
) -> List[RangeRead]:
    """A file's partitions: its ranges joined from their scans, or the whole file as one.

    One partition when ``blocksize`` is None, the file is no larger than a
    block, or it is compressed (``head()`` gives its first bytes, read only
    when the size would cut it). Otherwise the scans run here one after the
    other; a cluster runs them as tasks and calls :func:`join_scans`.

    Raises:
        NotImplementedError: The file needs cutting and no scanner is given
            (this build's engine cannot yet scan a range).
    """
    first = RowStart(0, 1)
    whole = [RangeRead(ByteRange(0, size), first, 0, last=True)]
    if blocksize is None or size <= blocksize or not splittable(head()):
        return whole
    if scanner is None:
        raise NotImplementedError(
            f"{name}: reading one file by byte ranges (blocksize) needs the engine's range scan, "
            "which this build does not have yet; leave blocksize out to read it as one partition"
        )
    ranges = byte_ranges(size, blocksize, code_unit(encoding))
    return join_scans([scanner.scan(name, r) for r in ranges], ranges, first, scanner)


def range_options(options: Mapping[str, Any], read: RangeRead) -> Dict[str, Any]:
    """The reading options of one range, from those of the whole file (its layout fixed).

    A range after the first starts among the table's rows: no header, no
    preamble. A range before the last ends among them: the table's end is
    judged by the last range alone, so the others set no footer aside.
    """
    result = dict(options)
    if read.index > 0:
        result["header"] = False
        result["skip_preamble"] = 0
    if not read.last:
        result["skip_footer"] = 0
    return result


def file_partitions(files: Sequence[Any], blocksize: Optional[int], encoding: str) -> List[List[RangeRead]]:
    """Each input's partitions (:func:`range_reads` on an :class:`rowmend._inputs.File`), without a scanner yet."""
    from rowmend._inputs import head, size

    return [range_reads(item.name, size(item), partial(head, item), blocksize, encoding, scanner=None) for item in files]
