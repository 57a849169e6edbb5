"""Structural detection: rows that are not part of the table are set aside and counted, and each rule can be
turned off or forced."""

import io

import pyarrow as pa
import pytest

import rowmend
from rowmend import cli
from rowmend.cli.arguments import reading_options


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


@pytest.mark.parametrize(
    "data, header, names, rows",
    [
        (b"id,amount\n1,2.5\n2,3\n", "auto", ["id", "amount"], 2),
        (b"1,2.5\n2,3\n", "auto", ["column_1", "column_2"], 2),
        (b"name,city\nana,rome\nbo,rome\n", "auto", ["name", "city"], 2),
        (b"ana,rome\nbo,rome\n", "auto", ["column_1", "column_2"], 2),
        (b"id,amount\n\n1,2.5\n", "auto", ["id", "amount"], 1),
        (b"1,2.5\n2,3\n", True, ["1", "2.5"], 1),
        (b"id,amount\n1,2.5\n", False, ["column_1", "column_2"], 2),
        (b"Sales,,Returns,\nQ1,Q2,Q1,Q2\n1,2,3,4\n", "auto", ["Sales Q1", "Sales Q2", "Returns Q1", "Returns Q2"], 1),
        (b"Meta,Meta\nid,amount\n1,2.5\n", True, ["Meta", "Meta_2"], 2),
    ],
    ids=[
        "names over numbers",
        "numbers",
        "all text",
        "a value recurs",
        "after a blank",
        "forced",
        "off",
        "rows of names joined",
        "forced: one row",
    ],
)
def test_header(data, header, names, rows):
    got_names, got, report = read(data, header=header)
    assert got_names == names
    assert len(got) == report.salvaged_rows == rows
    assert report.total_rows == rows + report.skipped_rows  # the header row counts in none


ROWS_BELOW = b"1,smith,2.5\n2,jones,3\n3,lee,4.25\n"
DAMAGED_NAMES = {
    # the names line: (names read, names with repairs='backend')
    "a delimiter inside a name": (
        b"id,last, first name,amount\n",
        ["id", "last, first name", "amount"],
        ["id", "last", " first name,amount"],
    ),
    "a stray quote opening a name": (b'id,"name,amount\n', ["id", "name", "amount"], None),
    "a stray quote inside a name": (b'id,na"me,amount\n', ["id", "name", "amount"], ["id", 'na"me', "amount"]),
    "a missing delimiter": (b"id name,amount\n", ["id", "name", "amount"], ["id name", "amount", "column_3"]),
    "two places for one delimiter": (b"id,a, b, c\n", ["id", "a", " b, c"], ["id", "a", " b, c"]),
    "a quoted name across lines": (
        b'id,name,"amo\nunt"\n',
        ["id", "name", "amo\nunt"],
        ["id", "name", "amo\nunt"],
    ),
    "a quoted name with a doubled quote": (
        b'id,"na ""me",amount\n',
        ["id", 'na "me', "amount"],
        ["id", 'na "me', "amount"],
    ),
}


@pytest.mark.parametrize("line, names, backend", DAMAGED_NAMES.values(), ids=DAMAGED_NAMES.keys())
def test_a_damaged_names_line_is_repaired_to_the_table_width(line, names, backend, tmp_path):
    got_names, rows, report = read(line + ROWS_BELOW)
    assert got_names == names
    assert rows == [["1", "smith", "2.5"], ["2", "jones", "3"], ["3", "lee", "4.25"]]
    assert report.header_rows + report.total_rows == 4
    repaired = [note for note in report.notes if note.code == "header-repaired"]
    assert len(repaired) == (names != backend)
    if repaired:
        assert line.decode().rstrip("\n") in repaired[0].message
        # The clean file names the columns as read, quoted where a name needs it.
        (tmp_path / "in.csv").write_bytes(line + ROWS_BELOW)
        rowmend.clean(str(tmp_path / "in.csv"), str(tmp_path / "out.csv"))
        assert rowmend.read_arrow(str(tmp_path / "out.csv")).column_names == names
    got_names, _, report = read(line + ROWS_BELOW, repairs="backend")
    assert all(note.code != "header-repaired" for note in report.notes)
    if backend is not None:
        assert got_names == backend


def test_header_is_the_default_and_a_command_line_choice():
    spec = next(spec for spec in rowmend._options.OPTIONS if spec.name == "header")
    assert spec.default == "auto" and ("auto", "auto") in spec.choices
    with pytest.raises(TypeError, match="header must be"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), header="maybe")


