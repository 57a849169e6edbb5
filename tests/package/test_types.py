"""Typed columns: each rule and override as a table of columns and what they read as."""

import datetime
import decimal
import io

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import rowmend


def column_csv(cells):
    """A table of the cells as column x, beside a column of row numbers (a lone column's empty cells are blank lines)."""
    return ("i,x\n" + "".join(f'{i},"{cell}"\n' for i, cell in enumerate(cells))).encode()


def read_x(cells, **options):
    table = rowmend.read_arrow(io.BytesIO(column_csv(cells)), dtypes="infer", header=True, **options)
    return table


D = datetime.date
# (name, cells, Arrow type, values as read, the x_raw column or None)
RULES = [
    ("integers", ["1", "-2", "", "300"], pa.int64(), [1, -2, None, 300], None),
    ("decimal point", ["1.5", "2", "-0.25"], pa.float64(), [1.5, 2.0, -0.25], None),
    ("decimal comma and point groups", ["1.234,5", "2,25", "7"], pa.float64(), [1234.5, 2.25, 7.0], None),
    ("comma groups", ["1,234", "12", "1,234,567"], pa.int64(), [1234, 12, 1234567], None),
    ("space groups", ["1 234,50", "2,5", "3 000 000,25"], pa.float64(), [1234.5, 2.5, 3000000.25], None),
    ("apostrophe groups", ["1'234.5", "2.75", "1'000'000.5"], pa.float64(), [1234.5, 2.75, 1000000.5], None),
    ("no-break space groups", ["1\u202f234,5", "2,5"], pa.float64(), [1234.5, 2.5], None),
    ("currency kept as the unit", ["$1.50", "$20", "-$3.25"], pa.float64(), [1.5, 20.0, -3.25], None),
    ("percent kept as the unit", ["45%", "12.5%", "7 %"], pa.float64(), [45.0, 12.5, 7.0], None),
    ("integers past int64", ["1", "99999999999999999999"], pa.decimal128(20, 0),
     [decimal.Decimal(1), decimal.Decimal("99999999999999999999")], None),
    ("many decimal digits stay exact", ["0.1234567890123456789", "1"], pa.decimal128(20, 19),
     [decimal.Decimal("0.1234567890123456789"), decimal.Decimal("1.0000000000000000000")], None),
    ("numbers past 38 digits stay text", ["1" * 40, "2"], pa.string(), ["1" * 40, "2"], None),
    ("leading-zero codes stay text", ["007", "012", "123"], pa.string(), ["007", "012", "123"], None),
    ("booleans", ["true", "False", "yes", "NO"], pa.bool_(), [True, False, True, False], None),
    ("iso dates", ["2024-01-31", "2023-12-01", ""], pa.date32(), [D(2024, 1, 31), D(2023, 12, 1), None], None),
    ("day-first dates", ["01/02/2024", "13/02/2024"], pa.date32(), [D(2024, 2, 1), D(2024, 2, 13)], None),
    ("month-first dates", ["02/13/2024", "1/2/2024"], pa.date32(), [D(2024, 2, 13), D(2024, 1, 2)], None),
    ("dates without a day above 12 stay text", ["01/02/2024", "03/04/2024"], pa.string(),
     ["01/02/2024", "03/04/2024"], None),
    ("two date formats", ["2024-01-31", "13.02.2024"], pa.date32(), [D(2024, 1, 31), D(2024, 2, 13)], None),
    ("dates and timestamps", ["2024-01-31", "2024-01-31T10:30"], pa.timestamp("us"),
     [datetime.datetime(2024, 1, 31), datetime.datetime(2024, 1, 31, 10, 30)], None),
    ("zoned timestamps in UTC", ["2024-01-31T10:00:00Z", "2024-01-31 10:00:00+01:00"], pa.timestamp("us", "UTC"),
     [datetime.datetime(2024, 1, 31, 10, tzinfo=datetime.timezone.utc),
      datetime.datetime(2024, 1, 31, 9, tzinfo=datetime.timezone.utc)], None),
    ("times", ["10:00", "23:59:59.5"], pa.time64("us"),
     [datetime.time(10), datetime.time(23, 59, 59, 500000)], None),
    ("null spellings", ["1", "NA", "N/A", "-", "null", "#N/A", "nan", "None", "--", "n/a", "NULL"], pa.int64(),
     [1] + [None] * 10, None),
    ("a misfit in two hundred", ["5"] * 199 + ["8011-N"], pa.int64(), [5] * 199 + [None],
     [None] * 199 + ["8011-N"]),
    ("a leading-zero code among integers", ["5"] * 199 + ["007"], pa.int64(), [5] * 199 + [None],
     [None] * 199 + ["007"]),
    ("two misfits in a hundred stay text", ["5"] * 98 + ["x", "y"], pa.string(), ["5"] * 98 + ["x", "y"], None),
    ("negative offsets and fractions in UTC", ["2024-01-31 23:30:00.25-01:30", "1969-12-31T23:59:59Z"],
     pa.timestamp("us", "UTC"),
     [datetime.datetime(2024, 2, 1, 1, 0, 0, 250000, tzinfo=datetime.timezone.utc),
      datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)], None),
    ("a time finer than a microsecond is a misfit, not cut", ["10:00:00.5"] * 199 + ["10:00:00.1234567"],
     pa.time64("us"), [datetime.time(10, 0, 0, 500000)] * 199 + [None], [None] * 199 + ["10:00:00.1234567"]),
    ("integers with an exponent or a unit", ["1e5", "2", "3"], pa.float64(), [100000.0, 2.0, 3.0], None),
    ("int64's edges", ["9223372036854775807", "-9223372036854775808"], pa.int64(),
     [2**63 - 1, -(2**63)], None),
    ("negative decimals past a float's digits", ["-12345678901234567.5", "0.5"], pa.decimal128(18, 1),
     [decimal.Decimal("-12345678901234567.5"), decimal.Decimal("0.5")], None),
    ("words", ["a", "b"], pa.string(), ["a", "b"], None),
    ("an empty column", ["", ""], pa.string(), ["", ""], None),
]


