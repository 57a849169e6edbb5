"""Layouts: detected from an input's start, kept as JSON, applied instead of detecting, and checked for drift."""

import codecs
import dataclasses
import gzip
import io
import json
import os
import pathlib
import subprocess
import sys
import warnings

import pyarrow as pa
import pytest

import rowmend
from rowmend import Layout, LayoutDriftError, LayoutDriftWarning

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*.csv") if p.is_file())[::8]


class Pipe:
    """A binary input that cannot seek: only ``read``."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self.taken = 0

    def read(self, size=-1):
        chunk = self._data.read(size)
        self.taken += len(chunk)
        return chunk


def table_and_report(source, **options):
    stream = rowmend.stream(source, **options)
    return pa.table(stream), stream.report


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_detect_settles_what_a_whole_read_settles(path):
    try:
        layout = rowmend.detect(path)
    except ValueError as error:
        assert "holds no row" in str(error) and table_and_report(path)[1].columns == 0
        return
    table, report = table_and_report(path)
    # Arrow's C interface passes column names as C strings: a NUL ends them.
    names = [name.split("\x00")[0] for name in layout.names]
    assert (layout.delimiter, layout.columns, names) == (report.delimiter, report.columns, table.column_names)
    assert report.encoding in (layout.encoding, "utf-8+cp1252")
    assert Layout.from_json(layout.to_json()) == layout


# (case, input, options, encoding, delimiter, columns, names)
DETECTED = [
    ("semicolons", b"id;name\n1;a\n2;b\n", {}, "utf-8", ";", 2, ("id", "name")),
    ("tabs, no header", b"1\tx\n2\ty\n", {"header": False}, "utf-8", "\t", 2, ("column_1", "column_2")),
    ("cp1252", "n,ville\n1,Orl\u00e9ans\n".encode("cp1252"), {}, "cp1252", ",", 2, ("n", "ville")),
    ("utf-16 with its mark", codecs.BOM_UTF16_LE + "a|b\n1|2\n".encode("utf-16-le"), {}, "utf-16-le", "|", 2,
     ("a", "b")),
    ("gzip", gzip.compress(b"a,b,c\n1,2,3\n", mtime=0), {}, "utf-8", ",", 3, ("a", "b", "c")),
    ("empty and repeated names", b"id,,id\n1,2,3\n", {"header": True}, "utf-8", ",", 3, ("id", "column_2", "id_2")),
    ("delimiter given", b"a;b,c\n1;2,3\n", {"delimiter": ","}, "utf-8", ",", 2, ("a;b", "c")),
]


@pytest.mark.parametrize("data, options, encoding, delimiter, columns, names", [c[1:] for c in DETECTED],
                         ids=[c[0] for c in DETECTED])
def test_detect(data, options, encoding, delimiter, columns, names):
    layout = rowmend.detect(io.BytesIO(data), **options)
    assert (layout.encoding, layout.delimiter, layout.columns, layout.names) == (encoding, delimiter, columns, names)
    assert layout.header == options.get("header", True) and layout.quote_char == '"'


def test_detect_reads_a_bounded_prefix_only():
    data = b"id,name,amount\n" + b"".join(b"%d,name %d,%d.5\n" % (i, i, i) for i in range(1_000_000))
    pipe = Pipe(data)
    assert rowmend.detect(pipe).columns == 3
    assert pipe.taken < 4 << 20 < len(data)
    with pytest.raises(ValueError, match="<BytesIO>: holds no row"):
        rowmend.detect(io.BytesIO(b""))


SAVED = Layout(encoding="utf-8", delimiter=",", columns=3, names=("id", "name", "city"))


def test_json_round_trip_and_defaults():
    assert Layout.from_json(SAVED.to_json()) == SAVED == Layout.from_dict(json.loads(json.dumps(SAVED.to_dict())))
    assert json.loads(SAVED.to_json())["version"] == rowmend._layout.LAYOUT_VERSION
    bare = Layout.from_json('{"version": 1, "encoding": "Latin-1", "delimiter": ";", "columns": 2}')
    assert (bare.quote_char, bare.header, bare.names, bare.encoding, bare.preamble) == ('"', True, None, "iso8859-1", None)
    found = rowmend.detect(io.BytesIO(b"Sales export\n\nid,name\n1,a\n"))
    assert (found.preamble, found.options()["skip_preamble"]) == (2, 2)
    assert dataclasses.replace(found, preamble=0).differences(found) == ["a preamble of 2 lines where the layout has 0"]
    assert dataclasses.replace(found, preamble=None).differences(found) == []


# (case, JSON text, what the error says)
UNREADABLE = [
    ("newer version", {"version": 6, "encoding": "utf-8", "delimiter": ",", "columns": 1}, "newer than this rowmend"),
    ("negative preamble", {"version": 3, "encoding": "utf-8", "delimiter": ",", "columns": 1, "preamble": -1},
     "at least 0"),
    ("unknown field", {"version": 2, "encoding": "utf-8", "delimiter": ",", "columns": 1, "comment_char": "#"},
     "unknown layout field(s) 'comment_char'"),
    ("missing field", {"version": 1, "encoding": "utf-8", "columns": 1}, "lacks the field(s) 'delimiter'"),
    ("no version", {"encoding": "utf-8", "delimiter": ",", "columns": 1}, "'version'"),
    ("version as text", {"version": "1", "encoding": "utf-8", "delimiter": ",", "columns": 1}, "version must be"),
    ("no columns", {"version": 1, "encoding": "utf-8", "delimiter": ",", "columns": 0}, "at least 1"),
    ("names of another width", {"version": 1, "encoding": "utf-8", "delimiter": ",", "columns": 2, "names": ["a"]},
     "1 names for 2 columns"),
    ("two-character delimiter", {"version": 1, "encoding": "utf-8", "delimiter": ";;", "columns": 1},
     "one character"),
    ("unknown encoding", {"version": 1, "encoding": "klingon", "delimiter": ",", "columns": 1}, "klingon"),
    ("a list", [1], "a JSON object"),
    ("not JSON", "{version", "not JSON"),
]


@pytest.mark.parametrize("text, message", [c[1:] for c in UNREADABLE], ids=[c[0] for c in UNREADABLE])
def test_unreadable_layouts_are_refused_naming_the_cause(tmp_path, text, message):
    text = text if isinstance(text, str) else json.dumps(text)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Layout.from_json(text)
    path = tmp_path / "saved.json"
    path.write_text(text)
    with pytest.raises(ValueError, match=f"{path}: not a rowmend layout"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), layout=path)


# (case, input, layout): the layout read the same as the options it fixes
APPLIED = [
    ("detected elsewhere", b"id;name\n1;a\n2;b;c\n", Layout(encoding="utf-8", delimiter=";", columns=2)),
    ("header off", b"id,name,city\n1,a,b\n", Layout(encoding="utf-8", delimiter=",", columns=3, header=False)),
    ("quote character", b"a,b\n'x,y',z\n1,2\n", Layout(encoding="utf-8", delimiter=",", columns=2, quote_char="'")),
    ("cp1252", "a,b\n\u00e9,\u20ac\n".encode("cp1252"), Layout(encoding="cp1252", delimiter=",", columns=2)),
    ("preamble", b"Export\n2024-01-31,x,y\na,b\n1,2\n", Layout(encoding="utf-8", delimiter=",", columns=2, preamble=2)),
]


@pytest.mark.parametrize("data, layout", [c[1:] for c in APPLIED], ids=[c[0] for c in APPLIED])
def test_a_layout_reads_as_the_options_it_fixes(tmp_path, data, layout):
    expected = rowmend.read_arrow(io.BytesIO(data), **layout.options())
    assert rowmend.read_arrow(io.BytesIO(data), layout=layout) == expected
    saved = tmp_path / "layout.json"
    saved.write_text(layout.to_json())
    assert rowmend.read_arrow(io.BytesIO(data), layout=str(saved)) == expected
    assert rowmend.read_polars(Pipe(data), layout=saved).to_arrow().column_names == expected.column_names
    report = rowmend.clean(io.BytesIO(data), tmp_path / "out.csv", layout=layout)
    assert (report.delimiter, report.columns) == (layout.delimiter, layout.columns)


def test_the_input_a_drift_check_reads_is_read_again():
    data = b"id,name,city\n" + b"".join(b"%d,n%d,c\n" % (i, i) for i in range(300_000))
    table = rowmend.read_arrow(Pipe(data), layout=SAVED)
    assert table == rowmend.read_arrow(io.BytesIO(data)) and table.num_rows == 300_000


# (case, input, what the drift error says after the file's name)
DRIFTS = [
    ("encoding", "id,name,city\n1,Jos\u00e9,Orl\u00e9ans\n".encode("cp1252"), "encoding cp1252 where the layout has utf-8"),
    ("delimiter", b"id;name;city\n1;a;b\n", "delimiter ';' where the layout has ','"),
    ("columns", b"id,name,city,zip\n1,a,b,c\n", "4 columns where it has 3"),
    ("names", b"id,nom,city\n1,a,b\n", "column 2 is 'nom' where the layout has 'name'"),
    ("delimiter and columns", b"id;name\n1;a\n", "delimiter ';' where the layout has ','; 2 columns where it has 3"),
    ("trailing delimiter", b"id,name,city,\n1,a,b,\n2,c,d,\n", "a delimiter ends every line where the layout has none"),
]


@pytest.mark.parametrize("data, difference", [c[1:] for c in DRIFTS], ids=[c[0] for c in DRIFTS])
def test_drift_errors_warns_or_is_ignored(tmp_path, data, difference):
    path = tmp_path / "export.csv"
    path.write_bytes(data)
    with pytest.raises(LayoutDriftError) as raised:
        rowmend.read_arrow(path, layout=SAVED)
    assert str(raised.value) == f"{path}: {difference}" and raised.value.filename == str(path)
    with pytest.raises(LayoutDriftError):
        rowmend.clean(path, tmp_path / "out.csv", layout=SAVED, on_drift="error")
    assert not (tmp_path / "out.csv").exists()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ignored = rowmend.read_arrow(path, layout=SAVED, on_drift="ignore")
    assert ignored.num_columns == SAVED.columns
    with pytest.warns(LayoutDriftWarning, match=difference):
        assert rowmend.read_arrow(path, layout=SAVED, on_drift="warn") == ignored


@pytest.mark.parametrize("data, layout", [
    (b"id,name,city\n1,a,b\n", SAVED),
    (b"id,name,city\n1,a,b\n", Layout(encoding="cp1252", delimiter=",", columns=3)),  # ASCII reads alike
    (b"x\n1\n", Layout(encoding="utf-8", delimiter=";", columns=1, header=True)),  # one column has no delimiter
])
def test_no_drift(data, layout):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rowmend.read_arrow(io.BytesIO(data), layout=layout, on_drift="warn")


@pytest.mark.parametrize("option, value", [
    ("delimiter", ";"), ("encoding", "latin-1"), ("encoding", "auto"), ("header", False), ("expected_columns", 4),
    ("quote_char", "'"),
])
def test_options_contradicting_the_layout_are_refused(option, value):
    with pytest.raises(ValueError, match=f"{option}={value!r} contradicts the layout"):
        rowmend.read_arrow(io.BytesIO(b"id,name,city\n"), layout=SAVED, **{option: value})
    agreeing = {"delimiter": ",", "encoding": "UTF8", "header": True, "expected_columns": 3, "quote_char": '"'}
    rowmend.read_arrow(io.BytesIO(b"id,name,city\n"), layout=SAVED, **agreeing)
    with pytest.raises(TypeError, match="layout must be"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), layout=3)
    with pytest.raises(ValueError, match="on_drift must be"):
        rowmend.read_arrow(io.BytesIO(b"a\n"), layout=SAVED, on_drift="stop")


def rowmend_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "rowmend", *map(str, args)], cwd=cwd, capture_output=True,
                          timeout=120)


def test_command_line_saves_applies_and_checks_a_layout(tmp_path):
    (tmp_path / "monday.csv").write_bytes(b"id;name;city\n1;Ana;Oslo\n")
    (tmp_path / "tuesday.csv").write_bytes(b"id;name;city\n2;Bo;Rome;x\n3;Cy;Lima\n4;Di;Kyiv\n")
    (tmp_path / "wednesday.csv").write_bytes(b"id,name,city\n3,Cy,Lima\n")
    saved = rowmend_cli("sniff", "monday.csv", "--save-layout", "layout.json", cwd=tmp_path)
    assert saved.returncode == 0 and rowmend.detect(tmp_path / "monday.csv") == rowmend._layout.read_layout(
        tmp_path / "layout.json")
    applied = rowmend_cli("clean", "tuesday.csv", "--layout", "layout.json", "-o", "out.csv", cwd=tmp_path)
    assert (applied.returncode, applied.stderr) == (0, b"")
    assert (tmp_path / "out.csv").read_bytes() == b'id;name;city\n2;Bo;"Rome;x"\n3;Cy;Lima\n4;Di;Kyiv\n'
    # (arguments, exit status, standard error)
    for arguments, status, stderr in [
        (["clean", "wednesday.csv", "--layout", "layout.json", "-o", "o.csv"], 1,
         "rowmend: error: wednesday.csv: delimiter ',' where the layout has ';'\n"),
        (["inspect", "wednesday.csv", "--layout", "layout.json"], 1,
         "rowmend: error: wednesday.csv: delimiter ',' where the layout has ';'\n"),
        (["clean", "wednesday.csv", "--layout", "layout.json", "-o", "o.csv", "--on-drift", "warn"], 0,
         "rowmend: warning: wednesday.csv: delimiter ',' where the layout has ';'\n"),
        (["clean", "wednesday.csv", "--layout", "missing.json", "-o", "o.csv"], 3, "missing.json"),
        (["clean", "wednesday.csv", "--layout", "monday.csv", "-o", "o.csv"], 2, "monday.csv: not a rowmend layout"),
        (["clean", "tuesday.csv", "--layout", "layout.json", "--delimiter", ","], 2, "contradicts the layout"),
        (["sniff", "monday.csv", "tuesday.csv", "--save-layout", "two.json"], 2, "one input, not of 2"),
    ]:
        result = rowmend_cli(*arguments, cwd=tmp_path)
        assert result.returncode == status, (arguments, result.stderr)
        assert stderr in result.stderr.decode() and len(result.stderr.decode().splitlines()) == 1, arguments
    assert not os.path.exists(tmp_path / "two.json")


@pytest.mark.parametrize(
    "data, several",
    [
        (b"id,n,v\n1,a,2.5\n2,b,3\nsku,qty,price,day\nA1,3,2.5,x\nA2,4,2,y\nA3,5,1,z\n", True),  # stacked
        (b"id,n,v\n1,a,2.5\n2,b,3\n3,c,4\ncode,city\nX,rome\nY,oslo\n", True),  # a later table, narrower
        (b"id,n,v\n1,a,2.5\n2,b,3,4\n3,c,4\n", False),  # a long row is the table's
    ],
)
def test_detect_says_when_an_input_holds_several_tables(data, several, recwarn):
    layout = rowmend.detect(io.BytesIO(data))
    assert (layout.columns, layout.names) == (3, ("id", "n", "v"))
    warned = [str(w.message) for w in recwarn if issubclass(w.category, rowmend.RowmendWarning)]
    assert warned == (["<BytesIO>: holds several tables; the layout is the first's (3 columns), "
                       "and reading it sets the later ones aside"] if several else [])


@pytest.mark.parametrize("data", [
    b"id,name,amount,\n7,cy,4,\n8,di,5,\n",
    b"id,name,amount\n7,cy,4\n8,di,5\n",  # the next export without it reads as itself
    # a value there far down: a long row, as without a layout
    b"id,name,amount,\n" + b"7,cy,4,\n" * 2000 + b"8,di,5,x\n",
])
def test_a_layout_saved_from_lines_ending_in_a_delimiter_drops_that_column_again(tmp_path, data):
    saved = rowmend.detect(io.BytesIO(b"id,name,amount,\n1,ana,2.5,\n2,bo,3,\n"))
    assert (saved.columns, saved.trailing_delimiter) == (3, True)
    assert Layout.from_json(saved.to_json()) == saved
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        table = rowmend.read_arrow(io.BytesIO(data), layout=saved)
    assert table == rowmend.read_arrow(io.BytesIO(data))
    assert table.column_names == ["id", "name", "amount"] and table.column("amount").to_pylist()[0] == "4"
    old = Layout.from_dict({**saved.to_dict(), "version": 4, "trailing_delimiter": False})
    assert old.differences(rowmend.detect(io.BytesIO(data))) == []  # an older layout never said