@pytest.mark.parametrize(
    "data, options, names, rows, skipped",
    [
        (b"# exported\n# by x\nid,n\n1,2\n", {}, ["id", "n"], [["1", "2"]], {"comment": 2}),
        (b"#id,n\nid,n\n1,2\n", {}, ["id", "n"], [["1", "2"]], {"comment": 1}),
        (b"id,n\n1,2\n# a note\n3,4\n", {}, ["id", "n"], [["1", "2"], ["3", "4"]], {"comment": 1}),
        (b"id,n\n1,2\n#3,4\n", {}, ["id", "n"], [["1", "2"], ["#3", "4"]], {}),
        (b"id,n\n1,2\n;3,4\n; x\n", {"comment": ";"}, ["id", "n"], [["1", "2"]], {"comment": 2}),
        (
            b"id,n\n1,2\n# a note\n3,4\n",
            {"comment": None},
            ["id", "n"],
            [["1", "2"], ["# a note", ""], ["3", "4"]],
            {},
        ),
        (b"# t\n\nid,n\n1,2\n", {}, ["id", "n"], [["1", "2"]], {"comment": 1, "blank": 1}),
    ],
    ids=["before the table", "before, of its width", "another width", "its width: data", "forced", "off", "and blank"],
)
def test_comment_lines(data, options, names, rows, skipped):
    got_names, got, report = read(data, header="auto", **options)
    assert (got_names, got) == (names, rows)
    assert nonzero(report.skipped) == skipped


@pytest.mark.parametrize("comment", ["", "#\n"])
def test_comment_must_be_a_prefix_on_one_line(comment):
    with pytest.raises(ValueError, match="comment must be"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), comment=comment)


TABLE = b"id,name,amount\n1,ana,2.5\n2,bo,3\n3,cy,4\n"


@pytest.mark.parametrize(
    "data, options, names, rows, skipped",
    [
        (b"Sales report\nexported: 2024-01-31\n\n" + TABLE, {}, ["id", "name", "amount"], 3, {"preamble": 2, "blank": 1}),
        (b"# by x\nSales\n" + TABLE, {}, ["id", "name", "amount"], 3, {"comment": 1, "preamble": 1}),
        (TABLE, {}, ["id", "name", "amount"], 3, {}),
        (b"x,y,z\nSales\n" + TABLE, {"skip_preamble": 2}, ["id", "name", "amount"], 3, {"preamble": 2}),
        (b"Sales report\n" + TABLE, {"skip_preamble": 0}, ["Sales report", "column_2", "column_3"], 4, {}),
    ],
    ids=["title, metadata and blank", "comment and title", "none", "a given count", "off"],
)
def test_preamble(data, options, names, rows, skipped):
    got_names, got, report = read(data, **options)
    assert (got_names, len(got)) == (names, rows)
    assert nonzero(report.skipped) == skipped


def test_preamble_option_and_flag():
    with pytest.raises(ValueError, match="skip_preamble must be at least 0"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), skip_preamble=-1)
    with pytest.raises(TypeError, match="skip_preamble must be"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), skip_preamble="some")
    parser = cli.build_parser()
    for word, value in [("auto", "auto"), ("3", 3)]:
        args = parser.parse_args(["clean", "in.csv", "--skip-preamble", word, "--comment", ";"])
        assert reading_options(args) == {"skip_preamble": value, "comment": ";"}
    assert reading_options(parser.parse_args(["clean", "in.csv", "--no-comment"])) == {"comment": None}


@pytest.mark.parametrize(
    "data, options, rows, skipped",
    [
        (TABLE + b"\nTotal,9.5\n", {"skip_footer": "auto"}, 3, {"blank": 1, "footer": 1}),
        (TABLE + b"Total,9.5\n4,dy,1\n", {"skip_footer": "auto"}, 5, {}),
        (TABLE + b"Total,7\n", {}, 4, {}),
        # Placed under its columns, a short row of column sums is a totals row.
        (TABLE + b"Total,9.5\n", {}, 3, {"footer": 1}),
        (TABLE + b"\nReturns\nid,why\n7,late\n8,torn\n", {}, 3, {"blank": 1, "section": 4}),
        (TABLE + b"\nReturns\nid,why\n\n4,dy,1\n", {}, 6, {"blank": 2}),
        (TABLE + b"\nid,why\n7,late\n", {"skip_footer": False}, 5, {"blank": 1}),
        (TABLE + b"\nid,why,x,y\n7,late,1,2\n", {"skip_footer": "section"}, 3, {"blank": 1, "section": 2}),
        (TABLE + b"\ncode,who,qty\n7,x,1\n8,y,2\n", {}, 3, {"blank": 1, "section": 3}),
        (TABLE + b"\nid,name,amount\n4,dy,1\n", {}, 5, {"blank": 1}),
        (TABLE + b"\ncode,who,qty\n7,x,1\n", {"header": False}, 6, {"blank": 1}),
        (TABLE + b"End of report\n(3 rows affected)\n", {}, 3, {"footer": 2}),
        (TABLE + b"4,dy\n", {}, 4, {}),
        (TABLE + b"End of report\n", {"skip_footer": False}, 4, {}),
        (TABLE + b"Total,9.5\n", {"skip_footer": "auto"}, 3, {"footer": 1}),
        (TABLE + b"4,dy", {"skip_footer": "auto"}, 4, {}),
    ],
    ids=[
        "after a blank",
        "followed by the table",
        "narrow rows kept by default",
        "a short totals row, its sum under its column",
        "a second table after a blank line",
        "a section followed by the table",
        "sections off",
        "wider rows",
        "a second table as wide, under its own names",
        "the header again: the table goes on",
        "no header, no second table",
        "words where the table has values",
        "a row cut short is no footer",
        "footers off",
        "auto: any narrow trailing row",
        "auto: but not a last row cut short",
    ],
)
def test_footer(data, options, rows, skipped):
    _, got, report = read(data, **options)
    assert len(got) == report.salvaged_rows == rows
    assert nonzero(report.skipped) == skipped


