"""Big files as byte ranges: the ranges cover the file on code-unit cuts, the
scans joined in order give each range the true first row (a quoted field may
run through a whole range), each range's options, and what stays one
partition."""

import gzip

import pytest

from rowmend._options import OptionError
from rowmend._ranges import ByteRange, RangeRead, RangeScan, RowStart, byte_ranges, join_scans, range_options
from rowmend._sizes import parse_size


@pytest.mark.parametrize(
    "size, blocksize, unit",
    [(10, 4, 1), (10, 4, 2), (1, 64, 1), (1000, 1000, 1), (1001, 1000, 1), (123_457, 1000, 2), (99_999, 333, 4)],
)
def test_ranges_cover_the_file_on_unit_cuts(size, blocksize, unit):
    ranges = byte_ranges(size, blocksize, unit)
    assert ranges[0].start == 0 and ranges[-1].end == size
    assert all(a.end == b.start for a, b in zip(ranges, ranges[1:]))
    assert all(r.start % unit == 0 and r.end > r.start for r in ranges)
    assert len(ranges) == -(-size // blocksize)
    assert max(r.end - r.start for r in ranges) < blocksize + unit


class QuoteScanner:
    """Row starts by quote parity alone: enough to check how the scans are joined."""

    def __init__(self, data):
        self.data = data

    def scan(self, byte_range):
        return RangeScan(byte_range, {})

    def join(self, scanned, entry):
        byte_range = scanned.range
        offset, line, quoted, rows = entry.offset, entry.line, False, 0
        while offset < len(self.data):
            byte = self.data[offset]
            offset += 1
            quoted ^= byte == ord('"')
            if byte == ord("\n"):
                line += 1
                rows += not quoted
                if not quoted and offset >= byte_range.end:
                    break
        return RowStart(offset, line), rows


def whole_row_starts(data):
    starts, quoted, line = [RowStart(0, 1)], False, 1
    for offset, byte in enumerate(data):
        quoted ^= byte == ord('"')
        if byte == ord("\n"):
            line += 1
            if not quoted and offset + 1 < len(data):
                starts.append(RowStart(offset + 1, line))
    return starts


@pytest.mark.parametrize(
    "data, blocksize",
    [
        (b"a,b\n1,2\n3,4\n5,6\n", 3),
        # A quoted field with line breaks through two whole ranges: they read nothing.
        (b'a,b\n1,"x\ny\nz\nw\nv\nu"\n3,4\n', 4),
        (b'a,b\r\n1,"\r\n"\r\n' * 5, 5),
    ],
)
def test_joined_ranges_start_at_the_true_rows(data, blocksize):
    scanner = QuoteScanner(data)
    ranges = byte_ranges(len(data), blocksize)
    reads = join_scans([scanner.scan(r) for r in ranges], RowStart(0, 1), scanner, len(data))
    truth = whole_row_starts(data)
    # Each read starts at a true row, and the true rows it owns are those in its range.
    assert all(read.first in truth for read in reads)
    owned = [[s for s in truth if read.first.offset <= s.offset < read.range.end] for read in reads]
    assert [s for rows in owned for s in rows] == truth
    assert [read.last for read in reads] == [False] * (len(reads) - 1) + [True]
    assert [read.end for read in reads] == [read.first.offset for read in reads[1:]] + [len(data)]
    assert sum(read.rows for read in reads) == len(truth)


@pytest.mark.parametrize(
    "index, last, header, preamble, footer",
    [(0, True, "auto", "auto", 3), (0, False, "auto", "auto", 0), (2, False, False, 0, 0), (2, True, False, 0, 3)],
)
def test_only_the_first_range_reads_a_header_and_only_the_last_a_footer(index, last, header, preamble, footer):
    read = RangeRead(ByteRange(0, 1), RowStart(0, 1), index, last)
    options = range_options({"header": "auto", "skip_preamble": "auto", "skip_footer": 3, "delimiter": ";"}, read)
    assert (options["header"], options["skip_preamble"], options["skip_footer"], options["delimiter"]) == (
        header,
        preamble,
        footer,
        ";",
    )


@pytest.mark.parametrize("text, expected", [("256 MiB", 256 << 20), ("64KiB", 65536), ("1 MB", 10**6), (70000, 70000)])
def test_block_sizes_read_as_written(text, expected):
    assert parse_size(text, "blocksize") == expected


@pytest.mark.parametrize("text", ["1 KiB", "lots", 0])
def test_block_sizes_below_64_kib_or_unreadable_are_refused(text):
    with pytest.raises(OptionError, match="blocksize must be"):
        parse_size(text, "blocksize")


def test_dask_keeps_whole_what_it_need_not_cut(tmp_path):
    dask_read = pytest.importorskip("rowmend.dask").read_csv
    big = b"id,name\n" + b"".join(b'%d,"x\ny"\n' % i for i in range(20_000))
    (tmp_path / "small.csv").write_bytes(b"id,name\n1,a\n")
    (tmp_path / "big.csv.gz").write_bytes(gzip.compress(big, mtime=0))
    (tmp_path / "big.csv").write_bytes(big)
    # Small, compressed, or within the first range's least span: one partition each.
    kept = dask_read([tmp_path / "small.csv", tmp_path / "big.csv.gz", tmp_path / "big.csv"], blocksize="64 KiB")
    assert kept.npartitions == 3 and len(kept.compute(scheduler="sync")) == 40_001
