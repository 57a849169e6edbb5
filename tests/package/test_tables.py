"""Tables from the native salvage pass: the same rows as the backend, every consumer, the report."""

import codecs
import gzip
import io
import os
import pathlib
import random
import subprocess
import sys

import duckdb
import pandas
import polars
import pyarrow as pa
import pytest

import _rowmend_backend as backend
import rowmend
from rowmend._sources import _sniff_compression

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name not in ("MANIFEST.tsv", "README.md"))


def messy(seed, rows=300):
    """Rows of varied width with stray quotes, embedded delimiters, CRs and invalid bytes."""
    rng = random.Random(seed)
    pieces = ["a", "bc", "", "d e", '"q,1"', '"q""2"', 'x"y', "caf\u00e9", "\u20ac", '"multi\nline"', "\udcff"]
    lines = []
    for _ in range(rows):
        width = rng.choice([3, 3, 3, 2, 4, 1])
        lines.append(",".join(rng.choice(pieces) for _ in range(width)))
    return ("\n" if seed % 2 else "\r\n").join(lines).encode("utf-8", "surrogateescape")


# The options under which the package reads every row as the backend does:
# no header, no row set aside as not part of the table, and the backend's
# repairs only.
AS_THE_BACKEND = {
    "repairs": "backend",
    "header": False,
    "skip_blank_rows": False,
    "comment": None,
    "skip_preamble": 0,
    "skip_footer": False,
    "quote_char": '"',
    "escape_char": None,
}

GENERATED = {f"messy-{seed}": messy(seed) for seed in range(6)}
GENERATED.update(
    {
        "empty": b"",
        "blank lines": b"\n\n\n",
        "one field": b"x",
        "semicolons": b"a;b;c\n1;2\n3;4;5;6\n",
        "tabs and quotes": b'a\tb\n"1\t2"\t3\n"open\t4\n',
        "no final newline": b"a,b\n1,2",
        # The package reads this quote as text; the backend's reading runs to the end.
        "runaway quote": b'a,b\n1,"open\n' + b"2,x\n" * 100,
    }
)


def backend_rows(path, **options):
    with backend.open(str(path), **options) as reader:
        return list(reader), reader.summary


def table_rows(table):
    columns = [column.to_pylist() for column in table.columns]
    return [list(row) for row in zip(*columns)]


@pytest.mark.parametrize(
    "path_or_name",
    list(GENERATED) + CORPUS_FILES,
    ids=lambda p: p if isinstance(p, str) else str(p.relative_to(CORPUS)),
)
def test_rows_and_counters_match_the_backend(tmp_path, path_or_name):
    if isinstance(path_or_name, str):
        path = tmp_path / "input.csv"
        path.write_bytes(GENERATED[path_or_name])
    else:
        path = path_or_name
    if _sniff_compression(path.read_bytes()[:10]):
        pytest.skip("compressed: the backend reads the bytes as they are stored")
    if path.read_bytes().startswith(codecs.BOM_UTF8):
        pytest.skip("rowmend strips a byte-order mark, which the backend keeps as data")
    expected, summary = backend_rows(path)
    if summary.inferred_columns == 0 and len({len(row) for row in expected}) > 1:
        pytest.skip("rows left as parsed are ragged; a table cannot hold them as they are")
    # Small batches put batch boundaries everywhere. The package's own
    # dialect detection goes further than the backend's sniffer
    # (test_detection.py); given the backend's dialect, it reads the same.
    rows = rowmend.stream(
        path, encoding="utf-8", batch_rows=7, delimiter=summary.detected_delimiter, **AS_THE_BACKEND
    )
    table = pa.Table.from_batches(list(rows), schema=rows.schema)
    assert table_rows(table) == expected
    report = rows.report
    assert (report.total_rows, report.salvaged_rows, report.repaired_rows, report.quarantined_rows) == (
        summary.total_rows,
        summary.salvaged_rows,
        summary.repaired_rows,
        summary.quarantined_rows,
    )
    assert report.delimiter == summary.detected_delimiter
    assert all(batch.num_rows == 7 for batch in table.to_batches()[:-1])
    # With the header detected too, its rows are the first records and no others.
    rows = rowmend.stream(
        path, encoding="utf-8", delimiter=summary.detected_delimiter, **{**AS_THE_BACKEND, "header": "auto"}
    )
    table = pa.table(rows)
    report = rows.report
    assert report.header_rows + report.total_rows == summary.total_rows
    assert table_rows(table) == expected[report.header_rows :]