@pytest.mark.parametrize(
    "data, count, rows, skipped",
    [
        (TABLE + b"Total,9.5\n", 1, 3, {"footer": 1}),
        (TABLE + b"\nTotal,9.5\n", 2, 3, {"blank": 1, "footer": 1}),
        (TABLE + b"# end\nTotal,9.5\n", 2, 3, {"comment": 1, "footer": 1}),
        (TABLE, 2, 1, {"footer": 2}),
        (TABLE, 4, 0, {"footer": 4}),
        (TABLE, 40, 0, {"footer": 4}),
        (TABLE + b"Total,9.5\n", 0, 4, {}),
        (b"x,y\n" + b"".join(b"%d,%d\n" % (i, i) for i in range(200)), 150, 50, {"footer": 150}),
        (TABLE + b'4,"two\nlines",5\nTotal\n', 2, 3, {"footer": 2}),
    ],
    ids=["one", "a blank line counts", "a comment counts", "data rows", "the header too", "more than there are",
         "none", "many, held and let go in turn", "a row over two lines is one"],
)
def test_footer_count_sets_aside_the_last_rows(data, count, rows, skipped):
    _, got, report = read(data, skip_footer=count)
    assert len(got) == rows
    assert nonzero(report.skipped) == skipped


def test_footer_count_across_windows_keeps_order_and_lines(tmp_path):
    # Far more than one window of input, so the held rows cross window ends;
    # a stray quote makes every tenth row one the pass repairs.
    lines = [b"id,text"] + [b'%d,"v %d, %s"%s' % (i, i, b"x" * (i % 50), b'"' * (i % 10 == 0)) for i in range(120_000)]
    path = tmp_path / "long.csv"
    path.write_bytes(b"\n".join(lines) + b"\n")
    whole = rowmend.read_arrow(path, skip_footer=0, line_numbers=True)
    assert whole.num_rows > 100_000
    for count in (1, 7, 5000):
        stream = rowmend.stream(path, skip_footer=count, record_repairs=True, max_records=10**6, line_numbers=True)
        assert pa.table(stream).equals(whole.slice(0, whole.num_rows - count))
        footer = [record.line for record in stream.report.repairs if record.action == "footer"]
        assert footer == whole.column("_line").to_pylist()[-count:]


def rows_of(*lines):
    return "".join(line + "\n" for line in lines).encode()


