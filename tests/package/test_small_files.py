"""Small files come back whole, and every record of any file is accounted for: the header's rows and the
report's total add up to the records parsed."""

import io
import os
import pathlib
import sys
import tempfile

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _rowmend_backend as backend
import rowmend

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import small_files  # noqa: E402


def test_every_small_table_comes_back_with_its_header_and_every_row():
    tables = list(small_files.tables())
    failed = [(t.name, why) for t in tables if (why := small_files.failure(t)) is not None]
    assert len(tables) > 4000
    assert failed == []


def read(data, **options):
    stream = rowmend.stream(io.BytesIO(data), record_repairs=True, **options)
    table = pa.table(stream)
    return table.column_names, [list(row.values()) for row in table.to_pylist()], stream.report


def notes(report):
    return [note.code for note in report.notes]


# (input, names, rows, header rows, skipped, note codes)
READINGS = [
    (b"id,name,amount,\n1,ana,2.5,\n2,bo,3.5,\n", ["id", "name", "amount"],
     [["1", "ana", "2.5"], ["2", "bo", "3.5"]], 1, {}, ["trailing-column-dropped"]),
    # A value in the column within the rows read to detect: it is the table's.
    (b"id,name,amount,\n1,ana,2.5,x\n2,bo,3.5,\n", ["id", "name", "amount", "column_4"],
     [["1", "ana", "2.5", "x"], ["2", "bo", "3.5", ""]], 1, {}, []),
    # Past them: a long row, merged; a short row's delimiter keeps its empty cell.
    (b"id,name,amount,\n" + b"1,ana,2.5,\n" * 24 + b"2,bo,3.5,x\n3,cy,\n", ["id", "name", "amount"],
     [["1", "ana", "2.5"]] * 24 + [["2", "bo", "3.5,x"], ["3", "cy", ""]], 1, {},
     ["trailing-column-dropped", "trailing-column-value"]),
    (b",name,amount\n0,ana,2.5\n1,bo,3.5\n", ["column_1", "name", "amount"],
     [["0", "ana", "2.5"], ["1", "bo", "3.5"]], 1, {}, []),
    (b"x,x,y\n1,2,3\n", ["x", "x_2", "y"], [["1", "2", "3"]], 1, {}, []),
    (b"Sales,,Returns,\nQ1,Q2,Q1,Q2\n1,2,3,4\n", ["Sales Q1", "Sales Q2", "Returns Q1", "Returns Q2"],
     [["1", "2", "3", "4"]], 2, {}, []),
    (b"a,b,c\n1,x,2\n3,y\n5,z,6,7\n", ["a", "b", "c"], [["1", "x", "2"], ["3", "y", ""], ["5", "z", "6,7"]], 1,
     {}, ["preamble-kept"]),
    (b"name,n\nx,1\ny\nz,2,3\n", ["name", "n"], [["x", "1"], ["y", ""], ["z", "2,3"]], 1, {}, ["preamble-kept"]),
    (b"name,value\n1,2,3\n", ["name", "value", "column_3"], [["1", "2", "3"]], 1, {}, []),
    (b"Report\nexported 2024\n\nid,n\n1,2\n", ["id", "n"], [["1", "2"]], 1, {"preamble": 2, "blank": 1}, []),
    (b"region,code,count,amount\nNorth,A,100,1000.50\nSouth,B,246,3763.00\nTotal,,346,4763.50\n",
     ["region", "code", "count", "amount"], [["North", "A", "100", "1000.50"], ["South", "B", "246", "3763.00"]], 1,
     {"footer": 1}, ["totals-footer"]),
    (b"region,count\nNorth,100\nSouth,246\nSumme,346\n", ["region", "count"], [["North", "100"], ["South", "246"]],
     1, {"footer": 1}, ["totals-footer"]),
    (b"region,count\nNorth,100\nSouth,246\nTotal,999\n", ["region", "count"],
     [["North", "100"], ["South", "246"], ["Total", "999"]], 1, {}, ["totals-kept"]),
    (b"region,count\nTotal,100\nSouth,246\n", ["region", "count"], [["Total", "100"], ["South", "246"]], 1, {}, []),
    (b"a,b,c\n#,1,2\n#,3,4\n", ["a", "b", "c"], [["#", "1", "2"], ["#", "3", "4"]], 1, {}, []),
    (b"#x,#y,#z\n#a,1,2\n#b,3,4\n", ["#x", "#y", "#z"], [["#a", "1", "2"], ["#b", "3", "4"]], 1, {}, []),
    (b"#id,name,amount\n1,ana,2.5\n2,bo,3\n", ["#id", "name", "amount"], [["1", "ana", "2.5"], ["2", "bo", "3"]], 1,
     {}, []),
    (b"#id,n\nid,n\n1,2\n", ["id", "n"], [["1", "2"]], 1, {"comment": 1}, []),
    (b"name,name,amount\nana,bo,\ncy,dy,3\nel,fa,4\n", ["name", "name_2", "amount"],
     [["ana", "bo", ""], ["cy", "dy", "3"], ["el", "fa", "4"]], 1, {}, []),
    (b"Customer ID;Order Date;Total Amount\n", ["Customer ID", "Order Date", "Total Amount"], [], 1, {}, []),
    (b"name,description of item,price (EUR)\n", ["name", "description of item", "price (EUR)"], [], 1, {}, []),
    (b"id,n\n1,a\n2,b\n,\n,\n", ["id", "n"], [["1", "a"], ["2", "b"]], 1, {"blank": 2}, ["empty-rows"]),
    (b"id,n\r\n1,a\r\n, \r\n2,b\r\n,\r\n", ["id", "n"], [["1", "a"], ["", " "], ["2", "b"]], 1, {"blank": 1},
     ["empty-rows"]),
    (b"a,b,c\n,,\n,,\n", ["a", "b", "c"], [["", "", ""], ["", "", ""]], 1, {}, []),
    # Runs of empty rows between sections are blank rows; one alone is a record.
    (b"id,n,v\n1,a,2\n,,\n,,\n,,\n3,b,4\n,,\n5,c,6\n" + b",,\n" * 30,
     ["id", "n", "v"], [["1", "a", "2"], ["3", "b", "4"], ["", "", ""], ["5", "c", "6"]], 1, {"blank": 33},
     ["empty-rows", "empty-rows"]),
    (b'id,n,v\n1,"a",2\n,,\n,,\n3,"b",4\n', ["id", "n", "v"], [["1", "a", "2"], ["3", "b", "4"]], 1,
     {"blank": 2}, ["empty-rows"]),

    (b"id,n,v\n1,a,2\n,,\n,,\nEnd of report\n", ["id", "n", "v"], [["1", "a", "2"]], 1,
     {"blank": 2, "footer": 1}, ["empty-rows"]),
    # Stacked tables: the first is the table, however long the later ones.
    (b"id,name,amount\n1,ana,2.5\n2,bo,3\nsku,qty,price,store\nA1,3,2.5,north\nA2,4,2.5,south\nA3,5,2.5,x\n",
     ["id", "name", "amount"], [["1", "ana", "2.5"], ["2", "bo", "3"]], 1, {"section": 4},
     ["stacked-tables", "later-table"]),
    (b"id,name,amount\n1,ana,2.5\n2,bo,3\n3,cy,4\ncode,city\nX,rome\nY,oslo\n", ["id", "name", "amount"],
     [["1", "ana", "2.5"], ["2", "bo", "3"], ["3", "cy", "4"]], 1, {"section": 3}, ["later-table"]),
    (b"id,name,amount\n1,ana,2.5\n2,bo,3\n\ncode,city,pop\n" + b"X,rome,1\n" * 100, ["id", "name", "amount"],
     [["1", "ana", "2.5"], ["2", "bo", "3"]], 1, {"blank": 1, "section": 101}, ["later-table"]),
    # Long rows of values, and a long row of words alone: the table's own rows.
    (b"id,name,amount\n1,ana,2.5\n2,bo,3\n3,cy,4,5\n4,di,5,6\n", ["id", "name", "amount"],
     [["1", "ana", "2.5"], ["2", "bo", "3"], ["3", "cy", "4,5"], ["4", "di", "5,6"]], 1, {}, []),
    (b"id,name,amount\n1,ana,2.5\n2,bo,3\nx,y,z,w\n3,cy,4\n", ["id", "name", "amount"],
     [["1", "ana", "2.5"], ["2", "bo", "3"], ["x", "y", "z,w"], ["3", "cy", "4"]], 1, {}, []),
    (b"id,name\n1,english\n1,english\n\n2,german,1,2,3\n", ["id", "name"],
     [["1", "english"], ["1", "english"], ["2", "german,1,2,3"]], 1, {"blank": 1}, ["section-kept"]),
]