DATA = b"id,name,city\n1,Ann,Oslo\n2,Bob\n3,Cy,Rome\n"
EXPECTED = {"id": ["1", "2", "3"], "name": ["Ann", "Bob", "Cy"], "city": ["Oslo", "", "Rome"]}

CONSUMERS = {
    "iteration": lambda s: pa.Table.from_batches(list(s)).to_pydict(),
    "pyarrow.table": lambda s: pa.table(s).to_pydict(),
    "polars.DataFrame": lambda s: polars.DataFrame(s).to_dict(as_series=False),
    "duckdb": lambda s: duckdb.sql("SELECT * FROM s ORDER BY id").arrow().read_all().to_pydict(),
    "RecordBatchReader": lambda s: pa.RecordBatchReader.from_stream(s).read_all().to_pydict(),
}


@pytest.mark.parametrize("consumer", CONSUMERS)
def test_every_consumer_gets_the_rows_and_the_report_follows(consumer):
    s = rowmend.stream(io.BytesIO(DATA), batch_rows=2)
    assert s.report is None
    assert CONSUMERS[consumer](s) == EXPECTED
    assert (s.report.total_rows, s.report.repaired_rows, s.report.columns) == (3, 1, 3)
    with pytest.raises(RuntimeError, match="read once"):
        pa.table(s)


def test_report_stays_none_until_the_last_batch_is_taken():
    s = rowmend.stream(io.BytesIO(DATA), batch_rows=1)
    for _ in range(3):
        next(s)
        assert s.report is None
    with pytest.raises(StopIteration):
        next(s)
    assert s.report.salvaged_rows == 3


def test_duckdb_counts_a_stream_bound_to_a_variable():
    s = rowmend.stream(io.BytesIO(b"a\n" + b"x\n" * 100_000), batch_rows=4096)
    assert duckdb.sql("SELECT count(*) FROM s").fetchall() == [(100_000,)]


def test_frames_keep_arrow_memory():
    frame = rowmend.read_pandas(io.BytesIO(DATA))
    assert all(isinstance(dtype, pandas.ArrowDtype) for dtype in frame.dtypes)
    assert frame["city"].tolist() == EXPECTED["city"]
    assert rowmend.read_polars(io.BytesIO(DATA)).to_dict(as_series=False) == EXPECTED


POLARS_CASES = {
    "many batches": (b"n,text\n" + b"".join(b"%d,t %d\n" % (i, i) for i in range(150_000)), {}),
    "line numbers": (DATA, {"line_numbers": True}),
    "inferred types": (b"n,x\n1,2.5\n2,\n", {"dtypes": "infer"}),
    "a header only": (b"a,b\n", {}),
    "nothing": (b"", {}),
}


@pytest.mark.parametrize("data, options", POLARS_CASES.values(), ids=POLARS_CASES.keys())
def test_polars_gets_the_arrow_table_batch_by_batch(data, options):
    frame = rowmend.read_polars(io.BytesIO(data), **options)
    expected = polars.from_arrow(rowmend.read_arrow(io.BytesIO(data), **options))
    assert frame.schema == expected.schema and frame.equals(expected)


@pytest.mark.parametrize(
    "data, options, names, first_row",
    [
        (DATA, {}, ["id", "name", "city"], ["1", "Ann", "Oslo"]),
        (DATA, {"header": False}, ["column_1", "column_2", "column_3"], ["id", "name", "city"]),
        (DATA, {"line_numbers": True}, ["id", "name", "city", "_line"], ["1", "Ann", "Oslo", 2]),
        (b"a,,A,_line\n1,2,3,4\n", {"line_numbers": True, "header": True}, ["a", "column_2", "A_2", "_line", "_line_2"], ["1", "2", "3", "4", 2]),
        (b'"x\ny",b\n1,2\n', {"line_numbers": True}, ["x\ny", "b", "_line"], ["1", "2", 3]),
        (b"a,b\n", {}, ["a", "b"], None),
        (b"", {}, [], None),
    ],
)
def test_header_naming_and_line_numbers(data, options, names, first_row):
    table = rowmend.read_arrow(io.BytesIO(data), **options)
    assert table.column_names == names
    assert (table_rows(table)[0] if table.num_rows else None) == first_row
    assert all(not field.nullable for field in table.schema)


