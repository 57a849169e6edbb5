"""SalvageReader and open: the rows they hand out, iteration and exhaustion,
length and truth, the context manager, the summary and the exceptions of
failed reads."""

import csv
import io

import pytest

from conftest import run_in_child, summary_counts as counts


@pytest.fixture(params=["open", "SalvageReader"])
def make_reader(rm, request):
    """Both ways of creating a reader; every behaviour holds for either."""
    return getattr(rm, request.param)


# (id, input bytes, options, rows handed out,
#  (total, salvaged, repaired, quarantined, delimiter, columns))
READER_CASES = [
    ("plain", b"a,b,c\nd,e,f\n", {}, [["a", "b", "c"], ["d", "e", "f"]], (2, 2, 0, 0, ",", 3)),
    ("filled_and_merged", b"a,b,c\nd,e\nf,g,h,i\nj,k,l\n", {},
     [["a", "b", "c"], ["d", "e", ""], ["f", "g", "h,i"], ["j", "k", "l"]], (4, 4, 2, 0, ",", 3)),
    ("quarantined_rows_absent", b"a,b,c\nd,e\nf,g,h,i\nj,k,l\n",
     {"fill_ragged_rows": False, "merge_overflow": False},
     [["a", "b", "c"], ["j", "k", "l"]], (4, 2, 0, 2, ",", 3)),
    ("quoted_line_breaks_and_crlf", b'"x\r\ny",z\r\na,"b\rc"\r\n', {},
     [["x\r\ny", "z"], ["a", "b\rc"]], (2, 2, 0, 0, ",", 2)),
    ("doubled_and_stray_quotes", b'"say ""hi""",x\n"He said "hi" there",y\n', {},
     [['say "hi"', "x"], ['He said "hi" there', "y"]], (2, 2, 0, 0, ",", 2)),
    ("stray_quotes_unrepaired", b'"He said "hi" there",x\na,b\n', {"repair_quotes": False},
     [['He said hi" there"', "x"], ["a", "b"]], (2, 2, 0, 0, ",", 2)),
    ("byte_order_mark_and_invalid_utf8", b"\xef\xbb\xbfa\xffb,c\nd,\xe2\x82\n", {},
     [["a\ufffdb", "c"], ["d", "\ufffd"]], (2, 2, 0, 0, ",", 2)),
    ("non_ascii_text", "\u00e5r,\u65e5\u672c\n\U0001f600,x\n".encode(), {},
     [["\u00e5r", "\u65e5\u672c"], ["\U0001f600", "x"]], (2, 2, 0, 0, ",", 2)),
    ("blank_line_single_column", b"a\n\nb\n", {}, [["a"], [""], ["b"]], (3, 3, 0, 0, ",", 1)),
    ("blank_line_filled", b"a,b\n\nc,d\n", {}, [["a", "b"], ["", ""], ["c", "d"]], (3, 3, 1, 0, ",", 2)),
    ("header_is_an_ordinary_row", b"id,name,extra\n1,a\n2,b\n3,c\n", {},
     [["id", "name,extra"], ["1", "a"], ["2", "b"], ["3", "c"]], (4, 4, 1, 0, ",", 2)),
    ("semicolon_sniffed", b"a;b;c\nd;e;f\n", {"delimiter": ""}, [["a", "b", "c"], ["d", "e", "f"]],
     (2, 2, 0, 0, ";", 3)),
    ("high_delimiter_merged", b"a\xc3b\xc3c\n", {"delimiter": "\u00e9", "expected_columns": 2},
     [["a", "b\u00c3c"]], (1, 1, 1, 0, "\u00c3", 2)),
    ("apostrophe_quote", b"'a,b',c\n'it''s',\"x\"\n", {"quote_char": "'", "delimiter": ",", "expected_columns": 2},
     [["a,b", "c"], ["it's", '"x"']], (2, 2, 0, 0, ",", 2)),
    ("zero_columns", b"a,b,c\nd,e\n", {"expected_columns": 0}, [["a", "b", "c"], ["d", "e"]],
     (2, 2, 0, 0, ",", 0)),
    ("unterminated_quote", b'x,"y\nz', {}, [["x", "y\nz"]], (1, 1, 0, 0, ",", 2)),
    ("empty_file", b"", {"delimiter": ";", "expected_columns": 5}, [], (0, 0, 0, 0, ",", 0)),
    ("all_quarantined", b"a,b\nc,d\n", {"expected_columns": 3, "fill_ragged_rows": False}, [],
     (2, 0, 0, 2, ",", 3)),
]
READER_IDS = [case[0] for case in READER_CASES]
READER_PARAMS = [case[1:] for case in READER_CASES]


@pytest.mark.parametrize("data, options, rows, expected", READER_PARAMS, ids=READER_IDS)
def test_rows_and_summary(make_reader, write_bytes, data, options, rows, expected):
    reader = make_reader(write_bytes(data), **options)
    assert len(reader) == len(rows)
    assert list(reader) == rows
    assert counts(reader.summary) == expected


