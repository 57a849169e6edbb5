"""Properties of the package under any input: random bytes, random options,
compressed or not, read through random window sizes.

``read_arrow``, ``stream`` and ``clean`` either return or raise what they are
meant to raise; their rows and counts agree with one another; every row is
accounted for (kept, quarantined or set aside); and with the layout pinned
they read what the backend reads. ``ROWMEND_PROPERTY_EXAMPLES`` sets how many
inputs each property tries (a longer local run: a few thousand).
"""

import bz2
import gzip
import io
import json
import lzma
import os
import pathlib
import shutil
import tempfile

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import zstandard
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _rowmend_backend as backend
import rowmend
from rowmend._native import Salvager
from rowmend._sources import _sniff_compression

# A chosen encoding that the input does not look like warns, as it should.
pytestmark = pytest.mark.filterwarnings("ignore::rowmend.RowmendWarning")

# Sized so that the file runs in well under a minute in CI.
EXAMPLES = int(os.environ.get("ROWMEND_PROPERTY_EXAMPLES", "150"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)

# Bytes that steer the parser, the layout detection and the decoders.
PIECES = [
    b"a", b"b", b"xy", b"1", b"2.5", b",", b";", b"\t", b"|", b'"', b'""', b"'", b"\\", b" ", b"#",
    b"\n", b"\r", b"\r\n", b"\n\n", b"\xef\xbb\xbf", b"\xff\xfe", b"\xc3\xa9", b"\xc3", b"\xa7", b"\xff",
    b"\x00", b"\xe2\x82", b"+2D0-", b"\\ud800",
]

inputs = st.one_of(
    st.lists(st.sampled_from(PIECES), max_size=80).map(b"".join),
    st.binary(max_size=200),
    # rows of a table, some of them damaged
    st.lists(
        st.lists(st.sampled_from([b"a", b"1", b"", b'"q,r"', b"x y", b'"open', b"\xff"]), min_size=1, max_size=5).map(
            b",".join
        ),
        max_size=30,
    ).map(lambda rows: b"\n".join(rows) + b"\n"),
)

COMPRESS = {
    None: lambda data: data,
    "gzip": gzip.compress,
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": zstandard.compress,
}

# Random bytes may start like an executable: the refusal of input that is
# not text is tested on its own, here every input is read.
reading_options = st.fixed_dictionaries(
    {"binary": st.just(True)},
    optional={
        "delimiter": st.sampled_from([None, ",", ";", "\t", "|"]),
        "quote_char": st.sampled_from(["auto", '"', "'"]),
        "escape_char": st.sampled_from(["auto", None, "\\"]),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "repair_quotes": st.booleans(),
        "expected_columns": st.sampled_from([None, 1, 2, 3]),
        "encoding": st.sampled_from(["auto", "utf-8", "latin-1", "cp1252", "utf-16", "utf-16-be", "utf-7"]),
        "header": st.sampled_from(["auto", True, False]),
        "skip_blank_rows": st.booleans(),
        "comment": st.sampled_from(["auto", None, "#"]),
        "skip_preamble": st.sampled_from(["auto", 0, 1, 3]),
        "skip_footer": st.sampled_from(["section", "auto", False]),
        "line_numbers": st.booleans(),
        "record_repairs": st.booleans(),
        "max_records": st.sampled_from([0, 1, 10000]),
    },
)


class Trickle(io.RawIOBase):
    """A stream that cannot seek and hands out its bytes in the sizes given, in turn."""

    def __init__(self, data, sizes):
        self._data = memoryview(data)
        self._sizes = sizes
        self._turn = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        size = min(len(buffer), len(self._data), self._sizes[self._turn % len(self._sizes)])
        self._turn += 1
        buffer[:size] = self._data[:size]
        self._data = self._data[size:]
        return size


@st.composite
def sources(draw):
    """A way to open the same input again and again: in memory, or trickled through random reads."""
    compression, data = draw(st.sampled_from(list(COMPRESS))), draw(inputs)
    if compression is None and _sniff_compression(data[:10]) is not None:
        data = b"x" + data  # bytes that open like a broken archive are test_sources' concern
    data = COMPRESS[compression](data)
    if draw(st.booleans()):
        return lambda: io.BytesIO(data)
    sizes = draw(st.lists(st.integers(1, 70), min_size=1, max_size=6))
    return lambda: Trickle(data, sizes)


def accounted(report):
    assert report.total_rows == report.salvaged_rows + report.quarantined_rows + report.skipped_rows
    assert report.skipped_rows == sum(report.skipped.values())
    assert 0 <= report.repaired_rows <= report.salvaged_rows


@pytest.fixture(scope="module")
def scratch():
    path = pathlib.Path(tempfile.mkdtemp(prefix="rowmend-package-properties-"))
    yield path
    shutil.rmtree(path)


@SETTINGS
@given(source=sources(), options=reading_options, batch_rows=st.integers(1, 9))
def test_stream_read_arrow_and_clean_agree_and_account_for_every_row(scratch, source, options, batch_rows):
    rows = rowmend.stream(source(), batch_rows=batch_rows, **options)
    batches = list(rows)
    report = rows.report
    accounted(report)
    # A report comes back from its plain data as it was, as Dask's workers send it.
    again = rowmend.Report.from_dict(json.loads(json.dumps(report.to_dict(lines=True))))
    assert again == report and again.lines == report.lines and again.to_dict() == report.to_dict()
    assert all(batch.schema.equals(rows.schema) for batch in batches)
    assert all(0 < batch.num_rows <= batch_rows for batch in batches)
    assert sum(batch.num_rows for batch in batches) == report.salvaged_rows
    streamed = pa.Table.from_batches(batches, schema=rows.schema)

    assert rowmend.read_arrow(source(), **options).equals(streamed)

    out = scratch / "clean.parquet"
    cleaned = rowmend.clean(source(), out, quarantine=scratch / "quarantine.csv", **options)
    assert cleaned.to_dict() == report.to_dict()
    assert pq.read_table(out).equals(streamed)

    options.pop("line_numbers", None)
    cleaned = rowmend.clean(source(), scratch / "clean.csv", **options)
    accounted(cleaned)
    assert (cleaned.total_rows, cleaned.salvaged_rows, cleaned.quarantined_rows) == (
        report.total_rows,
        report.salvaged_rows,
        report.quarantined_rows,
    )


# The options under which the package reads every record as the backend
# does, once the delimiter is the backend's: no header, nothing set aside,
# no layout detection beyond the backend's, UTF-8 decoded as it decodes it.
AS_THE_BACKEND = {
    "header": False,
    "skip_blank_rows": False,
    "comment": None,
    "skip_preamble": 0,
    "skip_footer": False,
    "quote_char": '"',
    "escape_char": None,
    "encoding": "utf-8",
    "repairs": "backend",  # the backend's reading of quotes, where the package reads further
    "binary": True,  # the backend reads any bytes as CSV
}

backend_flags = st.fixed_dictionaries(
    {
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "repair_quotes": st.booleans(),
        "expected_columns": st.sampled_from([None, 1, 2, 3]),
    }
)


@SETTINGS
@given(data=inputs, flags=backend_flags, sizes=st.lists(st.integers(1, 70), min_size=1, max_size=6))
def test_with_the_layout_pinned_the_package_reads_what_the_backend_reads(scratch, data, flags, sizes):
    if _sniff_compression(data[:10]):
        return  # the package decompresses; the backend reads the bytes as stored
    path = scratch / "pinned.csv"
    path.write_bytes(data)
    with backend.open(str(path), **flags) as reader:
        expected = list(reader)
        summary = reader.summary
    if summary.inferred_columns == 0 and flags["expected_columns"] is None and len(set(map(len, expected))) > 1:
        return  # rows left as parsed are ragged; a table cannot hold them as they are
    rows = rowmend.stream(
        Trickle(data, sizes), batch_rows=5, delimiter=summary.detected_delimiter, **AS_THE_BACKEND, **flags
    )
    table = pa.Table.from_batches(list(rows), schema=rows.schema)
    assert [list(row.values()) for row in table.to_pylist()] == expected
    report = rows.report
    accounted(report)
    assert (report.total_rows, report.salvaged_rows, report.repaired_rows, report.quarantined_rows) == (
        summary.total_rows,
        summary.salvaged_rows,
        summary.repaired_rows,
        summary.quarantined_rows,
    )
    # Records read as the header's names are not rows; with a header they
    # and the rows make up every record the backend counts.
    named = rowmend.stream(
        Trickle(data, sizes), delimiter=summary.detected_delimiter, **{**AS_THE_BACKEND, "header": True}, **flags
    )
    list(named)
    if named.report.header_rows:
        assert named.report.header_rows + named.report.total_rows == summary.total_rows


def _native_read(data, cuts, **options):
    salvager = Salvager(**options)
    start = 0
    for cut in sorted(cuts) + [len(data)]:
        salvager.feed(data[start:cut])
        start = max(start, cut)
    salvager.finish()
    names = [f"c{i}" for i in range(salvager.columns + options.get("line_numbers", False))]
    rows = [row for batch in salvager.take_batches(names) for row in pa.record_batch(batch).to_pylist()]
    counts = (salvager.total_rows, salvager.salvaged_rows, salvager.quarantined_rows, salvager.skipped_rows)
    return rows, salvager.header, counts, salvager.quarantine


@SETTINGS
@given(
    data=inputs,
    cuts=st.lists(st.integers(0, 200), max_size=8),
    batch_rows=st.integers(1, 5),
    batch_bytes=st.integers(1, 40),
    options=st.fixed_dictionaries(
        {
            "header": st.sampled_from([True, False, "auto"]),
            "detect_dialect": st.booleans(),
            "skip_blank_rows": st.booleans(),
            "comment": st.sampled_from([None, "auto"]),
            "skip_preamble": st.sampled_from([0, "auto"]),
            "skip_footer": st.sampled_from([False, "section", "auto"]),
            "line_numbers": st.booleans(),
            "encoding": st.sampled_from(["utf-8", "utf-8+cp1252", "cp1252", "utf-16-le"]),
        }
    ),
)
def test_the_native_pass_reads_the_same_in_any_windows_and_batches(data, cuts, batch_rows, batch_bytes, options):
    whole = _native_read(data, [], **options)
    assert _native_read(data, cuts, batch_rows=batch_rows, batch_bytes=batch_bytes, **options) == whole
    total, salvaged, quarantined, skipped = whole[2]
    assert total == salvaged + quarantined + skipped