TEXT = "name;note\nJos\u00e9;caf\u00e9 \u20ac\nZo\u00eb;na\u00efve\n"
LATIN = TEXT.replace(" \u20ac", "")


@pytest.mark.parametrize(
    "text, data, encoding, used",
    [
        (TEXT, TEXT.encode("utf-8"), "auto", "utf-8"),
        (TEXT, codecs.BOM_UTF8 + TEXT.encode("utf-8"), "auto", "utf-8"),
        (TEXT, TEXT.encode("cp1252"), "auto", "cp1252"),
        (TEXT, codecs.BOM_UTF16_LE + TEXT.encode("utf-16-le"), "auto", "utf-16-le"),
        (TEXT, codecs.BOM_UTF16_BE + TEXT.encode("utf-16-be"), "auto", "utf-16-be"),
        (LATIN, LATIN.encode("latin-1"), "latin-1", "iso8859-1"),
        (TEXT, gzip.compress(TEXT.encode("cp1252"), mtime=0), "auto", "cp1252"),
    ],
)
def test_encodings_and_compression_give_the_same_table(text, data, encoding, used):
    s = rowmend.stream(io.BytesIO(data), encoding=encoding)
    table = pa.table(s)
    assert table.column_names == ["name", "note"]
    assert table_rows(table) == [line.split(";") for line in text.splitlines()[1:]]
    assert (s.report.encoding, s.report.replaced_bytes) == (used, 0)


def count_replaced(data):
    """Python's own decoder as the oracle: bytes it replaces."""
    replaced = []

    def handler(error):
        replaced.append(error.end - error.start)
        return "\ufffd", error.end

    codecs.register_error("test_tables.count", handler)
    data.decode("utf-8", "test_tables.count")
    return sum(replaced)


@pytest.mark.parametrize(
    "data",
    [b"a,b\n1,\xff\n", b"a,b\n\xe2\x82,\xf0\x9f\x98\n", b"\xc0\xaf,b\n\xed\xa0\x80,2\n", b"a\n" + b"ok\n" * 50],
)
def test_replaced_bytes_are_counted_like_pythons_decoder(data):
    s = rowmend.stream(io.BytesIO(data), encoding="utf-8", header=False)
    rows = table_rows(pa.table(s))
    assert s.report.replaced_bytes == count_replaced(data)
    assert rows == [line.split(",") for line in data.decode("utf-8", "replace").splitlines()]


def test_quarantine_records_keep_line_reason_and_original_text():
    data = b'h1,h2\n1,2\n"a""b",c,d\nsolo\n5,6\nx,y,z\n'
    s = rowmend.stream(io.BytesIO(data), fill_ragged_rows=False, merge_overflow=False, max_records=2)
    assert table_rows(pa.table(s)) == [["1", "2"], ["5", "6"]]
    report = s.report
    assert (report.total_rows, report.salvaged_rows, report.quarantined_rows) == (5, 2, 3)
    assert [(r.line, r.raw) for r in report.quarantine] == [(3, '"a""b",c,d'), (4, "solo")]
    assert [r.reason for r in report.quarantine] == [
        "too many fields: 3 found, 2 expected",
        "too few fields: 1 found, 2 expected",
    ]


def test_inferred_dtypes_follow_arrows_order():
    data = b"i,f,b,d,s,e,mixed\n1,1.5,true,2024-01-31,x,,1\n-2,2,false,2024-02-01,y,,a\n,3e3,,,z,,2\n"
    table = rowmend.read_arrow(io.BytesIO(data), dtypes="infer")
    assert [str(t) for t in table.schema.types] == [
        "int64",
        "double",
        "bool",
        "date32[day]",
        "string",
        "string",
        "string",
    ]
    assert table.column("i").to_pylist() == [1, -2, None]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: rowmend.stream(io.BytesIO(DATA), expected_columns=0), ValueError),
        (lambda: rowmend.stream(io.BytesIO(DATA), batch_rows=0), ValueError),
        (lambda: rowmend.stream(io.BytesIO(DATA), delimeter=";"), TypeError),
        (lambda: rowmend.read_arrow("/nonexistent/x.csv"), FileNotFoundError),
    ],
)
def test_unusable_calls_raise(call, error):
    with pytest.raises(error):
        call()