@pytest.mark.parametrize("name, cells, arrow, values, raw", RULES, ids=[row[0] for row in RULES])
def test_each_rule_reads_its_column(name, cells, arrow, values, raw):
    table = read_x(cells)
    assert table.schema.field("x").type == arrow
    assert table.column("x").to_pylist() == values
    if raw is None:
        assert "x_raw" not in table.column_names
    else:
        assert table.column("x_raw").to_pylist() == raw
    assert table.num_rows == len(cells)  # no row is ever dropped


# (name, cells, options, Arrow type, values)
OVERRIDES = [
    ("decimal for integers", ["1", "2"], {"dtypes": {"x": "decimal"}}, pa.float64(), [1.0, 2.0]),
    ("string keeps the text", ["1", "2"], {"dtypes": {"x": "string"}}, pa.string(), ["1", "2"]),
    ("date order given", ["01/02/2024", "03/04/2024"], {"dtypes": {"x": "date-mdy"}}, pa.date32(),
     [D(2024, 1, 2), D(2024, 3, 4)]),
    ("integer given: misfits past one percent", ["1", "x", "y"], {"dtypes": {"x": "integer"}}, pa.int64(),
     [1, None, None]),
    ("null spellings given", ["1", "?", "NA"], {"dtypes": "infer", "null_values": ["?"]}, pa.string(),
     ["1", "?", "NA"]),
    ("null spellings given, fitting", ["1", "?", ""], {"dtypes": "infer", "null_values": ["?", ""]}, pa.int64(),
     [1, None, None]),
    ("decimal comma given", ["1,234", "5,678"], {"dtypes": "infer", "decimal": ","}, pa.float64(), [1.234, 5.678]),
    ("thousands given", ["1,234", "5,678"], {"dtypes": "infer", "thousands": "comma"}, pa.int64(), [1234, 5678]),
    ("the command line's spelling", ["1", "2"], {"dtypes": "x=decimal"}, pa.float64(), [1.0, 2.0]),
    ("missing values in text on request", ["a", "NA", " ", "b"], {"dtypes": "infer", "nulls_in_text": True},
     pa.string(), ["a", None, None, "b"]),
    ("missing values in text stay text unasked", ["a", "NA", ""], {"dtypes": "infer"}, pa.string(), ["a", "NA", ""]),
    ("missing values in text, own spellings", ["a", "?", "NA"],
     {"dtypes": {"x": "string"}, "null_values": ["?"], "nulls_in_text": True}, pa.string(), ["a", None, "NA"]),
]