DIALECTS = [
    # (data, options, separator in the report, quote, escape, rows)
    (rows_of("a;b", "1;2,5", "2;3,75"), {}, ";", '"', None, [["1", "2,5"], ["2", "3,75"]]),
    (rows_of("a:b", "x:1", "y:2"), {}, ":", '"', None, [["x", "1"], ["y", "2"]]),
    (rows_of("a^b", "x^1", "y^2"), {}, "^", '"', None, [["x", "1"], ["y", "2"]]),
    (rows_of("a~b", "x~1", "y~2"), {}, "~", '"', None, [["x", "1"], ["y", "2"]]),
    (rows_of("a b", "x 1", "y 2"), {}, " ", '"', None, [["x", "1"], ["y", "2"]]),
    (rows_of("a, b", '"x, y", 1', "z, 2"), {}, ", ", '"', None, [["x, y", "1"], ["z", "2"]]),
    (rows_of("a; b", "x y; 1", "z; 2"), {}, "; ", '"', None, [["x y", "1"], ["z", "2"]]),
    (rows_of("a,b", "'x,y',1", "'z',2"), {}, ",", "'", None, [["x,y", "1"], ["z", "2"]]),
    (rows_of("a,b", '"say \\"hi\\", ok",1', "x\\,y,2"), {}, ",", '"', "\\", [['say "hi", ok', "1"], ["x,y", "2"]]),
    # Every rule gives way to a given value.
    (rows_of("a;b", "1;2,5", "2;3,75"), {"delimiter": ","}, ",", '"', None, [["1;2", "5"], ["2;3", "75"]]),
    (rows_of("a, b", "x, 1"), {"delimiter": ","}, ",", '"', None, [["x", " 1"]]),
    (rows_of("a,b", "x, 1"), {"delimiter": ", "}, ", ", '"', None, [["x", "1"]]),
    (rows_of("a,b", "'x,y',1", "'z',2"), {"quote_char": '"'}, ",", '"', None, [["'x", "y',1"], ["'z'", "2"]]),
    (rows_of("a,b", "x\\,y,2", "z,3"), {"escape_char": None}, ",", '"', None, [["x\\", "y,2"], ["z", "3"]]),
    (rows_of("a,b", "x|y,2", "z,3"), {"escape_char": "|"}, ",", '"', "|", [["xy", "2"], ["z", "3"]]),
]


@pytest.mark.parametrize(
    "data, options, separator, quote, escape, rows",
    DIALECTS,
    ids=[
        "decimal commas",
        "colon",
        "caret",
        "tilde",
        "space",
        "comma and blank",
        "semicolon and blank",
        "apostrophe quotes",
        "backslash escapes",
        "given delimiter",
        "given comma keeps the blank",
        "given comma and blank",
        "given quote",
        "no escape",
        "given escape",
    ],
)
def test_dialects(data, options, separator, quote, escape, rows):
    names, got, report = read(data, **options)
    assert got == rows
    assert report.delimiter == separator
    layout = rowmend.detect(io.BytesIO(data), **options)
    assert (layout.delimiter, layout.quote_char, layout.escape_char) == (separator, quote, escape)
    assert rowmend.Layout.from_json(layout.to_json()) == layout


def test_quote_given_with_two_rows_infers_their_width():
    names, rows, _ = read(b"a,b\n'x,y',z\n", quote_char="'")
    assert (names, rows) == (["a", "b"], [["x,y", "z"]])


def test_a_saved_layout_applies_its_dialect():
    layout = rowmend.detect(io.BytesIO(rows_of("a, b", "x\\, y, 1")))
    assert (layout.delimiter, layout.escape_char) == (", ", "\\")
    # A file of the same export without an escape in its first rows still reads in the saved dialect.
    _, rows, _ = read(rows_of("a, b", "p, 1", "q\\, r, 2"), **layout.options())
    assert rows == [["p", "1"], ["q, r", "2"]]


def test_dialect_options_on_the_command_line(tmp_path):
    (tmp_path / "e.csv").write_bytes(rows_of("a,b", "x|,y,1"))
    assert cli.main(["clean", str(tmp_path / "e.csv"), "-o", str(tmp_path / "out.csv"), "--escape-char", "|"]) == 0
    assert (tmp_path / "out.csv").read_bytes() == b'a,b\n"x,y",1\n'


QUOTES_AS_TEXT = {
    "a quote opening a field": b'a,b,c\n1,"x,2\n"q",5,6\n',
    "quotes inside and doubled": b'a,b\nsay "hi",x""y\n"",""""\n',
    "a quoted line break": b'a,b\n"one\ntwo",3\n',
    "apostrophes": b"a,b\n'x,y',z\n",
    "quotes in every row, past a window": b"id,v\n" + b"".join(b'%d,"%d\n' % (i, i) for i in range(300_000)),
}


@pytest.mark.parametrize("data", QUOTES_AS_TEXT.values(), ids=QUOTES_AS_TEXT.keys())
def test_quoting_off_reads_quotes_as_text_and_writes_them_quoted(tmp_path, data):
    import csv

    source, clean_file = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(data)
    as_read = list(csv.reader(io.StringIO(data.decode(), newline=""), quoting=csv.QUOTE_NONE))
    report = rowmend.clean(source, clean_file, quote_char="none", expected_columns=0, header=False,
                           skip_blank_rows=False, comment="none", skip_preamble=0, skip_footer=0)
    # The clean file quotes what holds a quote, so any CSV reader gets the text back.
    with open(clean_file, newline="") as written:
        assert list(csv.reader(written)) == as_read
    assert report.quarantined_rows == report.repaired_rows == 0
    assert rowmend.detect(source, quote_char="none").quote_char == "none"