@pytest.mark.parametrize("data, names, rows, header_rows, skipped, codes", READINGS, ids=[r[0][:24] for r in READINGS])
def test_reading(data, names, rows, header_rows, skipped, codes):
    got_names, got, report = read(data)
    assert (got_names, got) == (names, rows)
    assert report.header_rows == header_rows
    assert {kind: n for kind, n in report.skipped.items() if n} == skipped
    assert notes(report) == codes
    footers = [r.line for r in report.repairs if r.action == "footer"]
    for note in report.notes:
        if note.code == "totals-footer":
            assert any(note.message.startswith(f"line {line} ") for line in footers)


@pytest.mark.parametrize("data", [b"id,name\n1,a,x\n2,b,y\n", b"id,name,amount,x\n1,a,2\n2,b,3\n"])
def test_a_quarantined_header_row_gives_its_place_to_no_data_row(data):
    names, rows, report = read(data, fill_ragged_rows=False, merge_overflow=False)
    assert names == ["column_1", "column_2", "column_3"]
    assert len(rows) == 2 and report.quarantined_rows == 1 and report.header_rows == 0


def test_a_totals_row_is_data_when_footers_are_off():
    data = b"region,count\nNorth,100\nSouth,246\nTotal,346\n"
    _, rows, report = read(data, skip_footer=False)
    assert rows[-1] == ["Total", "346"] and not report.notes