@pytest.mark.parametrize("name, cells, options, arrow, values", OVERRIDES, ids=[row[0] for row in OVERRIDES])
def test_overrides(name, cells, options, arrow, values):
    table = rowmend.read_arrow(io.BytesIO(column_csv(cells)), header=True, **options)
    assert table.schema.field("x").type == arrow
    assert table.column("x").to_pylist() == values


def test_an_ambiguous_number_column_stays_text_with_a_note():
    rows = rowmend.stream(io.BytesIO(column_csv(["1,234", "5,678"])), dtypes="infer", header=True)
    assert pa.table(rows).column("x").to_pylist() == ["1,234", "5,678"]
    assert [note.code for note in rows.report.notes] == ["type-ambiguous"]


def test_the_report_counts_and_keeps_every_misfit_of_a_parquet_file(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(b"id,amount\n" + b"".join(b"%d,%d.5\n" % (i, i) for i in range(300)) + b"300,8011-N\n")
    report = rowmend.clean(source, tmp_path / "out.parquet", dtypes="infer")
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.column_names == ["id", "amount", "amount_raw"]
    assert table.column("amount_raw").to_pylist()[-1] == "8011-N"
    assert report.misfits == {"id": 0, "amount": 1}
    assert report.misfit_records == (rowmend.MisfitRecord(302, "amount", "8011-N"),)
    assert report.column_types["amount"].kind == "decimal"
    assert report.to_dict()["misfit_records"] == [{"line": 302, "column": "amount", "text": "8011-N"}]


def test_a_stream_keeps_its_prefix_types_and_records_later_misfits(monkeypatch):
    import rowmend._typed

    monkeypatch.setattr(rowmend._typed, "PREFIX_ROWS", 100)
    data = b"n,w\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(100)) + b"2.5,x\n" + b"7,8\n"
    typed_rows = rowmend.stream(io.BytesIO(data), dtypes="infer", batch_rows=10)
    table = pa.table(typed_rows)
    assert table.schema.field("n").type == pa.int64()
    assert table.column("n").to_pylist()[-2:] == [None, 7]
    assert "n_raw" not in table.column_names
    report = typed_rows.report
    assert report.misfit_records == (
        rowmend.MisfitRecord(102, "n", "2.5"),
        rowmend.MisfitRecord(102, "w", "x"),
    )
    codes = [note.code for note in report.notes]
    assert "type-prefix" in codes and "type-widened-later" in codes


def test_dtypes_naming_a_missing_column_says_which_columns_there_are():
    with pytest.raises(ValueError, match=r"dtypes names 'amount', which the table does not have; its columns are 'i', 'x'"):
        rowmend.read_arrow(io.BytesIO(column_csv(["1"])), header=True, dtypes={"amount": "decimal"})


def test_line_numbers_stay_when_asked_and_go_when_not():
    cells = ["5"] * 199 + ["x"]
    assert read_x(cells).column_names == ["i", "x", "x_raw"]
    assert read_x(cells, line_numbers=True).column_names == ["i", "x", "x_raw", "_line"]


TYPED = b"id,amount,when\n" + b"".join(b"%d,%d.5,%02d/03/2024\n" % (i, i, i % 28 + 1) for i in range(100))


@pytest.mark.parametrize(
    "data, differences",
    [
        (TYPED, None),
        (TYPED.replace(b"\n42,42.5,", b"\n42,42.5x,"), None),  # one misfit in a hundred is no change of type
        (TYPED.replace(b".5,", b"x,"), "column 'amount' reads as string where the layout has decimal"),
        (TYPED.replace(b"/03/2024", b" March 2024"), "column 'when' reads as string where the layout has date-dmy"),
    ],
)
def test_a_layout_records_the_types_and_drift_names_a_changed_column(data, differences):
    layout = rowmend.detect(io.BytesIO(TYPED), dtypes="infer")
    assert layout.types == ("integer", "decimal", "date-dmy")
    assert rowmend.Layout.from_json(layout.to_json()) == layout
    if differences is None:
        assert rowmend.read_arrow(io.BytesIO(data), layout=layout).num_rows == 100
    else:
        with pytest.raises(rowmend.LayoutDriftError, match=differences):
            rowmend.read_arrow(io.BytesIO(data), layout=layout)


def test_a_layout_refuses_a_kind_it_does_not_know():
    with pytest.raises(ValueError, match=r"dtypes\['column 2'\] must be one of"):
        rowmend.Layout(encoding="utf-8", delimiter=",", columns=2, types=("integer", "float"))


def _typer_buffers(values):
    array = pa.array(values)
    return array.buffers()[1], array.buffers()[2], array.offset, len(array), False


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: t.add(b"\0" * 4, b"", 0, 1, False), ValueError, "offsets buffer is shorter"),
        (lambda t: t.add(b"\0\0\0\0\x09\0\0\0", b"abc", 0, 1, False), ValueError, "outside the data buffer"),
        (lambda t: t.add(b"\x05\0\0\0\x01\0\0\0", b"abcdef", 0, 1, False), ValueError, "outside the data buffer"),
        (lambda t: t.add(b"\0" * 8, b"", -1, 1, False), ValueError, "shorter than the array"),
        (lambda t: t.add(None, b"", 0, 0, False), TypeError, "bytes-like"),
        (lambda t: t.build(*_typer_buffers(["1"])), RuntimeError, "build\\(\\) before decide\\(\\)"),
        (lambda t: t.decide("string") and t.build(*_typer_buffers(["1"])), RuntimeError, "chose a typed kind"),
        (lambda t: t.decide("decimal") and t.build(*_typer_buffers(["1"]), 39, 0), ValueError, "precision is 1 to 38"),
        (lambda t: t.decide("float"), ValueError, "unknown column kind 'float'"),
    ],
)
def test_the_native_typer_refuses_what_it_cannot_read(call, error, message):
    from rowmend._native import ColumnTyper

    with pytest.raises(error, match=message):
        call(ColumnTyper())


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"null_values": ["x"] * 33}, "at most 32"),
        ({"decimal": ";"}, "decimal must be"),
        ({"thousands": "_"}, "thousands must be"),
        ({"null_values": [1]}, "must be str"),
    ],
)
def test_the_native_typer_checks_its_rules(kwargs, message):
    from rowmend._native import ColumnTyper

    with pytest.raises((TypeError, ValueError), match=message):
        ColumnTyper(**kwargs)


