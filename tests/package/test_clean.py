"""rowmend.clean: the engine's clean file for any encoding and format, outputs
that appear only when complete, the quarantine's original text, and native
decoding that agrees with Python's codecs."""

import io
import os
import random

import pyarrow.parquet as pq
import pytest

import _rowmend_backend as backend
import rowmend

INPUTS = {
    "ragged": b"a,b,c\n1,2\n3,4,5,6\n\"q\"\"x\",y,z\n",
    "stray quotes": b'id,text\n1,"say "hi" now"\n2,"ok"\n',
    "semicolons": b"a;b;c\n1;2;3\n4;5\n",
    "bom and crlf": b"\xef\xbb\xbfx,y\r\n1,2\r\n3\r\n",
    "invalid utf-8": b"a,b\n\xff,\xc3\n",
    "empty": b"",
}


@pytest.mark.parametrize("data", INPUTS.values(), ids=INPUTS.keys())
@pytest.mark.parametrize("options", [{}, {"fill_ragged_rows": False, "merge_overflow": False}])
def test_csv_is_the_engines_clean_file(tmp_path, data, options):
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    backend.salvage_file(str(source), str(tmp_path / "want.csv"), **options)
    report = rowmend.clean(source, tmp_path / "got.csv", encoding="utf-8", **options)
    assert (tmp_path / "got.csv").read_bytes() == (tmp_path / "want.csv").read_bytes()
    assert report.total_rows == report.salvaged_rows + report.quarantined_rows


@pytest.mark.parametrize("encoding", ["cp1252", "latin-1", "utf-16-le", "utf-16-be", "utf-16"])
def test_other_encodings_give_what_their_utf8_gives(tmp_path, encoding):
    text = "name;note\nZoë;“quoted” – ok\nJosé;naïve;extra\n"
    if encoding == "latin-1":
        text = text.replace("“", '"').replace("”", '"').replace("–", "-")
    (tmp_path / "in.csv").write_bytes(text.encode(encoding))
    (tmp_path / "utf8.csv").write_bytes(text.encode("utf-8"))
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "a.csv")
    rowmend.clean(tmp_path / "utf8.csv", tmp_path / "b.csv")
    assert (tmp_path / "a.csv").read_bytes() == (tmp_path / "b.csv").read_bytes()
    assert report.replaced_bytes == 0


def test_output_delimiter_and_parquet_hold_the_same_rows(tmp_path):
    data = b"a,b,c\n1,\"x;y\",3\n4,5\n"
    (tmp_path / "in.csv").write_bytes(data)
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", output_delimiter=";")
    assert (tmp_path / "out.csv").read_bytes() == b'a;b;c\n1;"x;y";3\n4;5;\n'
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.parquet")
    assert pq.read_table(tmp_path / "out.parquet").equals(rowmend.read_arrow(tmp_path / "in.csv"))


def test_quarantine_keeps_every_row_as_it_was(tmp_path):
    # Short rows between full ones; the second keeps its doubled quotes, which
    # joining its parsed fields again would lose.
    rows = ["a,b,c"] + [f'{i},"say ""hi"""' if i == 1 else f"{i},x" for i in range(7)] + ["1,2,3"]
    (tmp_path / "in.csv").write_bytes(("\n".join(rows) + "\n").encode())
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", quarantine=tmp_path / "q.csv",
                           fill_ragged_rows=False, expected_columns=3, max_records=2)
    lines = (tmp_path / "q.csv").read_bytes().splitlines()
    assert lines[0] == b"line,reason,raw_content"
    assert len(lines) - 1 == report.quarantined_rows == 7
    assert lines[2] == b'3,"too few fields: 2 found, 3 expected","1,""say """"hi"""""""'
    assert [r.line for r in report.quarantine] == [2, 3]
    assert report.quarantine[1].raw == '1,"say ""hi"""'


