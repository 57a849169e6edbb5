"""One file read by byte ranges gives the rows, repairs, quarantine and line
numbers of one read of the whole file: on generated files whose cuts fall
inside quoted line breaks, next to stray quotes and between a CR and its
LF, on the shared corpus, and through Dask on a local cluster of processes."""

import io
import pathlib
import random

import fsspec
import pyarrow as pa
import pytest

import rowmend
from rowmend import _ranges, _sizes
from rowmend._options import resolve_options
from rowmend._partitions import merge_reports
from rowmend._range_read import RangeReadError, range_layout, read_range
from rowmend._ranges import NativeScanner, range_reads

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix in (".csv", ".tsv", ".txt")) if CORPUS.is_dir() else []


@pytest.fixture
def small_blocks(monkeypatch):
    """Block sizes far below 64 KiB, and a first range as short as any, so that small files have many cuts."""
    monkeypatch.setattr(_sizes, "MIN_BLOCK", 1)
    monkeypatch.setattr(_ranges, "FIRST_RANGE_BYTES", 0)


def by_ranges(data, blocksize, lookahead=None, **options):
    """The table and merged report of ``data`` read range by range, in this process; and the ranges."""
    name = f"/ranges/{random.getrandbits(64):x}.csv"
    fsspec.filesystem("memory").pipe(name, data)
    file = fsspec.open(f"memory://{name}", "rb")
    layout = range_layout(io.BytesIO(data), resolve_options(**options))
    assert layout is not None
    scanner = NativeScanner(file, layout, len(data), lookahead or blocksize)
    reads = range_reads(name, len(data), lambda: data[:16], blocksize, lambda: scanner)
    names = pa.table(rowmend.stream(io.BytesIO(data), **options)).column_names
    parts = [read_range(file, name, layout, read, options, names) for read in reads]
    return pa.concat_tables([table for table, _ in parts]), merge_reports([report for _, report in parts]), reads


def whole(data, **options):
    rows = rowmend.stream(io.BytesIO(data), **options)
    return pa.table(rows), rows.report


def assert_same(data, blocksize, min_ranges=2, **options):
    options = {"line_numbers": True, "record_repairs": True, **options}
    table, report, reads = by_ranges(data, blocksize, **options)
    one_table, one = whole(data, **options)
    assert len(reads) >= min_ranges
    assert table.equals(one_table)
    counts = ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "skipped_rows", "skipped", "replaced_bytes")
    assert [getattr(report, c) for c in counts] == [getattr(one, c) for c in counts]
    assert report.quarantine == one.quarantine
    assert report.repairs == one.repairs
    assert report.lines.totals() == one.lines.totals()
    return reads


def multiline(rows, seed):
    """Rows whose quoted values hold line breaks, as often as plain ones."""
    rng = random.Random(seed)
    out = [b"id,text,n"]
    for i in range(rows):
        breaks = b"\n".join(b"part %d" % k for k in range(rng.randrange(1, 5)))
        out.append(b'%d,"%s",%d' % (i, breaks, i) if rng.random() < 0.5 else b"%d,plain %d,%d" % (i, i, i))
    return b"\n".join(out) + b"\n"


def stray_quotes(rows, seed):
    """Stray quotes, short and long rows and quoted line breaks, mixed."""
    rng = random.Random(seed)
    out = [b"id,name,note"]
    for i in range(rows):
        kind = rng.random()
        if kind < 0.1:
            out.append(b'%d,she said "hi,x' % i)
        elif kind < 0.2:
            out.append(b'%d,"a ""quoted"" word",y' % i)
        elif kind < 0.3:
            out.append(b'%d,"two\nlines",z' % i)
        elif kind < 0.35:
            out.append(b"%d,short" % i)
        elif kind < 0.4:
            out.append(b"%d,a,b,c,d" % i)
        else:
            out.append(b"%d,name %d,note" % (i, i))
    return b"\n".join(out) + b"\n"


def split_names(rows, seed):
    """Names holding an unquoted delimiter (``Smith, John``): long rows joined where their columns' kinds fit.

    (A ragged row at a cut is held for the table's end, which a range cannot judge alone: they are rare here.)
    """
    rng = random.Random(seed)
    out = [b"id,name,amount,day"]
    for i in range(rows):
        kind = rng.random()
        name = b"Smith %d, John" % i if kind < 0.01 else b"name %d" % i
        amount = b"%d.%02d," % (i, i % 100)
        out.append(b"%d,%s,%s2024-01-%02d" % (i, name, amount, 1 + i % 28))
    return b"\n".join(out) + b"\n"


def crlf(rows, seed):
    return multiline(rows, seed).replace(b"\n", b"\r\n")


@pytest.mark.parametrize("make", [multiline, stray_quotes, crlf])
@pytest.mark.parametrize("blocksize", [64 << 10, 4096, 997, 211])
def test_ranges_read_what_one_read_reads(small_blocks, make, blocksize):
    data = make(6000, seed=blocksize)
    assert_same(data, blocksize)


def test_every_range_places_repairs_as_the_start_settled_them(small_blocks):
    data = split_names(6000, seed=1)
    reads = assert_same(data, 64 << 10)
    _, report, _ = by_ranges(data, 64 << 10, line_numbers=True, record_repairs=True)
    past_first = [r for r in report.repairs if r.placement and r.line > reads[1].first.line]
    assert past_first, "no repair placed by kind past the first range"