@pytest.mark.parametrize("data, options, rows, expected", READER_PARAMS, ids=READER_IDS)
def test_open_and_constructor_agree(rm, write_bytes, data, options, rows, expected):
    path = write_bytes(data)
    by_open = rm.open(path, **options)
    by_class = rm.SalvageReader(path, **options)
    assert type(by_open) is rm.SalvageReader
    assert by_open.summary.to_dict() == by_class.summary.to_dict()
    assert list(by_open) == list(by_class)


def read_back(path, delimiter, quote):
    with io.open(path, encoding="utf-8", newline="") as handle:
        # A row of one empty field is an empty line, which csv reads as [].
        return [row or [""] for row in csv.reader(handle, delimiter=delimiter, quotechar=quote)]


@pytest.mark.parametrize("data, options, rows, expected", READER_PARAMS, ids=READER_IDS)
def test_rows_match_clean_file(rm, tmp_path, write_bytes, data, options, rows, expected):
    path = write_bytes(data)
    output = str(tmp_path / "clean.csv")
    summary = rm.salvage_file(path, output, **options)
    reader = rm.open(path, **options)
    quote = options.get("quote_char") or '"'
    quote = chr(quote.encode("utf-8")[0])
    assert read_back(output, summary.detected_delimiter, quote) == list(reader)
    assert summary.to_dict() == reader.summary.to_dict()


# ---------------------------------------------------------------------------
# Iteration, exhaustion, length and truth
# ---------------------------------------------------------------------------