def backend_reading(data):
    """The backend's record count and delimiter for ``data``."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "input.csv")
        with open(path, "wb") as f:
            f.write(data)
        with backend.open(path) as reader:
            for _ in reader:
                pass
            return reader.summary.total_rows, reader.summary.detected_delimiter


CELLS = st.sampled_from(["id", "name", "x", "1", "2.5", "2024-01-02", "", "#", "#a", "Total", "7", '"q,1"', " "])
LINES = st.lists(st.lists(CELLS, min_size=1, max_size=5).map(",".join), max_size=14)


@settings(max_examples=300, deadline=None)
@given(lines=LINES, end=st.sampled_from(["", "\n"]))
def test_header_rows_and_total_rows_are_every_record_parsed(lines, end):
    data = ("\n".join(lines) + end).encode()
    total, delimiter = backend_reading(data)
    # The backend's delimiter and quoting; the header, preamble, comments,
    # blank lines and footers detected.
    _, _, report = read(data, delimiter=delimiter, quote_char='"', escape_char=None, encoding="utf-8")
    assert report.header_rows + report.total_rows == total


WELL_FORMED = small_files.corpus_controls()


@pytest.mark.parametrize("path, header, records", WELL_FORMED, ids=[entry[0] for entry in WELL_FORMED])
def test_well_formed_corpus_tables_keep_their_header_and_every_row(path, header, records):
    stream = rowmend.stream(path)
    table = pa.table(stream)
    report = stream.report
    assert (table.column_names, table.num_rows) == (header, len(records))
    assert (report.header_rows, report.skipped_rows, report.notes) == (1, 0, ())
