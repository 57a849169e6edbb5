"""Structural detection: rows that are not part of the table are set aside and counted, and each rule can be
turned off or forced."""

import io

import pyarrow as pa
import pytest

import rowmend


def read(data, **options):
    """The table's column names, its rows as lists, and the report."""
    stream = rowmend.stream(io.BytesIO(data), **options)
    table = pa.table(stream)
    report = stream.report
    assert report.total_rows == report.salvaged_rows + report.quarantined_rows + report.skipped_rows
    assert report.skipped_rows == sum(report.skipped.values())
    assert report.to_dict()["skipped"] == report.skipped
    return table.column_names, [list(row.values()) for row in table.to_pylist()], report


def nonzero(counts):
    return {kind: count for kind, count in counts.items() if count}


@pytest.mark.parametrize(
    "data, options, rows, skipped",
    [
        (b"a,b\n1,2\n\n3,4\n", {}, [["1", "2"], ["3", "4"]], {"blank": 1}),
        (b"a,b\n1,2\n \t\n\n3,4\n\n", {}, [["1", "2"], ["3", "4"]], {"blank": 3}),
        (b"a\nx\n\ny\n", {}, [["x"], ["y"]], {"blank": 1}),
        (b"a,b\n1,2\n\n3,4\n", {"skip_blank_rows": False}, [["1", "2"], ["", ""], ["3", "4"]], {}),
    ],
    ids=["between rows", "whitespace and trailing", "one column", "off"],
)
def test_blank_rows(data, options, rows, skipped):
    _, got, report = read(data, **options)
    assert got == rows
    assert nonzero(report.skipped) == skipped