class Breaks(io.RawIOBase):
    """A source that fails part way through."""

    def __init__(self, error):
        self.error, self.sent = error, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.sent > 3 << 20:
            raise self.error
        buffer[: len(buffer)] = b"x,y\n" * (len(buffer) // 4) + b"\n" * (len(buffer) % 4)
        self.sent += len(buffer)
        return len(buffer)


@pytest.mark.parametrize("error", [OSError(5, "Input/output error"), KeyboardInterrupt()])
def test_a_failed_run_leaves_no_output(tmp_path, error):
    (tmp_path / "out.csv").write_bytes(b"previous")
    with pytest.raises(type(error)):
        rowmend.clean(io.BufferedReader(Breaks(error)), tmp_path / "out.csv", quarantine=tmp_path / "q.csv")
    assert sorted(os.listdir(tmp_path)) == ["out.csv"]
    assert (tmp_path / "out.csv").read_bytes() == b"previous"


def test_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        rowmend.clean(tmp_path / "missing.csv", tmp_path / "out.csv")
    assert missing.value.filename == str(tmp_path / "missing.csv")
    (tmp_path / "in.csv").write_bytes(b"a\n")
    with pytest.raises(FileNotFoundError) as no_dir:
        rowmend.clean(tmp_path / "in.csv", tmp_path / "nowhere" / "out.csv")
    assert no_dir.value.filename == str(tmp_path / "nowhere" / "out.csv")
    for bad, kind in [({"format": "xlsx"}, ValueError), ({"output_delimiter": "§"}, ValueError),
                      ({"format": "parquet", "output_delimiter": ";"}, ValueError),
                      ({"line_numbers": True}, ValueError)]:
        with pytest.raises(kind):
            rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", **bad)
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]


@pytest.mark.filterwarnings("ignore::rowmend.RowmendWarning")  # random bytes read as UTF-16 are doubted
@pytest.mark.parametrize("encoding", ["latin-1", "cp1252", "utf-16-le", "utf-16-be", "utf-8"])
def test_native_decoding_agrees_with_python(encoding):
    # Random bytes, lone surrogates and odd lengths included: the engine's
    # decoder must give what Python's codec gives, replacements counted alike.
    rng = random.Random(encoding)
    alphabet = [b"a", b",", b"\n", b"\x80", b"\x93", b"\xe9", b"\xff", b"\x00", b"\xd8", b"\xdc", b"\xc3"]
    python_codec = "rowmend-cp1252" if encoding == "cp1252" else encoding
    for _ in range(200):
        data = b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 40)))
        text = data.decode(python_codec, "replace")
        if encoding.startswith("utf-16") and text.startswith("\ufeff"):
            continue  # a byte-order mark is skipped, not data
        ours = rowmend.read_arrow(io.BytesIO(data), encoding=encoding, header=False)
        want = rowmend.read_arrow(io.BytesIO(text.encode("utf-8")), encoding="utf-8", header=False)
        assert ours.equals(want), data
        expected = sum(len(b) for b in _replaced_pieces(data, python_codec))
        assert ours is not None and _replaced(io.BytesIO(data), encoding) == expected, data


def _replaced(source, encoding):
    stream = rowmend.stream(source, encoding=encoding, header=False)
    for _ in stream:
        pass
    return stream.report.replaced_bytes


def _replaced_pieces(data, codec):
    pieces = []

    def collect(error):
        pieces.append(error.object[error.start:error.end])
        return ("\ufffd", error.end)

    import codecs

    codecs.register_error("test.collect", collect)
    data.decode(codec, "test.collect")
    return pieces


@pytest.mark.parametrize(
    "data, encoding, name, city, reported, replaced",
    [
        # Detected UTF-8 with a pasted Latin-1 byte keeps the letter.
        (b"\xef\xbb\xbfname,city\nZo\xc3\xab,G\xf6teborg\n", "auto", "Zoë", "Göteborg", "utf-8+cp1252", 0),
        ("name,city\nZoë,Köln\n".encode(), "auto", "Zoë", "Köln", "utf-8", 0),
        # No mark, but more UTF-8 characters than stray bytes: still UTF-8.
        (b"name,city\nZo\xc3\xab B\xc3\xb6rn,G\xf6teborg\n", "auto", "Zoë Börn", "Göteborg", "utf-8+cp1252", 0),
        # Asked for strict UTF-8, the byte is replaced and counted.
        (b"name,city\nZo\xc3\xab,G\xf6teborg\n", "utf-8", "Zoë", "G\ufffdteborg", "utf-8", 1),
    ],
    ids=["fallback", "clean utf-8", "mostly utf-8", "strict"],
)
def test_utf8_with_stray_cp1252_bytes(data, encoding, name, city, reported, replaced):
    stream = rowmend.stream(io.BytesIO(data), encoding=encoding)
    rows = [row for batch in stream for row in batch.to_pylist()]
    assert rows == [{"name": name, "city": city}]
    assert (stream.report.encoding, stream.report.replaced_bytes) == (reported, replaced)