def test_iter_returns_reader_itself(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a,b\nc,d\n"))
    assert iter(reader) is reader
    assert next(reader) == ["a", "b"]
    assert iter(reader) is reader
    # Asking for an iterator again does not rewind.
    assert list(iter(reader)) == [["c", "d"]]


def test_exhaustion_is_permanent(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a\nb\nc\n"))
    lengths = [len(reader)]
    handed_out = []
    for row in reader:
        handed_out.append(row)
        lengths.append(len(reader))
    assert handed_out == [["a"], ["b"], ["c"]]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert list(reader) == []
    assert next(reader, "end") == "end"
    lengths.append(len(reader))
    assert lengths == [3] * 5
    assert bool(reader) is True


def test_partial_iteration_resumes(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"1\n2\n3\n4\n"))
    assert next(reader) == ["1"]
    for row in reader:
        assert row == ["2"]
        break
    assert list(reader) == [["3"], ["4"]]


# (id, input bytes, options, len, truth value)
LENGTH_CASES = [
    ("empty_file", b"", {}, 0, False),
    ("byte_order_mark_only", b"\xef\xbb\xbf", {}, 0, False),
    ("all_quarantined", b"a,b\nc,d\n", {"expected_columns": 3, "fill_ragged_rows": False}, 0, False),
    ("one_blank_line", b"\n", {}, 1, True),
    ("some_quarantined", b"a,b,c\nd,e\nf,g,h\n", {"fill_ragged_rows": False}, 2, True),
    ("many_rows", b"x,y\n" * 1000, {}, 1000, True),
]


@pytest.mark.parametrize(
    "data, options, length, truth", [case[1:] for case in LENGTH_CASES], ids=[case[0] for case in LENGTH_CASES]
)
def test_length_and_truth(make_reader, write_bytes, data, options, length, truth):
    reader = make_reader(write_bytes(data), **options)
    assert len(reader) == length
    assert bool(reader) is truth
    assert len(list(reader)) == length
    # Exhaustion changes neither.
    assert len(reader) == length
    assert bool(reader) is truth


# ---------------------------------------------------------------------------
# Context manager
# ---------------------------------------------------------------------------


def test_with_binds_the_reader(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a,b\nc,d\n"))
    with reader as bound:
        assert bound is reader
    assert reader.__enter__() is reader


def test_with_open_reads_rows(rm, write_bytes):
    with rm.open(write_bytes(b"a,b\nc,d\ne,f\n")) as reader:
        assert type(reader) is rm.SalvageReader
        assert next(reader) == ["a", "b"]
    # Leaving the block closes nothing: the rest is still there.
    assert len(reader) == 3
    assert list(reader) == [["c", "d"], ["e", "f"]]


class Boom(Exception):
    pass


def test_exception_in_block_propagates_unchanged(rm, write_bytes):
    error = Boom("inside")
    with pytest.raises(Boom) as info:
        with rm.open(write_bytes(b"a\nb\n")) as reader:
            next(reader)
            raise error
    assert info.value is error
    assert list(reader) == [["b"]]


def test_base_exception_in_block_propagates(rm, write_bytes):
    with pytest.raises(KeyboardInterrupt):
        with rm.open(write_bytes(b"a\n")):
            raise KeyboardInterrupt


def exc_info():
    try:
        raise ValueError("x")
    except ValueError as exc:
        return type(exc), exc, exc.__traceback__


# (id, positional arguments, keyword arguments)
EXIT_FORMS = [
    ("none", (), {}),
    ("three_none", (None, None, None), {}),
    ("real_exception", exc_info(), {}),
    ("keywords", (), {"_exc_type": None, "_exc_val": None, "_exc_tb": None}),
    ("keywords_with_exception", (), dict(zip(("_exc_type", "_exc_val", "_exc_tb"), exc_info()))),
    ("one_positional", (KeyError,), {}),
    ("mixed", (KeyError,), {"_exc_tb": None}),
]


@pytest.mark.parametrize("args, kwargs", [case[1:] for case in EXIT_FORMS], ids=[case[0] for case in EXIT_FORMS])
def test_exit_forms(make_reader, write_bytes, args, kwargs):
    reader = make_reader(write_bytes(b"a\nb\n"))
    next(reader)
    assert reader.__exit__(*args, **kwargs) is False
    # __exit__ neither rewinds nor exhausts the reader.
    assert list(reader) == [["b"]]
    assert len(reader) == 2


def test_exit_with_four_arguments(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a\n"))
    with pytest.raises(TypeError) as info:
        reader.__exit__(None, None, None, None)
    assert str(info.value) == "SalvageReader.__exit__() takes from 0 to 3 positional arguments but 4 were given"


# ---------------------------------------------------------------------------
# Summary
# ---------------------------------------------------------------------------


def test_summary_is_a_fresh_equal_object(make_reader, rm, write_bytes):
    reader = make_reader(write_bytes(b"a,b,c\nd,e\n"))
    first = reader.summary
    second = reader.summary
    assert first is not second
    assert type(first) is rm.SalvageSummary
    assert first.to_dict() == second.to_dict() == {
        "total_rows": 2,
        "salvaged_rows": 2,
        "repaired_rows": 1,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }
    assert repr(first) == repr(second)


def test_summary_is_read_only(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a,b\nc,d\n"))
    before = reader.summary.to_dict()
    with pytest.raises(AttributeError):
        reader.summary = None
    with pytest.raises(AttributeError):
        del reader.summary
    with pytest.raises(AttributeError):
        reader.some_attribute = 1
    assert reader.summary.to_dict() == before


def test_summary_unchanged_by_iteration(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a,b\nc,d\ne\n"))
    before = reader.summary.to_dict()
    held = reader.summary
    list(reader)
    assert reader.summary.to_dict() == before == held.to_dict()


def test_summary_outlives_reader(make_reader, write_bytes):
    reader = make_reader(write_bytes(b"a;b\nc;d\n"))
    summary = reader.summary
    del reader
    assert summary.detected_delimiter == ";"
    assert summary.salvaged_rows == 2


# ---------------------------------------------------------------------------
# Failures
# ---------------------------------------------------------------------------

# Relative to a fresh directory holding the file data.csv and the directory adir/.
# (id, path, exception class, message)
FAILURE_CASES = [
    ("missing", "missing.csv", FileNotFoundError, "No such file or directory (os error 2)"),
    ("missing_directory", "nowhere/data.csv", FileNotFoundError, "No such file or directory (os error 2)"),
    ("directory", "adir", IsADirectoryError, "Is a directory (os error 21)"),
    ("file_as_directory", "data.csv/inner.csv", NotADirectoryError, "Not a directory (os error 20)"),
    ("nul_in_path", "data.csv\0", OSError, "file name contained an unexpected NUL byte"),
]


@pytest.mark.parametrize(
    "name, error, message", [case[1:] for case in FAILURE_CASES], ids=[case[0] for case in FAILURE_CASES]
)
def test_failures_map_to_os_error_classes(make_reader, tmp_path, name, error, message):
    (tmp_path / "data.csv").write_bytes(b"a,b\n")
    (tmp_path / "adir").mkdir()
    with pytest.raises(OSError) as info:
        make_reader(str(tmp_path / name))
    exc = info.value
    assert type(exc) is error
    assert str(exc) == message
    assert exc.args == (message,)
    assert (exc.errno, exc.strerror, exc.filename) == (None, None, None)


def test_unreadable_file_raises_permission_error(rm, open_dir):
    path = open_dir / "secret.csv"
    path.write_bytes(b"a,b\nc,d\n")
    path.chmod(0)

    def attempt():
        return [len(rm.open(str(path))), len(rm.SalvageReader(str(path)))]

    answer = run_in_child(attempt, drop_privileges=True)
    assert answer == ("raised", PermissionError, "Permission denied (os error 13)")
    # The same file opens once it is readable, so the refusal came from its bits.
    path.chmod(0o644)
    assert run_in_child(attempt, drop_privileges=True) == ("returned", [2, 2])
