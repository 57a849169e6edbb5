"""A quote that opens a field and never closes: read as text when the lines it swallows are rows."""

import io

import pyarrow as pa
import pytest

import rowmend
from rowmend import cli

ROWS = "".join(f"{i},x\n" for i in range(100))
ROW_FIELDS = [[str(i), "x"] for i in range(100)]
PROSE = "".join(f"line {i} of a long note\n" for i in range(200))
HUGE = "z" * (3 << 20)

# name: (input, rows read, their lines of a quote read as text, the backend's row count)
CASES = {
    "early": ('a,b\n1,"open\n' + ROWS, [["1", '"open']] + ROW_FIELDS, [2], 1),
    "late": ('a,b\n' + ROWS + '7,"open\n' + ROWS, ROW_FIELDS + [["7", '"open']] + ROW_FIELDS, [102], 101),
    "CR LF": (('a,b\n1,"open\n' + ROWS).replace("\n", "\r\n"), [["1", '"open']] + ROW_FIELDS, [2], 1),
    "text whose lines are no rows": ('a,b\n1,"' + PROSE + '"\n2,y\n', [["1", PROSE], ["2", "y"]], [], 2),
    "one huge value": ('a,b\n1,"' + HUGE + '"\n2,y\n', [["1", HUGE], ["2", "y"]], [], 2),
    "one huge line, then rows, no close": (
        'a,b\n1,"' + HUGE + "\n" + ROWS,
        [["1", '"' + HUGE]] + ROW_FIELDS,
        [2],
        1,
    ),
    "in the header": ('a,"b\n' + ROWS, ROW_FIELDS, [1], 0),
    "in the last row, the input ending inside it": (
        'a,b\n' + ROWS + '7,"open\n8,y\n9,z',
        ROW_FIELDS + [["7", '"open'], ["8", "y"], ["9", "z"]],
        [102],
        101,
    ),
    "in the last row, nothing after it": ('a,b\n1,x\n2,"open', [["1", "x"], ["2", "open"]], [], 2),
}


@pytest.mark.parametrize("name", CASES)
def test_runaway_quotes(tmp_path, name):
    text, rows, lines, backend_rows = CASES[name]
    source = tmp_path / "in.csv"
    source.write_bytes(text.encode())
    stream = rowmend.stream(source, record_repairs=True)
    table = pa.table(stream)
    report = stream.report
    assert [list(row.values()) for row in table.to_pylist()] == rows
    assert report.total_rows == report.salvaged_rows == len(rows)
    header_only = lines == [1]
    data_lines = [] if header_only else lines
    assert report.repaired_rows == len(data_lines)
    assert [(r.line, r.action) for r in report.repairs] == [(line, "quote read as text") for line in data_lines]
    quote_notes = [note for note in report.notes if note.code == "quote-read-as-text"]
    assert [note.message.split(":")[0] for note in quote_notes] == [f"line {line}" for line in data_lines]
    if header_only:
        # A names line is repaired as such: its stray quote read as text and dropped.
        assert report.header == ("a", "b")
        assert [note.code for note in report.notes] == ["header-repaired"]

    # The backend's reading is kept on request.
    backend = rowmend.stream(source, repairs="backend")
    assert pa.table(backend).num_rows == backend_rows
    assert backend.report.notes == () and backend.report.repaired_rows == 0

    # --max-repaired sees the repair.
    argv = ["clean", str(source), "-o", str(tmp_path / "out.csv"), "--max-repaired", "0"]
    assert cli.main(argv) == (1 if data_lines else 0)
    assert cli.main(argv[:-1] + ["0", "--repairs", "backend"]) == 0


def test_notes_name_the_first_lines_and_count_the_rest():
    text = "a,b\n" + "".join(f'{i},"open\n' + ROWS for i in range(7))
    stream = rowmend.stream(io.BytesIO(text.encode()))
    assert pa.table(stream).num_rows == 707
    assert stream.report.repaired_rows == 7
    (note,) = stream.report.notes
    assert note.message.startswith("lines 2, 103, 204, 305, 406 and 2 more: ")


@pytest.mark.parametrize("value", ["none", "", True])
def test_repairs_takes_auto_or_backend(value):
    with pytest.raises((ValueError, TypeError), match="repairs"):
        rowmend.read_arrow(io.BytesIO(b"a,b\n"), repairs=value)