def test_the_command_line_types_parquet_with_per_column_kinds(tmp_path):
    import subprocess
    import sys

    (tmp_path / "in.csv").write_bytes(b"id;amount\n1;1,5\n2;NA\n")
    done = subprocess.run(
        [sys.executable, "-m", "rowmend", "clean", "in.csv", "-o", "out.parquet",
         "--dtypes", "id=string", "--null-values", "NA", "--decimal", ","],
        cwd=tmp_path, capture_output=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.schema.field("id").type == pa.string()
    assert table.column("amount").to_pylist() == [1.5, None]


class _Pipe(io.RawIOBase):
    """A file object read once, as a pipe is: it cannot seek."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)


def _rows(first, later):
    """Past the first batch of rows (the prefix types are decided from), 1,000 rows of another kind."""
    return b"n,w\n" + b"".join(b"%s,%d\n" % (first(i), i) for i in range(66000)) + b"".join(
        b"%s,%d\n" % (later(i), i) for i in range(66000, 67000)
    )


# (name, data, a file read again: (n's type, note codes), read once: (n's type, note codes, n_raw's misfits))
LATER_ROWS = [
    ("integers, then decimals", _rows(lambda i: b"%d" % i, lambda i: b"%d.5" % i),
     (pa.float64(), {"type-reread"}), (pa.int64(), {"type-prefix", "type-widened-later", "type-misfits"}, 1000)),
    ("integers, then more than the share of words", _rows(lambda i: b"%d" % i, lambda i: b"w%d" % i),
     (pa.string(), {"type-reread", "type-misfit-share"}),
     (pa.int64(), {"type-prefix", "type-widened-later", "type-misfits"}, 1000)),
    ("decimals, then more digits than a float holds", _rows(lambda i: b"%d.5" % i, lambda i: b"12345678901234.%d" % i),
     (pa.decimal128(19, 5), {"type-reread"}), (pa.float64(), {"type-prefix", "type-misfits"}, 1000)),
    ("one late misfit is no change of type", _rows(lambda i: b"%d" % i, lambda i: b"%d" % i if i != 66999 else b"8011-N"),
     # A Parquet file's columns are written with the first batch: n_raw needs a second read.
     (pa.int64(), {"type-misfits", "type-reread"}), (pa.int64(), {"type-prefix", "type-misfits"}, 1)),
]


@pytest.mark.parametrize("name, data, again, once", LATER_ROWS, ids=[row[0] for row in LATER_ROWS])
def test_later_rows_that_widen_a_type_read_a_file_again_and_a_pipe_keeps_its_prefix(tmp_path, name, data, again, once):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    strings = [line.split(b",")[0].decode() for line in data.splitlines()[1:]]
    for source, (arrow, codes, *misfits) in ((path, again), (_Pipe(data), once)):
        table = rowmend.read_arrow(source if source is path else _Pipe(data), dtypes="infer")
        report = rowmend.clean(source, tmp_path / "out.parquet", dtypes="infer")
        written = pq.read_table(tmp_path / "out.parquet")
        assert table.schema.field("n").type == written.schema.field("n").type == arrow
        assert table.num_rows == written.num_rows == 67000  # no row is ever dropped
        assert pq.ParquetFile(tmp_path / "out.parquet").num_row_groups > 1  # written batch by batch
        assert {note.code for note in report.notes if note.code.startswith("type-")} == codes
        # Every cell's text is somewhere: its value, the table's n_raw, or the report's records.
        kept = table.column("n_raw").to_pylist() if "n_raw" in table.column_names else [None] * 67000
        got = table.column("n").to_pylist()
        assert all(value is not None or raw == text for value, raw, text in zip(got, kept, strings))
        if misfits:
            assert report.misfits["n"] == misfits[0]
            recorded = {record.text for record in report.misfit_records if record.column == "n"}
            beside = set(written.column("n_raw").to_pylist()) - {None} if "n_raw" in written.column_names else set()
            assert recorded | beside == {text for value, text in zip(got, strings) if value is None}


def test_a_file_that_changes_between_its_reads_is_refused(tmp_path):
    from rowmend._typed_read import read_again

    path = tmp_path / "in.csv"
    path.write_bytes(b"n\n1\n")
    reopen = read_again(path)
    assert reopen is not None and reopen() == path
    path.write_bytes(b"n\n1\n2\n")
    with pytest.raises(ValueError, match="in.csv: the file changed while it was read"):
        reopen()
    assert read_again(_Pipe(b"")) is None


def test_decimals_read_as_the_nearest_double():
    import random

    rng = random.Random(5)
    cells = [
        f"{rng.randint(0, 10 ** rng.randint(0, 5))}.{rng.randint(0, 10 ** 10):0{rng.randint(10, 10)}d}"[: rng.randint(3, 17)]
        for _ in range(20000)
    ]
    cells = [cell.rstrip(".") or "0" for cell in cells]
    table = rowmend.read_arrow(io.BytesIO(("x\n" + "\n".join(cells) + "\n").encode()), dtypes="infer")
    assert table.schema.field("x").type == pa.float64()
    assert table.column("x").to_pylist() == [float(cell) for cell in cells]  # Python's float is correctly rounded
