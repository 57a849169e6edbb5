"""Long and short rows repaired where their columns' kinds place the join or the gap."""

from __future__ import annotations

import csv
import io

import pyarrow as pa
import pytest

import _rowmend_backend
import rowmend

HEAD = b"id,name,amount,day\n1,Ana Lima,2.5,2024-01-02\n2,Bo,3.75,2024-01-05\n3,Cy Young,10,2024-02-01\n"

# (the damaged row, its fields as placed, the placement recorded; None: repaired at the row's end)
PLACED = [
    (b"4,Smith, John,4.5,2024-04-01", ["4", "Smith, John", "4.5", "2024-04-01"], "fields 2 and 3 joined into column 2"),
    (b"5,Smith, John, Jr,4.5,2024-04-01", ["5", "Smith, John, Jr", "4.5", "2024-04-01"], "fields 2 to 4 joined into column 2"),
    (b"7,Gil2.5,2024-04-02", ["7", "Gil2.5", "", "2024-04-02"], "an empty field put in column 3"),
    (b"8,4.5,2024-04-03", ["8", "", "4.5", "2024-04-03"], "an empty field put in column 2"),
    # Repaired at the end: the surplus is there, or the row is cut short there, or nothing fits.
    (b"9,Al,4.5,2024-04-01,late", None, ""),
    (b"10,Al,4.5", None, ""),
    (b"11,Al,x,y,2024-04-01", None, ""),
    # "Lee, Ann" and "1,200", or "Lee, Ann,1" and "200": both fit, so neither is taken.
    (b"12,Lee, Ann,1,200,2024-04-03", None, ""),
]


def read(data: bytes, **options):
    stream = rowmend.stream(io.BytesIO(data), record_repairs=True, **options)
    table = pa.table(stream)
    return [list(row.values()) for row in table.to_pylist()], stream.report


@pytest.mark.parametrize("line, fields, placement", PLACED, ids=[row[0].decode() for row in PLACED])
def test_rows_are_repaired_where_the_columns_kinds_place_it(line, fields, placement):
    data = HEAD + line + b"\n"
    rows, report = read(data)
    backend_rows, backend_report = read(data, repairs="backend")
    assert rows[:3] == backend_rows[:3] and report.repaired_rows == backend_report.repaired_rows == 1
    (record,) = report.repairs
    assert record.raw == line.decode() and record.placement == placement
    assert rows[3] == (backend_rows[3] if fields is None else fields) == list(record.fields)
    assert backend_report.repairs[0].placement == ""


def test_repairs_backend_reads_every_row_as_the_backend_does(tmp_path):
    data = HEAD + b"".join(line + b"\n" for line, _, _ in PLACED)
    (tmp_path / "in.csv").write_bytes(data)
    rows, _ = read(data, repairs="backend")
    with _rowmend_backend.open(str(tmp_path / "in.csv")) as reader:
        assert [list(row) for row in reader][1:] == rows


def test_the_repairs_file_says_where_each_repair_was_placed(tmp_path):
    (tmp_path / "in.csv").write_bytes(HEAD + b"4,Smith, John,4.5,2024-04-01\n9,Al,4.5\n")
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", quarantine=tmp_path / "q.csv", record_repairs=True)
    with open(tmp_path / "q.repairs.csv", newline="", encoding="utf-8") as f:
        records = list(csv.DictReader(f))
    assert [(r["line"], r["action"], r["placement"]) for r in records] == [
        ("5", "merged", "fields 2 and 3 joined into column 2"),
        ("6", "filled", ""),
    ]
    assert (tmp_path / "out.csv").read_text().splitlines()[4] == '4,"Smith, John",4.5,2024-04-01'