@pytest.mark.parametrize(
    "make, cut_at",
    [
        (multiline, lambda data, at: data.count(b'"', 0, at) % 2 == 1 and b"\n" in data[at - 8 : at + 8]),
        (crlf, lambda data, at: data[at - 1 : at + 1] == b"\r\n"),
        (stray_quotes, lambda data, at: b'"' in data[at - 4 : at + 4]),
    ],
)
def test_the_cuts_fall_where_they_are_hard(small_blocks, make, cut_at):
    # Among many block sizes, cuts land inside a quoted line break, between
    # CR and LF, and beside stray quotes, and each such read is exact.
    data = make(400, seed=7)
    hard = [size for size in range(150, 450) if any(cut_at(data, r.start) for r in _ranges.byte_ranges(len(data), size)[1:])]
    assert len(hard) >= 5
    for size in hard[:5]:
        assert_same(data, size)


def test_a_row_longer_than_the_scans_look_ahead_is_walked(small_blocks):
    data = b"id,text\n1,short\n2,\"" + b"long line\n" * 2000 + b'"\n3,end\n' + b"4,x\n" * 500
    table, report, reads = by_ranges(data, 1024, lookahead=64, line_numbers=True)
    one_table, one = whole(data, line_numbers=True)
    assert table.equals(one_table)
    assert len(reads) >= 2 and report.total_rows == one.total_rows == 503


@pytest.mark.parametrize(
    "data, options",
    [
        # A section after a blank line, in a middle range: set aside to the end by one read.
        (b"a,b,c\n" + b"1,2,3\n" * 300 + b"\nName,Total\nx,1\n" + b"4,5,6\n" * 300, {"skip_footer": "section"}),
        # A totals row judged on the sums of rows in other ranges.
        (b"a,b\n" + b"x,1\n" * 500 + b"Total,500\n", {}),
    ],
)
def test_a_range_that_cannot_judge_alone_says_so(small_blocks, data, options):
    with pytest.raises(RangeReadError, match="blocksize=None"):
        by_ranges(data, 512, **options)


def test_footers_headers_and_preambles_stay_where_one_read_puts_them(small_blocks):
    data = b"Report of the day\n\nid,name,amount\n" + b"".join(b"%d,n%d,%d\n" % (i, i, i) for i in range(2000)) + b"\nEnd of report\n"
    reads = assert_same(data, 2048)
    assert reads[0].first.offset == 0 and len(reads) > 5
    assert_same(data, 2048, skip_footer=3)


@pytest.mark.parametrize("encoding, cut", [("utf-8", True), ("cp1252", True), ("utf-16-le", False), ("shift_jis", False)])
def test_only_encodings_with_ascii_line_breaks_are_cut(encoding, cut):
    assert _ranges.cuttable_encoding(encoding) is cut


@pytest.mark.skipif(not CORPUS_FILES, reason="needs the shared corpus beside the repository")
def test_the_corpus_reads_the_same_by_ranges(small_blocks, monkeypatch):
    read = unsure = 0
    for path in CORPUS_FILES:
        data = path.read_bytes()
        if len(data) < 256 or not _ranges.splittable(data[:16]):
            continue
        try:
            layout = range_layout(io.BytesIO(data), resolve_options())
        except (ValueError, UnicodeError):
            continue  # refused as a whole too (binary, undecodable)
        if layout is None:
            continue
        # The first range holds half the file, as it holds the settling's
        # 8 MiB of a big one; the rest is cut in three.
        monkeypatch.setattr(_ranges, "FIRST_RANGE_BYTES", len(data) // 2)
        try:
            assert_same(data, max(len(data) // 6, 64), min_ranges=1)
        except RangeReadError:
            unsure += 1
            continue
        read += 1
    # Most files are cut and read exactly; the rest say so rather than differ.
    assert read >= 100 and read >= 4 * unsure


def test_dask_reads_one_file_by_ranges_on_a_cluster_of_processes(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    import rowmend.dask

    # Past the first range's least span (8 MiB), cut into 512 KiB ranges.
    data = stray_quotes(420_000, seed=3)
    assert len(data) > 9 << 20
    path = tmp_path / "big.csv"
    path.write_bytes(data)
    (tmp_path / "small.csv.gz").write_bytes(__import__("gzip").compress(data[:5000]))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            frame = rowmend.dask.read_csv([str(path), str(tmp_path / "small.csv.gz")], blocksize="512 KiB", line_numbers=True)
            assert frame.npartitions > 3
            got = frame.compute()
            report = rowmend.dask.report(frame)
    one_table, one = whole(data, line_numbers=True)
    mine = pa.Table.from_pandas(got.iloc[: one_table.num_rows].reset_index(drop=True), preserve_index=False)
    assert mine.column("_line").to_pylist() == one_table.column("_line").to_pylist()
    assert mine.column("note").to_pylist() == one_table.column("note").to_pylist()
    small = whole(data[:5000])[1]
    assert report.repaired_rows == one.repaired_rows + small.repaired_rows
    assert [r.line for r in report.repairs][: len(one.repairs)] == [r.line for r in one.repairs][: len(report.repairs)]