def test_a_stream_is_read_once_either_way():
    s = rowmend.stream(io.BytesIO(DATA), batch_rows=1)
    next(s)
    with pytest.raises(RuntimeError, match="read once"):
        s.__arrow_c_stream__()
    t = rowmend.stream(io.BytesIO(DATA))
    pa.table(t)
    with pytest.raises(RuntimeError, match="read once"):
        next(t)


def _via_parquet(data, tmp_path):
    rowmend.clean(io.BytesIO(data), tmp_path / "out.parquet")
    import pyarrow.parquet as pq

    return pq.read_table(tmp_path / "out.parquet").column_names


# Every way a table leaves the package, by its column names.
NAMED_BY = {
    "read_arrow": lambda data, _: rowmend.read_arrow(io.BytesIO(data)).column_names,
    "read_pandas": lambda data, _: list(rowmend.read_pandas(io.BytesIO(data)).columns),
    "read_polars": lambda data, _: rowmend.read_polars(io.BytesIO(data)).columns,
    "stream to polars": lambda data, _: polars.DataFrame(rowmend.stream(io.BytesIO(data))).columns,
    "stream to duckdb": lambda data, _: duckdb.from_arrow(rowmend.stream(io.BytesIO(data))).columns,
    "parquet": _via_parquet,
}


@pytest.mark.parametrize("consumer", NAMED_BY)
@pytest.mark.parametrize(
    "data, names",
    [
        (b"a\0b,c\n1,2\n", ["a\ufffdb", "c"]),
        (b"a\0,a\xef\xbf\xbd\n1,2\n", ["a\ufffd", "a\ufffd_2"]),
        (b"x" * 70000 + b",c\n1,2\n", ["x" * 65536, "c"]),
    ],
)
def test_header_fields_any_consumer_can_name_columns_by(consumer, data, names, tmp_path):
    assert NAMED_BY[consumer](data, tmp_path) == names


def test_changed_names_are_noted_in_the_report():
    s = rowmend.stream(io.BytesIO(b"a\0b," + b"y" * 70000 + b"\n1,2\n"))
    assert [len(batch) for batch in s] == [1]
    assert [note.code for note in s.report.notes] == ["column-name-cut", "column-name-nul"]
    assert s.report.header[0] == "a\0b"  # the report keeps the field as it stood


@pytest.mark.parametrize(
    "data, batch_rows, batch_bytes, sizes",
    [
        (b"ab\ncd\nef\n", 10, 3, [2, 1]),  # ends at the row that reaches the bound
        (b"abcd\nef\ng\n", 10, 3, [1, 2]),
        (b"a\nb\nc\nd\ne\n", 2, 100, [2, 2, 1]),
        (b"a\nb\n", 10**9, 1 << 26, [2]),  # room is made as rows come, not for batch_rows
    ],
)
def test_batches_end_by_rows_or_bytes(data, batch_rows, batch_bytes, sizes):
    salvager = rowmend._native.Salvager(header=False, batch_rows=batch_rows, batch_bytes=batch_bytes)
    salvager.feed(data)
    salvager.finish()
    batches = [pa.record_batch(batch) for batch in salvager.take_batches(["x"])]
    assert [len(batch) for batch in batches] == sizes
    assert sum((batch.column(0).to_pylist() for batch in batches), []) == data.decode().split()


# Each runs in a child whose address space is capped a little above what the
# interpreter, pyarrow and rowmend take: a reservation by rows not yet read
# or a name built from a huge header field would not fit.
UNDER_A_CAP = {
    "a 64 MiB line of NUL bytes as the header": (
        "t = rowmend.read_arrow(io.BytesIO(b'\\0' * (64 << 20)))\n"
        "assert (t.num_rows, len(t.column_names[0])) == (0, 1 << 16)"
    ),
    "batch_rows far beyond the input": (
        "s = rowmend.stream(io.BytesIO(b'a,b\\n1,2\\n'), batch_rows=10**9)\n"
        "assert [len(b) for b in s] == [1]"
    ),
    "two rows of 100,000 fields": (
        "row = b','.join(b'%d' % i for i in range(100000))\n"
        "assert rowmend.read_arrow(io.BytesIO(row + b'\\n' + row + b'\\n'), header=False).shape == (2, 100000)"
    ),
}


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves terabytes of address space")
@pytest.mark.parametrize("case", UNDER_A_CAP)
def test_hostile_sizes_read_within_a_memory_cap(case):
    script = (
        "import io, resource, rowmend, pyarrow\n"
        "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20),) * 2)\n" + UNDER_A_CAP[case]
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