@pytest.mark.parametrize("format", ["csv", "parquet"])
@pytest.mark.parametrize("compress", [lambda data: data, __import__("gzip").compress], ids=["plain", "gzip"])
def test_progress_reports_bytes_and_rows_as_they_grow(tmp_path, format, compress):
    rows = 300_000  # a few MiB: several chunks
    stored = compress(b"a,b\n" + b"12345,67890\n" * rows)
    (tmp_path / "in.csv").write_bytes(stored)
    calls = []
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / f"out.{format}", progress=lambda *call: calls.append(call))
    assert len(calls) >= 3
    assert calls == sorted(calls) and calls[-1] == (len(stored), rows) == (len(stored), report.total_rows)


def test_progress_that_raises_ends_the_run_without_output(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a\n1\n")

    def stop(done, rows):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", progress=stop)
    assert os.listdir(tmp_path) == ["in.csv"]


def test_parquet_columns_are_typed_with_dtypes_infer(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"n,x,when\n1,a,2024-01-02\n2,b,\n")
    rowmend.clean(tmp_path / "in.csv", tmp_path / "typed.parquet", dtypes="infer", line_numbers=True)
    rowmend.clean(tmp_path / "in.csv", tmp_path / "strings.parquet")
    typed = pq.read_table(tmp_path / "typed.parquet")
    assert typed.equals(rowmend.read_arrow(tmp_path / "in.csv", dtypes="infer", line_numbers=True))
    assert [str(t) for t in typed.schema.types] == ["int64", "string", "date32[day]", "int64"]
    assert set(map(str, pq.read_table(tmp_path / "strings.parquet").schema.types)) == {"string"}


def test_repairs_are_recorded_when_asked(tmp_path):
    data = b"a,b,c\n1,2\n3,4,5,6\n7,8,9\n10\n"
    (tmp_path / "in.csv").write_bytes(data)
    assert rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv").repairs == ()
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", record_repairs=True, max_records=1)
    assert report.repaired_rows == 3
    assert [r.to_dict() for r in report.repairs] == [
        {"line": 2, "action": "filled", "raw": "1,2", "fields": ["1", "2", ""], "placement": ""},
        {"line": 3, "action": "merged", "raw": "3,4,5,6", "fields": ["3", "4", "5,6"], "placement": ""},
    ]
    import pickle

    assert pickle.loads(pickle.dumps(report)) == report


@pytest.mark.parametrize(
    "data, options, records",
    [
        # A row whose stray quote was kept and that was also filled is recorded once, as filled.
        (b'a,b\n"say "hi" now",1\n"ok",2\n"x"y"\n', {}, [(2, "quote repaired", ('say "hi" now', "1")), (4, "filled", ('x"y', ""))]),
        (b"a,b\n1,x\xffy\n\xfe\n3,w\n", {"encoding": "utf-8"}, [(2, "bytes replaced", ("1", "x\ufffdy")), (3, "filled", ("\ufffd", ""))]),
        (b'a,b\n"1 "x",\xff\n', {"encoding": "utf-8"}, [(2, "quote repaired", ('1 "x', "\ufffd"))]),
    ],
    ids=["stray quote", "bytes not UTF-8", "both: by the quote"],
)
def test_rows_kept_after_a_repair_inside_them_are_recorded(tmp_path, data, options, records):
    (tmp_path / "in.csv").write_bytes(data)
    report = rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", record_repairs=True, **options)
    assert [(r.line, r.action, r.fields) for r in report.repairs] == records
    assert report.repaired_rows == sum(action == "filled" for _, action, _ in records)


def test_a_file_quoted_with_apostrophes_keeps_its_double_quotes_when_cleaned(tmp_path):
    # Rows without the input's quote byte may still hold the output's.
    (tmp_path / "in.csv").write_bytes(b"a,b\n'x,y',z\n'p',1\n\"q\",2\n")
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv")
    expected = [{"a": "x,y", "b": "z"}, {"a": "p", "b": "1"}, {"a": '"q"', "b": "2"}]
    assert rowmend.read_arrow(tmp_path / "in.csv").to_pylist() == expected
    assert rowmend.read_arrow(tmp_path / "out.csv").to_pylist() == expected


@pytest.mark.parametrize("data", [b"a, b\n1, 2\n3, 4, 5\n", b"a,b\n1,2\n3,4,5\n"])
def test_the_repairs_file_takes_the_delimiter_of_any_separator(tmp_path, data):
    report = rowmend.clean(
        io.BytesIO(data), tmp_path / "o.csv", quarantine=tmp_path / "q.csv", record_repairs=True
    )
    assert report.repaired_rows == 1
    assert (tmp_path / "q.repairs.csv").read_text().splitlines()[1].startswith("3,merged,")
